/* Loaded into Wine's processes by the COM round-trip test: answers the modem-line ioctls for
   pseudo-terminals, which the kernel refuses there, so Wine's serial calls (WaitCommEvent,
   EscapeCommFunction, GetCommModemStatus) work on a pty as on a real port. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int modemLines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;

static int isPty(int fd) {
    char link[64];
    char target[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        return 0;
    }
    target[n] = '\0';
    return strncmp(target, "/dev/pts/", 9) == 0 || strcmp(target, "/dev/ptmx") == 0;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...) = NULL;
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (real == NULL) {
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    }
    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
         request == TIOCMBIC) &&
        isPty(fd)) {
        int* bits = (int*)argument;
        switch (request) {
            case TIOCMGET:
                *bits = modemLines;
                break;
            case TIOCMSET:
                modemLines = *bits;
                break;
            case TIOCMBIS:
                modemLines |= *bits;
                break;
            default:
                modemLines &= ~*bits;
                break;
        }
        return 0;
    }
    return real(fd, request, argument);
}

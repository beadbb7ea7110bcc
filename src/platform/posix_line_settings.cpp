// Kept apart: the kernel's termios2 headers cannot meet <termios.h> in one translation unit.
#include "platform/posix_line_settings.hpp"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace nira::platform::posix {

bool rateWithinTolerance(std::uint32_t wanted, std::uint32_t made) {
    const std::uint64_t off = wanted > made ? wanted - made : made - wanted;
    return off * kRateToleranceParts <= wanted;
}

int applyLineSettings(DeviceCalls& sys, int fd, const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        return EINVAL;
    }
    // As SetCommState: 1.5 stop bits go with 5 data bits only, 2 stop bits not with 5.
    if ((dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
        (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)) {
        return EINVAL;
    }
    struct termios2 t {};
    if (sys.ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    // Raw: no echo, no canonical input, no signals, no translation of CR/LF or 8th bit.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                        CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // No INPCK: a byte received with a parity or framing error reaches the reader as the byte, as
    // on Windows; the error itself is told by the driver's counters.
    if (dcb.StopBits != ONESTOPBIT) {
        t.c_cflag |= CSTOPB;  // with 5 data bits the UART sends 1.5 stop bits for CSTOPB
    }
    t.c_ispeed = dcb.BaudRate;
    t.c_ospeed = dcb.BaudRate;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (sys.ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    // A driver that cannot make the rate keeps the old one or takes the nearest it has, and
    // says so only in what it reads back.
    struct termios2 made {};
    if (sys.ioctl(fd, TCGETS2, &made) != 0) {
        return errno;
    }
    return rateWithinTolerance(dcb.BaudRate, made.c_ospeed) ? 0 : EINVAL;
}

}  // namespace nira::platform::posix

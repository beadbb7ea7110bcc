#pragma once
// What the listener's parts share: threads that leave the stop signals to the main thread, and
// the system's words for a failure.
#include <csignal>
#include <cstddef>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace nira::listen {

// A thread born with every signal blocked: the stop signals are the main thread's to take.
template <typename Body>
std::thread quietThread(Body&& body) {
#ifndef _WIN32
    sigset_t all;
    sigset_t was;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &was);
#endif
    std::thread thread(std::forward<Body>(body));
#ifndef _WIN32
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
#endif
    return thread;
}

// The system's words for an errno, thread-safe (strerror is not).
inline std::string systemText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Gives back to the system what a burst (thousands of configs at a connection) freed: a service
// that runs for months should not keep its peak.
inline void releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// "1 message waits", "3 messages wait".
inline std::string messagesWait(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " message waits" : " messages wait");
}

}  // namespace nira::listen

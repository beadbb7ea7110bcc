#include "platform/exception_display.hpp"

#include <cstdio>
#include <mutex>
#include <utility>

namespace nira::platform {

namespace {
std::mutex gMutex;
ExceptionHandler gHandler;
}  // namespace

void setApplicationExceptionHandler(ExceptionHandler handler) {
    std::lock_guard lock(gMutex);
    gHandler = std::move(handler);
}

void handleApplicationException(const std::exception_ptr& error) {
    ExceptionHandler handler;
    {
        std::lock_guard lock(gMutex);
        handler = gHandler;
    }
    if (handler) {
        handler(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unknown failure\n");
    }
}

std::string exceptionDisplayText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
        return message + ".";
    }
    return message;
}

}  // namespace nira::platform

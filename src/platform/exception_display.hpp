#pragma once
// Where exceptions go that no caller can take: failures inside window-message deliveries and a
// watcher that ended by an exception. The application connects its default exception display.

#include <exception>
#include <functional>
#include <string>

namespace nira::platform {

// The silent exception: it ends a handler and is shown to nobody.
class EAbort : public std::exception {
  public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

using ExceptionHandler = std::function<void(std::exception_ptr)>;

// Replaces the handler; an empty one restores the default (the message on standard error).
void setApplicationExceptionHandler(ExceptionHandler handler);
void handleApplicationException(const std::exception_ptr& error);

// The message as the default exception display shows it: a full stop is added when the last
// character's code is above that of ".".
std::string exceptionDisplayText(const std::string& message);

}  // namespace nira::platform

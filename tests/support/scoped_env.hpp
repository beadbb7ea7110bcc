#pragma once
// An environment variable set for one scope and restored after it, also when an assertion ends
// the test early.
#include <cstdlib>
#include <optional>
#include <string>

namespace nira::testing {

namespace detail {
inline void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}
inline void unsetEnv(const char* name) {
#ifdef _WIN32
    ::_putenv_s(name, "");  // an empty value takes the variable away
#else
    ::unsetenv(name);
#endif
}
}  // namespace detail

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        detail::setEnv(name, value);
    }
    ~ScopedEnv() {
        if (old_) {
            detail::setEnv(name_, *old_);
        } else {
            detail::unsetEnv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace nira::testing

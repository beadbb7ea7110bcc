#pragma once
// A pseudo-terminal whose port end a test hands to the program; the test holds the device end.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace nira::testing {

class PtyPair {
  public:
    PtyPair() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        ::close(slave);
        path_ = name;
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return path_; }
    bool send(const std::string& bytes) const {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What the program wrote, waiting up to `ms` for the first byte.
    std::string receive(int ms = 2000) const {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return {};
        }
        char buffer[512];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    // Whether the port end is as a terminal leaves it (echo on): no program made it raw.
    bool echoing() const {
        termios t{};
        return ::tcgetattr(master_, &t) == 0 && (t.c_lflag & ECHO) != 0;
    }

    // The device end goes away, as an unplugged adapter does.
    void closeMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

  private:
    int master_ = -1;
    std::string path_;
};

}  // namespace nira::testing

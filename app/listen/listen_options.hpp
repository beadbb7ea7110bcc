#pragma once
// The console listener's command line.
#include <optional>
#include <string>
#include <vector>

#include "serial/com_port.hpp"

namespace nira::listen {

// When the log's lines are forced to the disk: left to the system (within about 30 s), after
// every line, or at most a second after a line.
enum class Sync { None, Line, Second };

struct Options {
    std::string port;
    serial::TBaudRate speed = serial::br4800;  // as the window starts
    std::string logFile;
    Sync sync = Sync::None;
    bool json = false;
    bool list = false;
    bool help = false;
    bool version = false;
};

// The options, or the one line that says what is wrong with them.
struct Parsed {
    std::optional<Options> options;
    std::string error;
};
Parsed parseOptions(const std::vector<std::string>& args);

std::string usage();

}  // namespace nira::listen

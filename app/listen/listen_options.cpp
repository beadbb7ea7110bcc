#include "listen_options.hpp"

#include <iterator>

namespace nira::listen {

std::string usage() {
    return "Usage: nira7-listen --port NAME [--speed N] [--log FILE [--sync WHEN]] [--json]\n"
           "       nira7-listen --list | --help | --version\n"
           "\n"
           "Listens to a radio receiver on a serial port without a window: answers every test\n"
           "and event message with \"<\" and writes one time-stamped line per message, exactly as\n"
           "the analyser's window does.\n"
           "\n"
           "  --port NAME   the port, as the analyser's Port list shows it, or a device path\n"
           "  --speed N     line speed: 110 300 600 1200 2400 4800 9600 14400 19200 38400 56000\n"
           "                57600 115200 128000 256000 (default 4800)\n"
           "  --log FILE    also append the lines to FILE as the analyser saves them\n"
           "                (Windows-1251, CR LF); SIGHUP reopens it\n"
           "  --sync WHEN   force the log's lines to the disk: \"line\" after each line (a power\n"
           "                cut loses none but the line being answered), \"second\" at most a\n"
           "                second after a line; without it the system writes them within\n"
           "                about 30 s\n"
           "  --json        JSON Lines on standard output instead of text\n"
           "  --list        print the serial ports and exit\n"
           "  --help        this text\n"
           "  --version     the version\n"
           "\n"
           "A device that goes away is waited for and reopened. Ctrl+C or SIGTERM ends it with a\n"
           "summary on standard error.\n";
}

Parsed parseOptions(const std::vector<std::string>& args) {
    Options o;
    for (auto it = args.begin(); it != args.end(); ++it) {
        const std::string& arg = *it;
        const auto value = [&](std::string& into) {
            if (std::next(it) == args.end()) {
                return false;
            }
            into = *++it;
            return true;
        };
        if (arg == "--port") {
            if (!value(o.port) || o.port.empty()) {
                return {std::nullopt, "--port needs a port name"};
            }
        } else if (arg == "--speed") {
            std::string speed;
            if (!value(speed)) {
                return {std::nullopt, "--speed needs a line speed"};
            }
            bool known = false;
            for (int i = 0; i < serial::kBaudRateCount; ++i) {
                if (speed == std::to_string(serial::kBaudRates[i])) {
                    o.speed = static_cast<serial::TBaudRate>(i);
                    known = true;
                }
            }
            if (!known) {
                return {std::nullopt, "unknown line speed \"" + speed +
                                          "\": use one of 110 300 600 1200 2400 4800 9600 14400 "
                                          "19200 38400 56000 57600 115200 128000 256000"};
            }
        } else if (arg == "--log") {
            if (!value(o.logFile) || o.logFile.empty()) {
                return {std::nullopt, "--log needs a file name"};
            }
        } else if (arg == "--sync") {
            std::string when;
            if (!value(when)) {
                return {std::nullopt, "--sync needs \"line\" or \"second\""};
            }
            if (when == "line") {
                o.sync = Sync::Line;
            } else if (when == "second") {
                o.sync = Sync::Second;
            } else {
                return {std::nullopt,
                        "unknown --sync \"" + when + "\": use \"line\" or \"second\""};
            }
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--list") {
            o.list = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else {
            return {std::nullopt, "unknown option \"" + arg + "\" (see --help)"};
        }
    }
    if (!o.help && !o.version && !o.list && o.port.empty()) {
        return {std::nullopt, "no port given: use --port NAME (--list shows the ports)"};
    }
    if (o.sync != Sync::None && o.logFile.empty()) {
        return {std::nullopt, "--sync is for the log file: give --log FILE too"};
    }
    return {o, {}};
}

}  // namespace nira::listen

#include "listen_options.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

namespace nira::listen {

namespace {

const char* const kMqttUsage =
    "\n"
    "Publishing to an MQTT broker (each option may also come from the environment variable\n"
    "in brackets; the command line wins):\n"
    "  --mqtt URL              mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS)\n"
    "                          [NIRA7_MQTT_URL]\n"
    "  --mqtt-topic PREFIX     topics' prefix, default nira7/<host name>/<port name>; %h and\n"
    "                          %p stand for those two names\n"
    "                          [NIRA7_MQTT_TOPIC]\n"
    "  --mqtt-ca FILE          the CA certificate(s) the broker's is checked against\n"
    "                          (default: the system's) [NIRA7_MQTT_CA]\n"
    "  --mqtt-cert FILE, --mqtt-key FILE\n"
    "                          a client certificate and its key [NIRA7_MQTT_CERT, _KEY]\n"
    "  --mqtt-user NAME        the user name [NIRA7_MQTT_USER]\n"
    "  --mqtt-password-file FILE\n"
    "                          the password, the file's first line [NIRA7_MQTT_PASSWORD_FILE];\n"
    "                          or the password itself in NIRA7_MQTT_PASSWORD. Never on the\n"
    "                          command line: every user sees it there.\n"
    "  --mqtt-spool DIR        where messages wait for the broker [NIRA7_MQTT_SPOOL]; default\n"
    "                          a folder of the prefix's in $STATE_DIRECTORY, "
    "$XDG_STATE_HOME/nira7\n"
    "                          or ~/.local/state/nira7\n"
    "  --mqtt-spool-size N     the spool's bound in bytes (k, M, G allowed; default 64M); a\n"
    "                          full spool drops its oldest messages [NIRA7_MQTT_SPOOL_SIZE]\n"
    "  --mqtt-discovery [PREFIX]\n"
    "                          Home Assistant discovery under PREFIX (homeassistant): the\n"
    "                          receiver and each listed transmitter as a device\n"
    "                          [NIRA7_MQTT_DISCOVERY]\n"
    "  --mqtt-drain-rate N     messages a second at most (default 100; 0: no limit), so a\n"
    "                          backlog after an outage does not flood the broker\n"
    "                          [NIRA7_MQTT_DRAIN_RATE]\n"
    "Topics: PREFIX/event, PREFIX/test, PREFIX/unrecognised (each message as --json prints it,\n"
    "QoS 1, in order); retained: PREFIX/status (online, or offline as the Last Will),\n"
    "PREFIX/device (listening, device lost, waiting), PREFIX/stats (the counts) and\n"
    "PREFIX/transmitter/ID (each transmitter's state, as a JSON object). Every\n"
    "message is written to the spool first and published when the broker takes it; one that\n"
    "may have arrived twice has the same id.\n";

const char* const kNoMqttUsage =
    "\n"
    "This build has no MQTT publishing (the Windows build leaves it out); the Linux build has.\n";

bool wholeNumber(const std::string& text, unsigned long long& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 18) {
        return false;
    }
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// "90s", "30m", "2h", "1d" (a bare number is seconds); more than none, at most a year.
std::optional<std::chrono::seconds> readSpan(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    unsigned long long count = 0;
    if (!wholeNumber(text.substr(0, digits), count)) {
        return std::nullopt;
    }
    const std::string unit = text.substr(digits);
    const unsigned long long scale = unit.empty() || unit == "s"    ? 1
                                     : unit == "m" || unit == "min" ? 60
                                     : unit == "h"                  ? 3600
                                     : unit == "d"                  ? 86400
                                                                    : 0;
    if (scale == 0 || count == 0 || count > 366ULL * 86400 / scale) {
        return std::nullopt;
    }
    return std::chrono::seconds(static_cast<long long>(count * scale));
}

// mqtt://host[:port] or mqtts://host[:port], an IPv6 address in brackets; empty or the fault.
std::string readUrl(MqttOptions& m) {
    std::string rest;
    if (m.url.rfind("mqtt://", 0) == 0) {
        m.tls = false;
        m.port = 1883;
        rest = m.url.substr(7);
    } else if (m.url.rfind("mqtts://", 0) == 0) {
        m.tls = true;
        m.port = 8883;
        rest = m.url.substr(8);
    } else {
        return "the broker \"" + m.url + "\" is not an mqtt:// or mqtts:// URL";
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    if (rest.find('@') != std::string::npos) {
        return "the broker URL holds a user or password: every user sees the command line; "
               "use --mqtt-user with --mqtt-password-file or NIRA7_MQTT_PASSWORD";
    }
    if (rest.find('/') != std::string::npos) {
        return "the broker URL \"" + m.url + "\" has a path: give only mqtt://HOST[:PORT]";
    }
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            return "the broker URL \"" + m.url +
                   "\" opens an IPv6 address with [ but does not "
                   "close it";
        }
        m.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                return "the broker URL \"" + m.url + "\" has something after its address";
            }
            portText = rest.substr(close + 2);
            if (portText.empty()) {
                return "the broker URL \"" + m.url + "\" ends in a colon without a port";
            }
        }
    } else {
        const std::size_t colon = rest.find(':');
        m.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                return "the broker URL \"" + m.url + "\" ends in a colon without a port";
            }
        }
    }
    if (m.host.empty()) {
        return "the broker URL \"" + m.url + "\" names no host";
    }
    if (!portText.empty()) {
        unsigned long long port = 0;
        if (!wholeNumber(portText, port) || port < 1 || port > 65535) {
            return "the broker's port \"" + portText + "\" is not a number from 1 to 65535";
        }
        m.port = static_cast<int>(port);
    }
    return {};
}

std::string readSize(const std::string& text, std::uint64_t& out) {
    std::string digits = text;
    unsigned long long scale = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'k':
            case 'K':
                scale = 1024ULL;
                break;
            case 'M':
                scale = 1024ULL * 1024;
                break;
            case 'G':
                scale = 1024ULL * 1024 * 1024;
                break;
            default:
                break;
        }
        if (scale != 1) {
            digits.pop_back();
        }
    }
    unsigned long long value = 0;
    if (!wholeNumber(digits, value) || value > (1ULL << 50) / scale) {
        return "the spool size \"" + text + "\" is not a number of bytes (k, M or G allowed)";
    }
    value *= scale;
    if (value < 64ULL * 1024) {
        return "the spool size \"" + text + "\" is below its least, 64k";
    }
    out = value;
    return {};
}

std::string firstLineOf(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "cannot read the password file \"" + path + "\"";
    }
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r') {
        out.pop_back();
    }
    return {};
}

}  // namespace

bool mqttBuiltIn() {
#ifdef NIRA_HAVE_MQTT
    return true;
#else
    return false;
#endif
}

std::size_t codePointAt(std::string_view text, std::size_t at, char32_t& point) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char b = byte(0);
    if (b < 0x80) {
        point = b;
        return 1;
    }
    const std::size_t more = b >= 0xC2 && b <= 0xDF   ? 1
                             : b >= 0xE0 && b <= 0xEF ? 2
                             : b >= 0xF0 && b <= 0xF4 ? 3
                                                      : 0;
    if (more == 0 || at + more >= text.size()) {
        return 0;
    }
    char32_t value = b & (0x3FU >> more);
    for (std::size_t k = 1; k <= more; ++k) {
        if ((byte(k) >> 6U) != 2) {
            return 0;
        }
        value = (value << 6U) | (byte(k) & 0x3FU);
    }
    // Overlong forms and what lies beyond U+10FFFF.
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (value < kLeast[more] || value > 0x10FFFF) {
        return 0;
    }
    point = value;
    return 1 + more;
}

bool topicMayHold(char32_t point) {
    const bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    const bool nonCharacter = (point >= 0xFDD0 && point <= 0xFDEF) || (point & 0xFFFEU) == 0xFFFEU;
    return !control && !surrogate && !nonCharacter;
}

bool isDirectionControl(char32_t point) {
    return point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

std::string topicPrefixFault(const std::string& prefix) {
    if (prefix.empty()) {
        return "the topic prefix is empty";
    }
    for (const char c : {'+', '#'}) {
        if (prefix.find(c) != std::string::npos) {
            return std::string("the topic prefix \"") + prefix + "\" holds \"" + c +
                   "\": MQTT takes + and # as wildcards, never in a topic published to";
        }
    }
    if (prefix.find('\0') != std::string::npos) {
        return "the topic prefix holds a NUL character, which MQTT does not allow in a topic";
    }
    if (prefix.back() == '/') {
        return "the topic prefix \"" + prefix +
               "\" ends in \"/\": the topics would have an "
               "empty level";
    }
    if (prefix.front() == '$') {
        return "the topic prefix \"" + prefix +
               "\" begins with \"$\", which brokers keep "
               "for their own topics";
    }
    if (prefix.size() > 60000) {
        return "the topic prefix is longer than MQTT allows";
    }
    // Valid UTF-8 without control characters, as MQTT asks of a topic (and the broker's
    // library checks: no surrogates, no non-characters).
    for (std::size_t i = 0; i < prefix.size();) {
        char32_t point = 0;
        const std::size_t length = codePointAt(prefix, i, point);
        if (length == 0 || !topicMayHold(point)) {
            return "the topic prefix \"" + prefix +
                   "\" is not UTF-8 text without control characters, as MQTT asks of a topic";
        }
        if (isDirectionControl(point)) {
            return "the topic prefix \"" + prefix +
                   "\" holds a text direction control, which makes a topic read other than "
                   "it is";
        }
        i += length;
    }
    return {};
}

namespace {

// One topic level from a name: no wildcard, no level separator, nothing a topic may not hold
// (a byte that is no UTF-8, a control, a direction control): each such byte or character "_".
std::string topicLevel(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        char32_t point = 0;
        const std::size_t length = codePointAt(text, i, point);
        if (length == 0 || !topicMayHold(point) || isDirectionControl(point) || point == '+' ||
            point == '#' || point == '/') {
            out += '_';
            i += std::max<std::size_t>(length, 1);
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out.empty() ? std::string("_") : out;
}

// The port's own name: the last part of a device path.
std::string portLevel(const std::string& port) {
    std::string name = port;
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) {
        name.pop_back();
    }
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    return topicLevel(name);
}

}  // namespace

std::string defaultTopicPrefix(const std::string& hostName, const std::string& port) {
    return "nira7/" + topicLevel(hostName) + "/" + portLevel(port);
}

std::string expandTopicPrefix(const std::string& pattern, const std::string& hostName,
                              const std::string& port) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (pattern[i] == '%' && (next == 'h' || next == 'p' || next == '%')) {
            out += next == 'h' ? topicLevel(hostName) : next == 'p' ? portLevel(port) : "%";
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

std::string escapedName(std::string_view text, std::string_view alsoPlain) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    for (const char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || alsoPlain.find(c) != std::string_view::npos;
        if (plain) {
            name += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            name += '_';
            name += kHex[byte >> 4U];
            name += kHex[byte & 0x0FU];
        }
    }
    return name;
}

std::string spoolFolderName(const std::string& prefix) {
    const std::string name = escapedName(prefix, "-.");
    // "." and ".." are no folder of one's own.
    return name == "." || name == ".." ? "_2E" + name.substr(1) : name;
}

std::string oldSpoolFolderName(const std::string& prefix) {
    std::string name;
    for (const char c : prefix) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        name += plain ? c : '_';
    }
    return name;
}

std::string usage() {
    return "Usage: nira7-listen --port NAME [--speed N] [--log FILE] [--sync WHEN] [--json]\n"
           "                    [--transmitters FILE [--missing-after TIME]]\n"
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
           "  --sync WHEN   force the log's lines and the spool's messages to the disk: \"line\"\n"
           "                after each message (a power cut loses none but the one being\n"
           "                answered), \"second\" at most a second after a message; without it\n"
           "                the system writes them within about 30 s\n"
           "  --json        JSON Lines on standard output instead of text, each message with\n"
           "                an \"id\" (its time in ms since 1970, a dash and its number in the\n"
           "                run) by which a consumer can drop a message delivered twice\n"
           "  --transmitters FILE\n"
           "                the site's list of transmitters (CSV, as the window keeps it): a\n"
           "                listed transmitter's messages carry its \"name\"; the summary counts\n"
           "                the transmitters heard, expected and missing [NIRA7_TRANSMITTERS]\n"
           "  --missing-after TIME\n"
           "                a transmitter heard but then not for TIME (30m, 2h, 1d) is missing\n"
           "                [NIRA7_MISSING_AFTER]\n"
           "  --list        print the serial ports and exit\n"
           "  --help        this text\n"
           "  --version     the version\n"
           "\n"
           "A device that goes away is waited for and reopened. Ctrl+C or SIGTERM ends it with a\n"
           "summary on standard error.\n" +
           std::string(mqttBuiltIn() ? kMqttUsage : kNoMqttUsage);
}

Parsed parseOptions(const std::vector<std::string>& args, const Environment& environment) {
    Options o;
    std::string passwordFile;
    std::string spoolSize;
    std::string drainRate;
    std::vector<std::string> given;  // the --mqtt options on the command line
    const auto fromEnvironment = [&](const char* name, std::string& into) {
        if (environment) {
            if (const auto found = environment(name); found && !found->empty()) {
                into = *found;
            }
        }
    };
    fromEnvironment("NIRA7_MQTT_URL", o.mqtt.url);
    fromEnvironment("NIRA7_MQTT_TOPIC", o.mqtt.topic);
    fromEnvironment("NIRA7_MQTT_CA", o.mqtt.caFile);
    fromEnvironment("NIRA7_MQTT_CERT", o.mqtt.certFile);
    fromEnvironment("NIRA7_MQTT_KEY", o.mqtt.keyFile);
    fromEnvironment("NIRA7_MQTT_USER", o.mqtt.user);
    fromEnvironment("NIRA7_MQTT_PASSWORD", o.mqtt.password);
    fromEnvironment("NIRA7_MQTT_PASSWORD_FILE", passwordFile);
    fromEnvironment("NIRA7_MQTT_SPOOL", o.mqtt.spool);
    fromEnvironment("NIRA7_MQTT_SPOOL_SIZE", spoolSize);
    fromEnvironment("NIRA7_MQTT_DRAIN_RATE", drainRate);
    fromEnvironment("NIRA7_MQTT_DISCOVERY", o.mqtt.discovery);
    // A service's environment file can give the site's list too.
    fromEnvironment("NIRA7_TRANSMITTERS", o.transmitters);
    std::string missingAfter;
    fromEnvironment("NIRA7_MISSING_AFTER", missingAfter);
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
        } else if (arg.rfind("--mqtt", 0) == 0) {
            static const std::pair<const char*, std::string MqttOptions::*> kText[] = {
                {"--mqtt", &MqttOptions::url},         {"--mqtt-topic", &MqttOptions::topic},
                {"--mqtt-ca", &MqttOptions::caFile},   {"--mqtt-cert", &MqttOptions::certFile},
                {"--mqtt-key", &MqttOptions::keyFile}, {"--mqtt-user", &MqttOptions::user},
                {"--mqtt-spool", &MqttOptions::spool},
            };
            bool known = false;
            for (const auto& [name, field] : kText) {
                if (arg == name) {
                    known = true;
                    if (!value(o.mqtt.*field)) {
                        return {std::nullopt, arg + " needs a value"};
                    }
                    given.push_back(arg);
                }
            }
            if (arg == "--mqtt-password-file") {
                known = true;
                if (!value(passwordFile)) {
                    return {std::nullopt, arg + " needs a file name"};
                }
                given.push_back(arg);
            } else if (arg == "--mqtt-spool-size") {
                known = true;
                if (!value(spoolSize)) {
                    return {std::nullopt, arg + " needs a size"};
                }
                given.push_back(arg);
            } else if (arg == "--mqtt-discovery") {
                known = true;
                o.mqtt.discovery = "homeassistant";
                if (std::next(it) != args.end() && std::next(it)->rfind("--", 0) != 0) {
                    o.mqtt.discovery = *++it;
                }
                given.push_back(arg);
            } else if (arg == "--mqtt-drain-rate") {
                known = true;
                if (!value(drainRate)) {
                    return {std::nullopt, arg + " needs a number of messages a second"};
                }
                given.push_back(arg);
            } else if (arg == "--mqtt-password" || arg == "--mqtt-pass") {
                return {std::nullopt,
                        "a password on the command line is seen by every user of the machine: "
                        "use --mqtt-password-file FILE or NIRA7_MQTT_PASSWORD"};
            }
            if (!known) {
                return {std::nullopt, "unknown option \"" + arg + "\" (see --help)"};
            }
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--transmitters") {
            if (!value(o.transmitters) || o.transmitters.empty()) {
                return {std::nullopt, "--transmitters needs the site's list (a CSV file)"};
            }
        } else if (arg == "--missing-after") {
            std::string span;
            if (!value(span)) {
                return {std::nullopt, "--missing-after needs a time, such as 30m or 2h"};
            }
            const auto seconds = readSpan(span);
            if (!seconds) {
                return {std::nullopt, "--missing-after \"" + span +
                                          "\" is not a time: a number and s, m, h or d "
                                          "(30m, 2h, 1d)"};
            }
            o.missingAfter = *seconds;
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
    if (!missingAfter.empty() && !o.missingAfter) {
        o.missingAfter = readSpan(missingAfter);
        if (!o.missingAfter) {
            return {std::nullopt, "NIRA7_MISSING_AFTER \"" + missingAfter +
                                      "\" is not a time: a number and s, m, h or d "
                                      "(30m, 2h, 1d)"};
        }
    }
    if (!o.help && !o.version && !o.list && o.port.empty()) {
        return {std::nullopt, "no port given: use --port NAME (--list shows the ports)"};
    }
    if (o.sync != Sync::None && o.logFile.empty() && o.mqtt.url.empty()) {
        return {std::nullopt,
                "--sync is for the log file and the spool: give --log FILE or --mqtt URL too"};
    }
    if (o.mqtt.url.empty()) {
        for (const std::string& option : given) {
            if (option != "--mqtt") {
                return {std::nullopt, option + " is for publishing: give --mqtt URL too"};
            }
        }
        return {o, {}};
    }
    if (!mqttBuiltIn()) {
        return {std::nullopt,
                "this build has no MQTT publishing (the Windows build leaves it out)"};
    }
    if (std::string fault = readUrl(o.mqtt); !fault.empty()) {
        return {std::nullopt, fault};
    }
    if (!o.mqtt.topic.empty()) {
        if (std::string fault = topicPrefixFault(o.mqtt.topic); !fault.empty()) {
            return {std::nullopt, fault};
        }
    }
    if (!o.mqtt.discovery.empty()) {
        if (std::string fault = topicPrefixFault(o.mqtt.discovery); !fault.empty()) {
            return {std::nullopt, "the discovery prefix: " + fault};
        }
    }
    if (!spoolSize.empty()) {
        if (std::string fault = readSize(spoolSize, o.mqtt.spoolBytes); !fault.empty()) {
            return {std::nullopt, fault};
        }
    }
    if (!drainRate.empty()) {
        unsigned long long rate = 0;
        if (!wholeNumber(drainRate, rate) || rate > 1000000) {
            return {std::nullopt, "the drain rate \"" + drainRate +
                                      "\" is not a number of messages a second (0 to 1000000)"};
        }
        o.mqtt.drainRate = static_cast<unsigned>(rate);
    }
    std::vector<std::string> notes;
    if (!passwordFile.empty()) {
        if (std::string fault = firstLineOf(passwordFile, o.mqtt.password); !fault.empty()) {
            return {std::nullopt, fault};
        }
#ifndef _WIN32
        struct stat about {};
        if (::stat(passwordFile.c_str(), &about) == 0 &&
            (about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
            notes.push_back("the password file \"" + passwordFile +
                            "\" may be read by other users of "
                            "this machine (mode " +
                            mode + "): chmod 600 it");
        }
#endif
    }
    if (!o.mqtt.password.empty() && o.mqtt.user.empty()) {
        return {std::nullopt, "a broker password without a user name: give --mqtt-user NAME"};
    }
    if (o.mqtt.keyFile.empty() != o.mqtt.certFile.empty()) {
        return {std::nullopt,
                "a client certificate needs its key: give --mqtt-cert and --mqtt-key"};
    }
    if (!o.mqtt.tls && (!o.mqtt.caFile.empty() || !o.mqtt.certFile.empty())) {
        return {std::nullopt, "--mqtt-ca and --mqtt-cert are for TLS: use an mqtts:// URL"};
    }
    for (const std::string* file : {&o.mqtt.caFile, &o.mqtt.certFile, &o.mqtt.keyFile}) {
        if (!file->empty() && !std::ifstream(*file)) {
            return {std::nullopt, "cannot read the TLS file \"" + *file + "\""};
        }
    }
    return {o, {}, notes};
}

}  // namespace nira::listen

#pragma once
// The console listener's command line.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/com_port.hpp"

namespace nira::listen {

// When the log's lines are forced to the disk: left to the system (within about 30 s), after
// every line, or at most a second after a line.
enum class Sync { None, Line, Second };

// Publishing to an MQTT broker; off while `url` is empty.
struct MqttOptions {
    std::string url;
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string topic;  // the prefix; empty: nira7/<host name>/<port name>
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string user;
    std::string password;  // from a file or the environment, never the command line
    std::string spool;     // empty: a folder of the prefix's under the state folder
    std::uint64_t spoolBytes = 64ULL * 1024 * 1024;
    // Home Assistant's discovery prefix; empty: no discovery.
    std::string discovery;
    // Messages a second at most, so a backlog after an outage does not flood the centre's
    // broker and its subscribers; 0: no limit. Well above what a receiver sends.
    unsigned drainRate = 100;
};

struct Options {
    std::string port;
    serial::TBaudRate speed = serial::br4800;  // as the window starts
    std::string logFile;
    Sync sync = Sync::None;
    bool json = false;
    std::string transmitters;  // the site's list (CSV), as the window keeps it
    std::optional<std::chrono::seconds> missingAfter;
    bool list = false;
    bool help = false;
    bool version = false;
    MqttOptions mqtt;
};

// The options, or the one line that says what is wrong with them.
struct Parsed {
    std::optional<Options> options;
    std::string error;
    // Said before the listener starts, without ending it (a password file others may read).
    std::vector<std::string> notes = {};
};
// A variable of the environment, if set.
using Environment = std::function<std::optional<std::string>(const char* name)>;
// `environment` gives the settings an option may also come from (NIRA7_MQTT_*); the command
// line has the last word.
Parsed parseOptions(const std::vector<std::string>& args, const Environment& environment = {});

// Whether this build publishes to MQTT (the Windows build does not).
bool mqttBuiltIn();
// The length of the UTF-8 character at `at` and its code point; 0 if no whole, shortest
// character of at most U+10FFFF starts there.
std::size_t codePointAt(std::string_view text, std::size_t at, char32_t& point);
// What MQTT and the broker's library take in a topic: no control, surrogate or non-character.
bool topicMayHold(char32_t point);
// Marks that turn text's direction (a right-to-left override among them).
bool isDirectionControl(char32_t point);
// The reason a topic prefix cannot be published under, or empty.
std::string topicPrefixFault(const std::string& prefix);
// nira7/<host name>/<port's last name>, wildcards, separators and what a topic may not hold
// in either made "_".
std::string defaultTopicPrefix(const std::string& hostName, const std::string& port);
// The prefix given with %h put in as the host's name and %p as the port's, each as the default
// prefix has them (%% is one %): one setting for every port of a machine keeps them apart.
std::string expandTopicPrefix(const std::string& pattern, const std::string& hostName,
                              const std::string& port);
// A name one to one with `text`: letters, digits and the bytes of `alsoPlain` stay, every other
// byte is "_" and its two hex digits.
std::string escapedName(std::string_view text, std::string_view alsoPlain = {});
// The spool folder's name for a prefix, one to one: letters, digits, "." and "-" stay, every
// other byte is "_" and its two hex digits.
std::string spoolFolderName(const std::string& prefix);
// The name earlier versions gave it (every other byte "_": many prefixes, one name), so a spool
// left under it is taken over.
std::string oldSpoolFolderName(const std::string& prefix);

std::string usage();

}  // namespace nira::listen

// nira7-receiver-sim: a virtual receiver on a pseudo-terminal, for running and testing the
// analyser without hardware.
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include "simulator.hpp"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

constexpr const char* kHelp = R"(Usage: nira7-receiver-sim [MODE] [OPTIONS]

A virtual receiver. It opens a pseudo-terminal, registers it as a serial port
(so the analyser lists it), prints the port's path on the first line, and then
sends receiver messages, counting the "<" acknowledgements it gets back.

Modes:
  --demo               a plausible endless stream (the default): test messages,
                       event messages from a few transmitters, now and then noise
  --script FILE        the actions of FILE, one per line:
                         test XX XX          ">" and two bytes
                         event XX XX ... XX  ">" and nine bytes
                         raw XX ...          bytes as they are (XX*N: N copies)
                         wait MS             a pause
                         expect-ack [MS]     wait until all sent so far are
                                             acknowledged (default 2000 ms)
                         wait-open [MS]      wait until the analyser listens on
                                             the port or sends anything (default
                                             10000 ms)
                         drain [MS]          wait until the analyser has read
                                             what was sent and answered it
                                             (default 5000 ms)
                         # ...               a comment
  --count N            a load run: N event messages ...
  --interval MS        ... one every MS milliseconds (default 100)
  --merge-at N         ... but message N follows message N-1 at once, so the
                       analyser reads the two as one chunk and answers neither
  --transmitters N     ... from N transmitters in turn (IDs 000001 to N)

Options:
  --rate BPS           pace the bytes at the wire time of this line speed
                       (10 bits a byte); by default a message goes out at once
  --stats-every MS     print the figures every MS milliseconds too
  --linger MS          at the end, wait this long for acknowledgements still
                       owed (default 2000)
  --expect-acks        exit with status 1 unless every test and event message
                       got exactly one "<" and nothing else got one
  --wait-open          send nothing until the analyser listens on the port
                       (at most 10 s)
  --seed N             make the demo stream repeatable
  --no-register        do not register the port
  --help               this text

On exit (end of script or load run, Ctrl+C, SIGTERM) it unregisters the port
and prints, one per line: sent_test, sent_event, sent_other, acks,
acks_missing, acks_unexpected, received_other, unheard, ack_p50_ms, ack_p99_ms,
ack_max_ms. Acknowledgement times run from a message's last byte to its "<".

The port list lives in the registry store: $NIRA7_REGISTRY, else
$XDG_CONFIG_HOME/nira7/registry.reg, else ~/.config/nira7/registry.reg.
)";

int usageError(const std::string& message) {
    std::cerr << "nira7-receiver-sim: " << message << "\nTry --help.\n";
    return 2;
}

bool number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// Reads the command line into `options`. Returns an exit status when the program ends here
// (help, or a bad command line); -1 to go on.
int readArguments(int argc, char** argv, nira::sim::Options& options) {
    using nira::sim::Options;
    bool countGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](long low, long high, long& out) {
            if (i + 1 >= argc) {
                return usageError(arg + " needs a value");
            }
            if (!number(argv[++i], low, high, out)) {
                return usageError(arg + " takes a whole number from " + std::to_string(low) +
                                  " to " + std::to_string(high) + ", not '" + argv[i] + "'");
            }
            return 0;
        };
        long n = 0;
        int bad = 0;
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--demo") {
            options.mode = Options::Mode::Demo;
        } else if (arg == "--script") {
            if (i + 1 >= argc) {
                return usageError("--script needs a file");
            }
            options.mode = Options::Mode::Script;
            options.scriptFile = argv[++i];
        } else if (arg == "--count") {
            bad = value(1, 100'000'000, n);
            options.count = static_cast<int>(n);
            options.mode = Options::Mode::Load;
            countGiven = true;
        } else if (arg == "--interval") {
            bad = value(0, 3'600'000, n);
            options.intervalMs = static_cast<int>(n);
        } else if (arg == "--rate") {
            bad = value(1, 10'000'000, n);
            options.rate = n;
        } else if (arg == "--stats-every") {
            bad = value(1, 3'600'000, n);
            options.statsEveryMs = static_cast<int>(n);
        } else if (arg == "--linger") {
            bad = value(0, 3'600'000, n);
            options.lingerMs = static_cast<int>(n);
        } else if (arg == "--seed") {
            bad = value(1, 0xFFFFFFFFL, n);
            options.seed = static_cast<std::uint32_t>(n);
        } else if (arg == "--expect-acks") {
            options.expectAcks = true;
        } else if (arg == "--wait-open") {
            options.waitOpen = true;
        } else if (arg == "--merge-at") {
            bad = value(2, 100'000'000, n);
            options.mergeAt = static_cast<int>(n);
        } else if (arg == "--transmitters") {
            bad = value(1, 0xFFFFFF, n);
            options.transmitters = static_cast<int>(n);
        } else if (arg == "--no-register") {
            options.registerPort = false;
        } else {
            return usageError("unknown option '" + arg + "'");
        }
        if (bad != 0) {
            return bad;
        }
    }
    if (countGiven && !options.scriptFile.empty()) {
        return usageError("--script and --count are two different modes; pick one");
    }
    if (options.transmitters > 0 && !countGiven) {
        return usageError("--transmitters is for the load run (--count)");
    }
    if (options.mergeAt > 0 && (!countGiven || options.mergeAt > options.count)) {
        return usageError("--merge-at names a message of the load run (--count)");
    }
    return -1;
}

// Reads and checks the script of script mode. Returns false, having said why, when it cannot.
bool loadScript(nira::sim::Options& options) {
    if (options.mode != nira::sim::Options::Mode::Script) {
        return true;
    }
    std::ifstream file(options.scriptFile, std::ios::binary);
    if (!file) {
        std::cerr << "nira7-receiver-sim: cannot read the script '" << options.scriptFile
                  << "': " << std::error_code(errno, std::generic_category()).message() << "\n";
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    try {
        options.script = nira::sim::parseScript(text.str(), options.scriptFile);
    } catch (const nira::sim::ScriptError& e) {
        std::cerr << "nira7-receiver-sim: " << e.what() << "\n";
        return false;
    }
    return true;
}

void installStopSignals() {
    // The stop signals are only let through while the simulator waits, so none is lost.
    struct sigaction stopAction {};
    stopAction.sa_handler = onStopSignal;
    sigemptyset(&stopAction.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &stopAction, nullptr);
        sigaddset(&blocked, s);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // NOLINT(concurrency-mt-unsafe): no other thread yet
}

}  // namespace

int main(int argc, char** argv) {
    nira::sim::Options options;
    if (const int status = readArguments(argc, argv, options); status >= 0) {
        return status;
    }
    if (!loadScript(options)) {
        return 2;
    }
    installStopSignals();
    try {
        nira::sim::Simulator simulator(std::move(options));
        std::cout << simulator.portPath() << std::endl;
        const int status = simulator.run(stopRequested);
        simulator.stats().print(std::cout);
        return status;
    } catch (const std::exception& e) {
        std::cerr << "nira7-receiver-sim: " << e.what() << "\n";
        return 3;
    }
}

// The analyser's figures, as `name: value` lines:
//   startup_ms           process start to the main window shown (offscreen)
//   append_first_us      one log line appended to an empty log (median)
//   append_1m_us         the same with 1,000,000 lines in the log, the view scrolled up (median),
//                        and the ratio
//   append_follow_*_us   an append that scrolls the view to it, at 1,000 and 1,000,000 lines
//   bytes_per_line       memory growth per line at 1,000,000 lines
//   ack_p50_ms/p99_ms    the simulator's time from a message's last byte to its "<", with the
//                        window listening, for 2000 event messages 45 ms apart (the handler's
//                        40 ms wait is the floor by design); half-way two messages go out
//                        together and neither is answered (acks_missing: 2), as a receiver's
//                        burst would, and the times after them stay what they are
//   cpu_ms_per_msg       the analyser's CPU time (all its threads, and the window's own) per
//                        received message meanwhile, the window idling in its event loop
//   repainted_px_*       what a message repaints, in pixels, in all and by control
//   transmitters_*       (part "transmitters") the CPU per message with the window listening as
//                        above, and again with a site list of 5,000 transmitters loaded and the
//                        events coming from all of them in turn, the transmitters window
//                        hidden, then shown; each with its ratio to the first and the table's
//                        model resets meanwhile (0); and the window's own cost per message,
//                        hidden and shown, for 100,000 messages over 5,000 handed to it
//                        directly (a burst: the view follows twice a second)
// Usage: analyser-bench [event count] [interval ms] [listen|append|transmitters]
#include <sys/resource.h>
#include <unistd.h>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPaintEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.hpp"
#include "temp_dir.hpp"
#include "ui/application.hpp"
#include "ui/desktop.hpp"
#include "ui/log_view.hpp"
#include "ui/main_form.hpp"
#include "ui/transmitters_window.hpp"

using namespace nira;

namespace {

// Quiet: no sounds, no message boxes while measuring.
class QuietDesktop : public ui::Desktop {
  public:
    void messageBeep(unsigned) override {}
    void bringToFront(QWidget*) override {}
    void showException(const QString& text) override {
        std::fprintf(stderr, "analyser-bench: %s\n", text.toLocal8Bit().constData());
    }
};

double sinceProcessStartMs() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Field 22, counted after the command name in parentheses.
    std::size_t at = text.rfind(')');
    for (int field = 2; field < 22 && at != std::string::npos; ++field) {
        at = text.find(' ', at + 1);
    }
    const double startTicks = std::strtod(text.c_str() + at + 1, nullptr);
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    return uptime * 1e3 - startTicks * 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long residentBytes() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

double cpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Counts the pixels painted per control while it is installed, to see what a message repaints.
class PaintCensus : public QObject {
  public:
    std::map<std::string, long> paints;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const QString name = watched->objectName();
            long pixels = 0;
            for (const QRect& part : static_cast<QPaintEvent*>(event)->region()) {
                pixels += static_cast<long>(part.width()) * part.height();
            }
            const QString parent =
                watched->parent() != nullptr ? watched->parent()->objectName() : QString();
            paints[(name.isEmpty() ? parent + "/" + watched->metaObject()->className() : name)
                       .toStdString()] += pixels;
        }
        return false;
    }
};

double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

const QString kLine =
    "10.12.2026 02:31:49 --> ST: 11, ID: 123456, DT: 01, D1: B0, XXXX: FDA0, CS: FB";

double appendMicros(ui::TMainForm& form, int samples) {
    std::vector<double> times;
    for (int i = 0; i < samples; ++i) {
        QElapsedTimer timer;
        timer.start();
        form.AppendLogLine(kLine);
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e3);
        QCoreApplication::processEvents();
    }
    return median(times);
}

// The process's CPU per received message, with `form` listening to a load run of the simulator.
double listeningCpuPerMessage(ui::TMainForm& form, int events, int intervalMs,
                              const std::vector<std::string>& simOptions) {
    std::vector<std::string> arguments{
        "--count", std::to_string(events), "--interval", std::to_string(intervalMs), "--linger",
        "1000",    "--wait-open"};
    arguments.insert(arguments.end(), simOptions.begin(), simOptions.end());
    testing::SimProcess sim(arguments);
    auto* ports = form.findChild<QComboBox*>("cbPort");
    ports->clear();
    ports->addItem(QString::fromStdString(sim.portPath()));
    ports->setCurrentIndex(0);
    auto* log = form.findChild<ui::LogView*>("sMemoOpis");
    const int linesBefore = log->blockCount();
    const double before = cpuMs();
    form.findChild<QPushButton*>("ButtonStart")->click();
    QEventLoop listening;
    const auto doneYet = [&] {
        if (sim.exited() || log->blockCount() - linesBefore >= events) {
            listening.quit();
        }
    };
    QObject::connect(log, &ui::LogView::textChanged, &listening, doneYet);
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, doneYet);
    look.start(250);
    listening.exec();
    const double spent = cpuMs() - before;
    form.findChild<QPushButton*>("ButtonStop")->click();
    while (!sim.exited()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return spent / events;
}

void transmittersPart(int events, int intervalMs, const testing::TempDir& dir) {
    double plain = 0;
    {
        ui::TMainForm form;
        form.show();
        QCoreApplication::processEvents();
        plain = listeningCpuPerMessage(form, events, intervalMs, {});
    }
    constexpr int kSite = 5000;
    {
        std::ofstream list(dir / "site.csv");
        list << "id,name\n";
        for (int id = 1; id <= kSite; ++id) {
            char text[8];
            std::snprintf(text, sizeof text, "%06X", id);
            list << text << ",Transmitter " << id << "\n";
        }
    }
    const auto withSite = [&](bool shown, const char* name) {
        ui::TMainForm form;
        form.show();
        form.OpenTransmitterList(QString::fromStdString((dir / "site.csv").string()));
        if (shown) {
            form.ShowTransmitters();
        }
        QCoreApplication::processEvents();
        int resets = 0;
        QObject::connect(&form.Transmitters().model(), &QAbstractItemModel::modelReset,
                         [&resets] { ++resets; });
        const double cpu = listeningCpuPerMessage(form, events, intervalMs,
                                                  {"--transmitters", std::to_string(kSite)});
        std::printf(
            "transmitters_cpu_ms_per_msg_%s: %.3f (ratio %.2f, %zu rows, %d model "
            "resets)\n",
            name, cpu, cpu / plain, form.TransmitterTable().rows().size(), resets);
    };
    std::printf("transmitters_cpu_ms_per_msg_plain: %.3f\n", plain);
    withSite(false, "5k_hidden");
    withSite(true, "5k_shown");

    // The table's part alone, without the line: 100,000 messages over the 5,000, each handed to
    // the window as the handler hands it, the event loop run after each.
    const auto direct = [&](bool shown, const char* name) {
        capture::TransmitterTable table;
        ui::TransmittersWindow window(table);
        std::vector<capture::ListEntry> site;
        for (int id = 1; id <= kSite; ++id) {
            site.push_back({static_cast<capture::TransmitterId>(id), "Transmitter"});
        }
        table.applyList(site);
        window.model().reload();
        if (shown) {
            window.ShowTransmitters();
        }
        QCoreApplication::processEvents();
        constexpr int kMessages = 100'000;
        capture::TimePoint at = capture::WallClock::now();
        const double before = threadCpuMs();
        for (int i = 0; i < kMessages; ++i) {
            const auto id = static_cast<std::uint8_t>(i % kSite + 1);
            const receiver::EventBody body{0x11,
                                           0,
                                           static_cast<std::uint8_t>((i % kSite + 1) >> 8),
                                           id,
                                           static_cast<std::uint8_t>(i % 3),
                                           0,
                                           0x12,
                                           0x34,
                                           0};
            at += std::chrono::milliseconds(45);
            window.heard(table.onEvent(body, at));
            QCoreApplication::processEvents();
        }
        std::printf("transmitters_window_us_per_msg_%s: %.1f\n", name,
                    (threadCpuMs() - before) * 1e3 / kMessages);
    };
    direct(false, "hidden");
    direct(true, "shown");
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int intervalMs = argc > 2 ? std::atoi(argv[2]) : 45;
    // A third argument, "listen" or "append", measures that part only.
    const std::string part = argc > 3 ? argv[3] : "";
    const bool listenOnly = part == "listen";
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::Application application(argc, argv);
    QuietDesktop quiet;
    ui::setDesktop(&quiet);

    testing::TempDir dir;
    ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
    if (part == "transmitters") {
        transmittersPart(events, intervalMs, dir);
        ::unsetenv("NIRA7_REGISTRY");
        return 0;
    }
    if (part != "append") {
        ui::TMainForm form;
        form.show();
        QCoreApplication::processEvents();
        std::printf("startup_ms: %.0f\n", sinceProcessStartMs());
        std::fflush(stdout);

        // Acknowledgement times with the window listening.
        testing::SimProcess sim({"--count", std::to_string(events), "--interval",
                                 std::to_string(intervalMs), "--merge-at",
                                 std::to_string(std::max(2, events / 2)), "--linger", "1000",
                                 "--wait-open"});
        const std::string port = sim.portPath();
        auto* ports = form.findChild<QComboBox*>("cbPort");
        ports->clear();
        ports->addItem(QString::fromStdString(port));
        ports->setCurrentIndex(0);
        const double cpuBefore = cpuMs();
        const double windowCpuBefore = threadCpuMs();
        // The CPU is measured over the first four fifths of the messages; the census, whose look
        // at every event costs time of its own, watches the last fifth.
        PaintCensus census;
        const int measured = events * 4 / 5;
        double cpuPerMessage = 0;
        double windowCpuPerMessage = 0;
        form.findChild<QPushButton*>("ButtonStart")->click();
        // Stop once the last line is in, before the simulator ends and takes the line away. The
        // window waits in its event loop as it does in use; the log's change says when it is done
        // (a slow look catches a simulator that ended early).
        auto* log = form.findChild<ui::LogView*>("sMemoOpis");
        QEventLoop listening;
        const auto doneYet = [&] {
            if (cpuPerMessage == 0 && log->blockCount() > measured) {
                cpuPerMessage = (cpuMs() - cpuBefore) / measured;
                windowCpuPerMessage = (threadCpuMs() - windowCpuBefore) / measured;
                application.installEventFilter(&census);
            }
            if (sim.exited() || log->blockCount() > events) {
                listening.quit();
            }
        };
        QObject::connect(log, &ui::LogView::textChanged, doneYet);
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, doneYet);
        look.start(250);
        listening.exec();
        application.removeEventFilter(&census);
        const int watched = std::max(1, events - measured);
        form.findChild<QPushButton*>("ButtonStop")->click();
        while (!sim.exited()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto figures = sim.figures();
        for (const char* name :
             {"acks", "acks_missing", "ack_p50_ms", "ack_p99_ms", "ack_max_ms"}) {
            const auto found = figures.find(name);
            std::printf("%s: %s\n", name, found != figures.end() ? found->second.c_str() : "?");
        }
        std::printf("cpu_ms_per_msg: %.3f (the window's thread %.3f)\n", cpuPerMessage,
                    windowCpuPerMessage);
        // What repaints per message, in pixels: the log, the labels and the box caption, little
        // else.
        std::string repaints;
        long total = 0;
        for (const auto& [name, pixels] : census.paints) {
            total += pixels;
            if (pixels >= 100L * watched) {
                repaints += " " + name + "=" + std::to_string(pixels / watched);
            }
        }
        std::printf("repainted_px_per_msg: %ld (window %d)\n", total / watched,
                    form.width() * form.height());
        std::printf("repainted_px_by_control:%s\n", repaints.c_str());
        std::fflush(stdout);
    }

    if (listenOnly) {
        ::unsetenv("NIRA7_REGISTRY");
        return 0;
    }

    // Appending: empty log against a log of a million lines.
    ui::TMainForm form;
    form.show();
    auto* log = form.findChild<ui::LogView*>("sMemoOpis");
    std::vector<double> first;
    for (int i = 0; i < 200; ++i) {
        log->clear();
        QElapsedTimer timer;
        timer.start();
        form.AppendLogLine(kLine);
        first.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e3);
        QCoreApplication::processEvents();
    }
    log->clear();
    const double appendFirst = median(first);
    std::printf("append_first_us: %.1f\n", appendFirst);
    std::fflush(stdout);

    // An append that scrolls the view to it (the view at the bottom follows new lines).
    auto* bar = log->verticalScrollBar();
    for (int i = 0; i < 1000 - 200; ++i) {
        form.AppendLogLine(kLine);
    }
    QCoreApplication::processEvents();
    const double followThousand = appendMicros(form, 200);
    std::printf("append_follow_1k_us: %.1f\n", followThousand);
    std::fflush(stdout);

    constexpr int kLines = 1'000'000;
    const long before = residentBytes();
    QElapsedTimer fill;
    fill.start();
    for (int i = 0; i < kLines - 1400; ++i) {
        form.AppendLogLine(kLine);
        if (i % 10000 == 0) {
            QCoreApplication::processEvents();
        }
    }
    const double followMillion = appendMicros(form, 200);
    // The operator scrolled up: the view stays, the line only goes in.
    bar->setValue(0);
    QCoreApplication::processEvents();
    const double appendMillion = appendMicros(form, 200);
    const long after = residentBytes();
    std::printf("fill_1m_s: %.1f\n", static_cast<double>(fill.elapsed()) / 1e3);
    std::printf("append_1m_us: %.1f\n", appendMillion);
    std::printf("append_ratio: %.2f\n", appendMillion / appendFirst);
    std::printf("append_follow_1m_us: %.1f\n", followMillion);
    std::printf("append_follow_ratio: %.2f\n", followMillion / followThousand);
    std::printf("bytes_per_line: %.0f\n", static_cast<double>(after - before) / kLines);
    ::unsetenv("NIRA7_REGISTRY");
    return 0;
}

// Log file figures for a 50 MB log of receiver lines, as `name: value` lines:
//   read_50mb_ms           a bare read of the file (the baseline, same run)
//   open_50mb_ms           Open: the file read and made the log's text
//   open_per_read          the ratio of the two
//   rss_after_open_mb      the process's resident memory after Open, and its growth by the Open
//   rss_growth_per_file    the growth against the file's size
//   save_50mb_ms           Save: the log's text written to the file
//   longest_freeze_*_ms    the longest stretch without the window's event loop answering (a
//                          5 ms timer's longest gap) during Open and during Save
//   cancelled_open_keeps_log  whether an Open cancelled half-way leaves the log as it was
//   one_line_*_ms          a 50 MB file without line breaks: Open, then Ctrl+End, Page Up and
//                          three typed keys, each with the window repainted
//   bare_lf_*              files of nothing but LF: 60 million of them (under the log's line
//                          capacity) opened, the memory growth and its cost per line; 256 MiB
//                          of them (268 million lines) refused, with the peak memory meanwhile
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "temp_dir.hpp"
#include "ui/application.hpp"
#include "ui/desktop.hpp"
#include "ui/log_view.hpp"
#include "ui/main_form.hpp"

using namespace nira;

namespace {

class AnsweringDesktop : public ui::Desktop {
  public:
    QString path;
    void messageBeep(unsigned) override {}
    void showException(const QString& text) override {
        std::fprintf(stderr, "logfile-bench: %s\n", text.toLocal8Bit().constData());
    }
    QString getSaveFileName(QWidget*, const QString&, const QString&, const QString&,
                            const QString&) override {
        return path;
    }
    QString getOpenFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return path;
    }
};

}  // namespace

long peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmHWM:") {
            long kb = 0;
            status >> kb;
            return kb * 1024;
        }
    }
    return 0;
}

long residentBytes() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// The longest gap between ticks of a 5 ms timer while `action` runs.
template <typename Action>
double longestFreezeMs(Action action) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(5);
    last = clock.nsecsElapsed();
    action();
    longest = std::max(longest, clock.nsecsElapsed() - last);
    return static_cast<double>(longest) / 1e6;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::Application application(argc, argv);
    AnsweringDesktop desktop;
    ui::setDesktop(&desktop);
    testing::TempDir dir;
    ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
    desktop.path = QString::fromStdString((dir / "log.txt").string());

    // 50 MB of receiver lines, written as the analyser writes them.
    std::string text;
    const std::string line =
        "10.12.2026 02:31:49 --> ST: 11, ID: 123456, DT: 01, D1: B0, XXXX: FDA0, CS: FB\r\n";
    while (text.size() < 50u << 20) {
        text += line;
    }
    testing::writeFile(dir / "log.txt", text);

    QElapsedTimer timer;
    timer.start();
    {
        QFile file(desktop.path);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        std::printf("read_50mb_ms: %lld (%lld bytes)\n", static_cast<long long>(timer.elapsed()),
                    static_cast<long long>(bytes.size()));
    }
    const double read = static_cast<double>(timer.nsecsElapsed()) / 1e6;

    ui::TMainForm form;
    form.show();
    QCoreApplication::processEvents();
    const long rssBefore = residentBytes();
    double open = 0;
    const double openFreeze = longestFreezeMs([&] {
        timer.restart();
        form.ButtonOpenClick();
        QCoreApplication::processEvents();
        open = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    });
    const long rssAfter = residentBytes();
    auto* log = form.findChild<ui::LogView*>("sMemoOpis");
    std::printf("open_50mb_ms: %.0f\n", open);
    std::printf("open_per_read: %.1f\n", open / read);
    std::printf("log_lines: %d\n", log->blockCount());
    std::printf("rss_after_open_mb: %.0f (growth %.0f)\n", static_cast<double>(rssAfter) / 1e6,
                static_cast<double>(rssAfter - rssBefore) / 1e6);
    std::printf("rss_growth_per_file: %.2f\n",
                static_cast<double>(rssAfter - rssBefore) / static_cast<double>(text.size()));
    std::printf("longest_freeze_open_ms: %.0f\n", openFreeze);
    std::fflush(stdout);

    desktop.path = QString::fromStdString((dir / "saved.txt").string());
    double save = 0;
    const double saveFreeze = longestFreezeMs([&] {
        timer.restart();
        form.ButtonSaveClick();
        save = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    });
    std::printf("save_50mb_ms: %.0f\n", save);
    std::printf("longest_freeze_save_ms: %.0f\n", saveFreeze);
    std::printf("saved_same: %s\n", testing::readFile(dir / "saved.txt") == text ? "yes" : "no");

    // Open cancelled by the operator half-way: the log stays as it was.
    log->clear();
    form.AppendLogLine("kept");
    desktop.path = QString::fromStdString((dir / "log.txt").string());
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        for (QProgressDialog* progress : form.findChildren<QProgressDialog*>()) {
            if (auto* button = progress->findChild<QPushButton*>()) {
                button->click();
            }
        }
    });
    cancel.start(5);
    form.ButtonOpenClick();
    cancel.stop();
    std::printf("cancelled_open_keeps_log: %s\n", form.LogText() == "kept\r\n" ? "yes" : "no");

    // One line of 50 MB (a file without line breaks).
    std::string words;
    while (words.size() < 50u << 20) {
        words += "0123456789 ";
    }
    testing::writeFile(dir / "one-line.txt", words);
    desktop.path = QString::fromStdString((dir / "one-line.txt").string());
    timer.restart();
    form.ButtonOpenClick();
    QCoreApplication::processEvents();
    std::printf("one_line_open_ms: %lld\n", static_cast<long long>(timer.elapsed()));
    for (const auto& [name, key] :
         {std::pair{"ctrl_end", Qt::Key_End}, {"page_up", Qt::Key_PageUp}}) {
        timer.restart();
        QKeyEvent press(QEvent::KeyPress, key,
                        key == Qt::Key_End ? Qt::ControlModifier : Qt::NoModifier);
        QApplication::sendEvent(log, &press);
        log->repaint();
        std::printf("one_line_%s_ms: %lld\n", name, static_cast<long long>(timer.elapsed()));
    }
    // Keys typed in the middle of the line (the first starts an undo step, which copies it
    // once); each key with the window repainted.
    for (int key = 0; key < 3; ++key) {
        timer.restart();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QApplication::sendEvent(log, &press);
        log->repaint();
        std::printf("one_line_typed_key_%d_ms: %lld\n", key + 1,
                    static_cast<long long>(timer.elapsed()));
    }

    // Files of nothing but line breaks.
    log->clear();
    QCoreApplication::processEvents();
    constexpr std::size_t kManyBreaks = 60'000'000;
    testing::writeFile(dir / "breaks.txt", std::string(kManyBreaks, '\n'));
    desktop.path = QString::fromStdString((dir / "breaks.txt").string());
    const long rssBeforeBreaks = residentBytes();
    timer.restart();
    form.ButtonOpenClick();
    QCoreApplication::processEvents();
    const long rssAfterBreaks = residentBytes();
    std::printf("bare_lf_60m_open_ms: %lld (%d lines)\n", static_cast<long long>(timer.elapsed()),
                log->blockCount());
    std::printf(
        "bare_lf_60m_rss_growth_mb: %.0f\nbare_lf_bytes_per_line: %.1f\n",
        static_cast<double>(rssAfterBreaks - rssBeforeBreaks) / 1e6,
        static_cast<double>(rssAfterBreaks - rssBeforeBreaks) / static_cast<double>(kManyBreaks));
    log->clear();
    std::filesystem::remove(dir / "breaks.txt");
    testing::writeFile(dir / "breaks-256.txt", std::string(std::size_t{256} << 20, '\n'));
    desktop.path = QString::fromStdString((dir / "breaks-256.txt").string());
    timer.restart();
    std::string refusal = "no";
    try {
        // Out of a click the window shows what it throws; here it is caught.
        form.ButtonOpenClick();
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    QCoreApplication::processEvents();
    std::printf("bare_lf_256mib_open_ms: %lld (refused: %s)\n",
                static_cast<long long>(timer.elapsed()), refusal.c_str());
    std::printf("bare_lf_256mib_rss_after_mb: %.0f\npeak_rss_mb: %.0f\n",
                static_cast<double>(residentBytes()) / 1e6,
                static_cast<double>(peakResidentBytes()) / 1e6);
    ::unsetenv("NIRA7_REGISTRY");
    return 0;
}

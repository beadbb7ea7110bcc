// Log file figures for a 50 MB log of receiver lines, as `name: value` lines:
//   read_50mb_ms   a bare read of the file (the baseline, same run)
//   save_50mb_ms   Save: the log's text written to the file
//   open_50mb_ms   Open: the file read and made the log's text
//   open_per_read  the ratio of the two
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>

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
    timer.restart();
    form.ButtonOpenClick();
    QCoreApplication::processEvents();
    const double open = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    std::printf("open_50mb_ms: %.0f\n", open);
    std::printf("open_per_read: %.1f\n", open / read);
    std::printf("log_lines: %d\n", form.findChild<ui::LogView*>("sMemoOpis")->blockCount());

    desktop.path = QString::fromStdString((dir / "saved.txt").string());
    timer.restart();
    form.ButtonSaveClick();
    std::printf("save_50mb_ms: %lld\n", static_cast<long long>(timer.elapsed()));
    std::printf("saved_same: %s\n", testing::readFile(dir / "saved.txt") == text ? "yes" : "no");
    ::unsetenv("NIRA7_REGISTRY");
    return 0;
}

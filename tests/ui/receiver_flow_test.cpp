// End to end: the simulator on its pseudo-terminal, the main window listening. Every message is
// acknowledged or not as it should be, and the log and the three labels read exactly right.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

#include "../support/edge_case_session.hpp"
#include "../support/scoped_env.hpp"
#include "../support/sim_process.hpp"
#include "ui/log_view.hpp"
#include "ui/log_view_accessible.hpp"
#include "ui/main_form.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::readFile;
using nira::testing::RecordingDesktop;
using nira::testing::SimProcess;
using nira::testing::TempDir;
using nira::testing::waitUntil;
using nira::testing::writeFile;

// Date, one space, time (hour with or without its leading zero, an optional designator).
const QString kStamp = R"(\S+ (?:\S+ )?\d{1,2}:\d{2}:\d{2}(?: \S+)? --> )";

TEST(ReceiverFlow, TheWindowAnswersLogsAndShowsEachMessage) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    // The window stops listening before the line goes away.
    writeFile(dir / "session.txt", std::string(nira::testing::kEdgeCaseSession) + "wait 3000\n");
    SimProcess sim(
        {"--script", (dir / "session.txt").string(), "--expect-acks", "--linger", "300"});
    const std::string port = sim.portPath();
    ASSERT_FALSE(port.empty());

    RecordingDesktop desktop;
    TMainForm form;  // the system's port list: the simulator has registered its port there
    form.show();
    auto* ports = form.findChild<QComboBox*>("cbPort");
    ports->setCurrentIndex(ports->findText(QString::fromStdString(port)));
    ASSERT_EQ(ports->currentText().toStdString(), port);
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStart"), Qt::LeftButton);
    ASSERT_TRUE(form.BComPort1.IsOpen()) << ::testing::PrintToString(desktop.messages);

    auto* log = form.findChild<LogView*>("sMemoOpis");
    ASSERT_TRUE(
        waitUntil([&] { return log->toPlainText().contains("XYZ"); }, std::chrono::seconds(20)));
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStop"), Qt::LeftButton);
    sim.signal(SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return sim.exited().has_value(); }));

    const auto figures = sim.figures();
    EXPECT_EQ(*sim.exited(), 0);
    EXPECT_EQ(figures.at("acks"), "3");
    EXPECT_EQ(figures.at("acks_unexpected"), "0");
    EXPECT_EQ(figures.at("acks_missing"), "0");

    const QStringList lines = log->toPlainText().split('\n');
    const QStringList expected = {
        "???: " + QString(400, 'Z'),
        "TEST: 42, CS: 43",
        "TEST: 01, CS: FE",
        "ST: 10, ID: 1B05FF, DT: 5C, D1: 00, XXXX: 1234, CS: AB",
        "???: ABCD",
        // Control bytes are shown as their pictures and kept as bytes.
        QString("???: ") + QChar(0x2400) + QChar(0x240D) + QChar(0x240A) + "XYZ" + QChar(0x2421) +
            QChar(0x0402) + QChar(0x044F),
        "",
    };
    ASSERT_EQ(lines.size(), expected.size()) << lines.join("\n").toStdString();
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QRegularExpression pattern("^" + kStamp + QRegularExpression::escape(expected[i]) +
                                         "$");
        EXPECT_TRUE(pattern.match(lines[i]).hasMatch()) << lines[i].toStdString();
    }
    EXPECT_NE(form.LogText().find(std::string("???: \x00\r\nXYZ\x7F\x80\xFF\r\n", 16)),
              std::string::npos)
        << "the bytes of an unrecognised chunk are kept as they came";

    EXPECT_TRUE(QRegularExpression(R"(^Last Event in \d{1,2}:\d{2}:\d{2}( \S+)?$)")
                    .match(form.findChild<QGroupBox*>("sGroupBox_LastEv")->title())
                    .hasMatch());
    EXPECT_EQ(form.findChild<QLabel*>("sLabel_LabEvent")->text(),
              "ST: 10, ID: 1B(27)05(5)FF(255), DT: 5C(0101 1100), D1: 00(0000 0000), XXXX: 1234, "
              "CS: AB");
    EXPECT_EQ(form.findChild<QLabel*>("sLabel_Smart")->text(),
              "Smart: A0=H, A1=D, A2=F, A3=L, A4=H, A5=H, A6=D, A7=D, D3=L, D2=L, D1=L, D0=L");
    // Start's, the error beep for each unrecognised chunk and the exclamation for the event in the
    // order they came, then Stop's.
    EXPECT_EQ(desktop.beeps, (std::vector<unsigned>{0x20, 0x10, 0x30, 0x10, 0x10, 0x30}));
    EXPECT_EQ(desktop.broughtToFront, 4);
    EXPECT_TRUE(desktop.messages.empty()) << desktop.messages.front();
    // The transmitters table heard the event, and the test messages apart.
    ASSERT_EQ(form.TransmitterTable().rows().size(), 1U);
    EXPECT_EQ(form.TransmitterTable().rows()[0].id, 0x1B05FFU);
    EXPECT_EQ(form.TransmitterTable().testMessages(), 2U);
}

// Where the link stands is always in view and told to assistive tools: listening, waiting for a
// pulled receiver, back (the loss box closing itself), a second loss told again, idle.
TEST(ReceiverFlow, TheWindowSaysWhereTheLinkStands) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    const nira::testing::ScopedEnv byId("NIRA7_SERIAL_BY_ID", (dir / "by-id").string());
    std::filesystem::create_directories(dir / "by-id");
    const auto name = dir / "ttyUSB0";
    const auto identity = dir / "by-id" / "usb-Maker_Receiver_0042-if00-port0";
    const auto repoint = [](const std::filesystem::path& at, const std::string& target) {
        std::filesystem::remove(at);
        std::filesystem::create_symlink(target, at);
    };
    writeFile(dir / "script.txt", "wait-open\ntest 01 FE\nexpect-ack\nwait 100000\n");
    auto receiver = [&] {
        auto sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--script", (dir / "script.txt").string(), "--no-register"});
        repoint(name, sim->portPath());
        repoint(identity, sim->portPath());
        return sim;
    };
    auto sim = receiver();
    writeFile(dir / "registry.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n\"adapter\"=\"" +
                  name.string() + "\"\r\n");

    static std::vector<QString> told;
    told.clear();
    const auto previous = LogViewAccessible::divert([](QAccessibleEvent* event) {
        if (event->type() == QAccessible::Alert && event->object() != nullptr &&
            event->object()->objectName() == "LinkState") {
            told.push_back(static_cast<QLabel*>(event->object())->text());
        }
    });
    struct Restore {
        QAccessible::UpdateHandler previous;
        ~Restore() { LogViewAccessible::divert(previous); }
    } const restore{previous};

    RecordingDesktop desktop;
    TMainForm form;
    form.show();
    auto* state = form.findChild<QLabel*>("LinkState");
    auto* box = form.findChild<QMessageBox*>("LossBox");
    ASSERT_NE(state, nullptr);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(state->text(), "Idle");
    told.clear();
    form.ChoosePort(QString::fromStdString(name.string()));
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStart"), Qt::LeftButton);
    ASSERT_TRUE(form.BComPort1.IsOpen()) << ::testing::PrintToString(desktop.messages);
    EXPECT_TRUE(QRegularExpression("^Listening on " + QRegularExpression::escape(name.c_str()) +
                                   " at \\d+ bit/s$")
                    .match(state->text())
                    .hasMatch())
        << state->text().toStdString();

    for (int loss = 1; loss <= 2; ++loss) {
        sim->signal(SIGTERM);
        sim.reset();
        ASSERT_TRUE(waitUntil([&] { return state->text().startsWith("Waiting for "); }))
            << "loss " << loss << ": " << state->text().toStdString();
        ASSERT_TRUE(waitUntil([&] { return box->isVisible(); })) << "loss " << loss;
        EXPECT_EQ(box->text().toStdString(), serial::DeviceLostMessage(name.string(), true));
        sim = receiver();
        ASSERT_TRUE(waitUntil([&] { return state->text().startsWith("Back at "); },
                              std::chrono::seconds(10)))
            << "loss " << loss << ": " << state->text().toStdString();
        EXPECT_TRUE(state->text().contains("Listening on " + QString(name.c_str())));
        EXPECT_TRUE(waitUntil([&] { return !box->isVisible(); })) << "the box stayed";
    }
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStop"), Qt::LeftButton);
    EXPECT_EQ(state->text(), "Idle");
    // Each change was told: listening, then waiting and back twice, then idle.
    ASSERT_GE(told.size(), 6U);
    EXPECT_TRUE(told.front().startsWith("Listening on "));
    EXPECT_TRUE(told[1].startsWith("Waiting for "));
    EXPECT_TRUE(told[2].startsWith("Back at "));
    EXPECT_EQ(told.back(), "Idle");
    EXPECT_TRUE(desktop.messages.empty()) << ::testing::PrintToString(desktop.messages);
}

// Every line the receiver sent is in the day's journal file as Save writes it, whatever happens
// to the log in the window afterwards (Esc, typing).
TEST(ReceiverFlow, TheJournalKeepsWhatTheReceiverSent) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    const nira::testing::ScopedEnv state("XDG_STATE_HOME", (dir / "state").string());
    writeFile(dir / "session.txt", std::string(nira::testing::kEdgeCaseSession) + "wait 3000\n");
    SimProcess sim({"--script", (dir / "session.txt").string(), "--linger", "300"});
    RecordingDesktop desktop;
    TMainForm form;
    form.show();
    EXPECT_EQ(form.JournalFolder().toStdString(), (dir / "state" / "nira7" / "journal").string());
    auto* ports = form.findChild<QComboBox*>("cbPort");
    // The simulator registers its port as it starts: the list is read again until it is there.
    const QString port = QString::fromStdString(sim.portPath());
    ASSERT_TRUE(waitUntil([&] {
        form.RefreshPorts();
        return ports->findText(port) >= 0;
    }));
    ports->setCurrentIndex(ports->findText(port));
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStart"), Qt::LeftButton);
    ASSERT_TRUE(form.BComPort1.IsOpen()) << ::testing::PrintToString(desktop.messages);
    auto* log = form.findChild<LogView*>("sMemoOpis");
    ASSERT_TRUE(
        waitUntil([&] { return log->toPlainText().contains("XYZ"); }, std::chrono::seconds(20)));
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStop"), Qt::LeftButton);
    const std::string logged = form.LogText();
    QTest::keyClick(log, Qt::Key_Escape);
    QTest::keyClicks(log, "typed");
    std::filesystem::path file;
    for (const auto& entry :
         std::filesystem::directory_iterator(dir / "state" / "nira7" / "journal")) {
        file = entry.path();
    }
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(readFile(file), logged);
    EXPECT_TRUE(desktop.messages.empty()) << ::testing::PrintToString(desktop.messages);

    // Switched off, it keeps nothing.
    form.SetJournalling(false);
    EXPECT_TRUE(form.JournalFolder().isEmpty());
}

TEST(ReceiverFlow, AFloodKeepsTheWindowResponsiveBetweenChunks) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    // 30,000 bytes of noise at 256000 bit/s: faster than 400 bytes per 40 ms can drain. (A
    // pseudo-terminal then holds the writer back, and what stays unread waits for the next
    // arrival, as with any port.)
    writeFile(dir / "flood.txt", "wait-open\nraw 5A*30000\nwait 5000\n");
    SimProcess sim({"--script", (dir / "flood.txt").string(), "--rate", "256000"});
    const std::string port = sim.portPath();
    ASSERT_FALSE(port.empty());

    RecordingDesktop desktop;
    TMainForm form;
    form.show();
    auto* ports = form.findChild<QComboBox*>("cbPort");
    ports->setCurrentIndex(ports->findText(QString::fromStdString(port)));
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStart"), Qt::LeftButton);
    ASSERT_TRUE(form.BComPort1.IsOpen());

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    auto* log = form.findChild<LogView*>("sMemoOpis");
    ASSERT_TRUE(waitUntil([&] { return log->blockCount() > 6; }, std::chrono::seconds(20)))
        << log->blockCount() << " lines, " << ticks << " ticks, " << desktop.beeps.size()
        << " beeps";
    // Other events ran between the chunks.
    EXPECT_GE(ticks, 2);
    QTest::mouseClick(form.findChild<QWidget*>("ButtonStop"), Qt::LeftButton);
    EXPECT_FALSE(form.BComPort1.IsOpen());
    EXPECT_TRUE(desktop.messages.empty());
    for (const QString& line : log->toPlainText().split('\n', Qt::SkipEmptyParts)) {
        EXPECT_TRUE(line.endsWith("???: " + QString(400, 'Z')) || line.contains("???: Z"))
            << line.left(80).toStdString();
    }
    sim.signal(SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return sim.exited().has_value(); }));
}

}  // namespace
}  // namespace nira::ui

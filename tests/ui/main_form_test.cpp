// The main window headless: its controls, states, Start and Stop, shortcuts and launches.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>

#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

#include "platform/desktop.hpp"
#include "ui/form_help.hpp"
#include "ui/log_view.hpp"
#include "ui/main_form.hpp"
#include "ui/png_button.hpp"
#include "ui/window_look.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::kMissingPort;
using nira::testing::Launch;
using nira::testing::RecordingDesktop;
using nira::testing::runFor;
using nira::testing::TestPort;
using nira::testing::TestRegistry;
using nira::testing::waitUntil;

class MainFormTest : public ::testing::Test {
  protected:
    MainFormTest() : registry({pty.path(), otherPty.path()}) {}

    void SetUp() override {
        form = std::make_unique<TMainForm>(platform::systemSerialApi(), registry.api());
        form->show();
        help = std::make_unique<TFormHelp>();
        form->SetFormHelp(help.get());
        QApplication::setActiveWindow(form.get());
        runFor(std::chrono::milliseconds(10));
        desktop.beeps.clear();
    }
    void TearDown() override {
        help.reset();
        form.reset();
    }

    template <typename T = QWidget>
    T* control(const char* name) const {
        T* found = form->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(control("sMemoOpis"), k, modifiers);
    }
    bool running() const {
        return !control("ButtonStart")->isEnabled() && control("ButtonStop")->isEnabled();
    }
    void choosePort(const std::string& path) {
        auto* ports = control<QComboBox>("cbPort");
        ports->setCurrentIndex(ports->findText(QString::fromStdString(path)));
    }

    TestPort pty;
    TestPort otherPty;
    TestRegistry registry;
    RecordingDesktop desktop;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TFormHelp> help;
};

TEST_F(MainFormTest, ControlsStandWhereTheWindowPutsThem) {
    EXPECT_EQ(form->windowTitle(), "NIRA-7: PowerCode CodeSecure Analyse (v.0.3)");
    EXPECT_EQ(form->size(), QSize(534, 470));
    const struct {
        const char* name;
        QRect where;
    } table[] = {
        {"sGroupBox4", {8, 0, 521, 81}},        {"cbPort", {65, 17, 79, 21}},
        {"cbBaudRate", {64, 50, 81, 21}},       {"ButtonOpen", {176, 16, 73, 25}},
        {"ButtonSave", {176, 48, 73, 25}},      {"ButtonStart", {272, 16, 73, 25}},
        {"ButtonStop", {272, 48, 73, 25}},      {"PNGButton6", {384, 8, 97, 73}},
        {"sGroupBox_LastEv", {8, 88, 521, 57}}, {"sGroupBox1", {8, 144, 521, 321}},
        {"sMemoOpis", {8, 16, 505, 297}},       {"PNGButtonCalc", {408, 568, 33, 41}},
        {"PNGButton3", {488, 568, 41, 41}},     {"PNGButton1", {576, 570, 41, 41}},
        {"sGroupBox2", {400, 480, 345, 73}},    {"MemoTunes", {0, 624, 361, 17}},
    };
    for (const auto& c : table) {
        EXPECT_EQ(control(c.name)->geometry(), c.where) << c.name;
    }
    // Labels start where the window puts them and grow with their text.
    for (const auto& [name, topLeft] :
         {std::pair{"Label1", QPoint(29, 21)}, std::pair{"Label2", QPoint(29, 53)},
          std::pair{"sLabel_LabEvent", QPoint(16, 19)}, std::pair{"sLabel_Smart", QPoint(16, 36)},
          std::pair{"sLabelDirect", QPoint(8, 24)}, std::pair{"sLabelFileName", QPoint(8, 48)}}) {
        EXPECT_EQ(control(name)->pos(), topLeft) << name;
    }
    EXPECT_EQ(control<QGroupBox>("sGroupBox_LastEv")->title(), "Last event in ??:??:??");
    EXPECT_EQ(control<QLabel>("sLabel_LabEvent")->text(),
              "ST: ??, ID: ??????, DT: ??, D1: ??, XXXX: ????, CS: ??");
    EXPECT_EQ(control<QLabel>("sLabelDirect")->text(), "Dir:");
    EXPECT_EQ(control<QLabel>("sLabelFileName")->text(), "File:");
    EXPECT_EQ(control("sMemoOpis")->toolTip(), "Для очистки - ESC");
    EXPECT_EQ(control("PNGButton1")->toolTip(), "Сайт \"Дельтакор\"");
    EXPECT_EQ(control("Label1")->toolTip(), "Device manager");
    EXPECT_EQ(control("Label2")->toolTip(), "Device Manager");
    EXPECT_FALSE(control("MemoTunes")->isVisible());

    // The lower strip is reached by scrolling.
    auto* scroller = form->findChild<QScrollArea*>("scroller");
    EXPECT_EQ(scroller->widget()->size(), QSize(745, 611));
    EXPECT_GT(scroller->verticalScrollBar()->maximum(), 0);
    EXPECT_GT(scroller->horizontalScrollBar()->maximum(), 0);
    EXPECT_FALSE(scroller->viewport()->rect().contains(
        control("sGroupBox2")->mapTo(scroller->viewport(), QPoint(0, 0))));

    auto* speeds = control<QComboBox>("cbBaudRate");
    QStringList items;
    for (int i = 0; i < speeds->count(); ++i) {
        items << speeds->itemText(i);
    }
    EXPECT_EQ(items.join(","),
              "110,300,600,1200,2400,4800,9600,14400,19200,38400,56000,57600,"
              "115200,128000,256000");
}

TEST_F(MainFormTest, FirstStartIsIdleWithTheLogFocused) {
    auto* ports = control<QComboBox>("cbPort");
    EXPECT_EQ(ports->count(), 2);
    EXPECT_EQ(ports->currentIndex(), 0);
    EXPECT_EQ(control<QComboBox>("cbBaudRate")->currentText(), "4800");
    EXPECT_FALSE(control("ButtonStop")->isEnabled());
    for (const char* name : {"ButtonOpen", "ButtonSave", "ButtonStart", "cbPort", "cbBaudRate"}) {
        EXPECT_TRUE(control(name)->isEnabled()) << name;
    }
    EXPECT_EQ(QApplication::focusWidget(), control("sMemoOpis"));
    EXPECT_TRUE(control<LogView>("sMemoOpis")->toPlainText().isEmpty());

    // Tab stops: the log, the port list, Open, Save, Start, (Stop when enabled), the speeds.
    std::vector<std::string> order;
    QWidget* w = control("sMemoOpis");
    for (int i = 0; i < 6; ++i) {
        order.push_back(w->objectName().toStdString());
        QTest::keyClick(w, Qt::Key_Tab);
        w = QApplication::focusWidget();
    }
    EXPECT_EQ(order, (std::vector<std::string>{"sMemoOpis", "cbPort", "ButtonOpen", "ButtonSave",
                                               "ButtonStart", "cbBaudRate"}));
}

TEST_F(MainFormTest, StartAndStopSwitchTheStatesWithTheirBeeps) {
    NIRA_NEEDS_PSEUDO_TERMINAL();
    choosePort(otherPty.path());
    control<QComboBox>("cbBaudRate")->setCurrentIndex(12);
    QTest::mouseClick(control("ButtonStart"), Qt::LeftButton);
    EXPECT_TRUE(running());
    EXPECT_EQ(desktop.beeps, std::vector<unsigned>{0x20});
    EXPECT_EQ(form->BComPort1.Port(), otherPty.path());
    EXPECT_EQ(form->BComPort1.BaudRate(), serial::br115200);
    for (const char* name : {"ButtonOpen", "ButtonSave", "cbPort", "cbBaudRate"}) {
        EXPECT_FALSE(control(name)->isEnabled()) << name;
    }
    EXPECT_TRUE(form->BComPort1.IsOpen());

    QTest::mouseClick(control("ButtonStop"), Qt::LeftButton);
    EXPECT_FALSE(running());
    EXPECT_FALSE(control("ButtonStop")->isEnabled());
    EXPECT_FALSE(form->BComPort1.IsOpen());
    EXPECT_EQ(desktop.beeps, (std::vector<unsigned>{0x20, 0x30}));
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(MainFormTest, StartOnAMissingPortShowsTheMessageAndStaysIdle) {
    registry.add(kMissingPort);
    auto* ports = control<QComboBox>("cbPort");
    ports->addItem(kMissingPort);
    ports->setCurrentIndex(ports->count() - 1);
    QTest::mouseClick(control("ButtonStart"), Qt::LeftButton);
    EXPECT_FALSE(running());
    EXPECT_TRUE(desktop.beeps.empty());
    ASSERT_EQ(desktop.messages.size(), 1U);
    EXPECT_EQ(desktop.messages[0],
              std::string(serial::EComPort::Message(serial::cmNoSuchPort)) + ".");
    EXPECT_TRUE(control("ButtonStart")->isEnabled());
}

TEST_F(MainFormTest, ShortcutsStartAndStopWithCtrlAmongAnyModifiers) {
    NIRA_NEEDS_PSEUDO_TERMINAL();
    const struct {
        const char* what;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool runningAfter;
    } steps[] = {
        {"1 alone does nothing", Qt::Key_1, Qt::NoModifier, false},
        {"Ctrl+1 starts", Qt::Key_1, Qt::ControlModifier, true},
        {"Ctrl+0 stops", Qt::Key_0, Qt::ControlModifier, false},
        {"Ctrl+keypad 1 starts", Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier, true},
        {"Ctrl+Alt+keypad 0 stops", Qt::Key_0,
         Qt::ControlModifier | Qt::AltModifier | Qt::KeypadModifier, false},
        {"Ctrl+0 while idle does nothing", Qt::Key_0, Qt::ControlModifier, false},
    };
    for (const auto& step : steps) {
        key(step.key, step.modifiers);
        EXPECT_EQ(running(), step.runningAfter) << step.what;
    }
    EXPECT_EQ(desktop.beeps, (std::vector<unsigned>{0x20, 0x30, 0x20, 0x30}));
}

// With Shift held the digit row gives its symbols on X11; the shortcut goes by the key.
TEST_F(MainFormTest, DigitShortcutsWorkWithShiftAndOnAnyLayout) {
    NIRA_NEEDS_PSEUDO_TERMINAL();
    const struct {
        const char* what;
        int key;
        Qt::KeyboardModifiers modifiers;
        quint32 keyCode;
        bool runningAfter;
    } steps[] = {
        {"Ctrl+Shift+1 starts", Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, 10, true},
        {"Ctrl+Shift+0 stops", Qt::Key_ParenRight, Qt::ControlModifier | Qt::ShiftModifier, 19,
         false},
        {"AZERTY's 1 key (&) starts", Qt::Key_Ampersand, Qt::ControlModifier, 10, true},
        {"AZERTY's 0 key (a-grave) stops", Qt::Key_Agrave, Qt::ControlModifier, 19, false},
        {"! without Ctrl does nothing", Qt::Key_Exclam, Qt::ShiftModifier, 10, false},
    };
    QWidget* target = control("sMemoOpis");
    for (const auto& step : steps) {
        QKeyEvent down(QEvent::KeyPress, step.key, step.modifiers, step.keyCode, 0, 0, "");
        QApplication::sendEvent(target, &down);
        EXPECT_EQ(running(), step.runningAfter) << step.what;
    }
}

TEST_F(MainFormTest, EnterPressesTheFocusedButtonAndDoubleClicksOnLabelsClickOnce) {
    NIRA_NEEDS_PSEUDO_TERMINAL();
    choosePort(pty.path());
    auto* start = control<QPushButton>("ButtonStart");
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Return);
    EXPECT_TRUE(running()) << "Enter on Start";
    auto* stop = control<QPushButton>("ButtonStop");
    stop->setFocus();
    QTest::keyClick(stop, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(running()) << "keypad Enter on Stop";

    // A double click on "Port:" opens the device manager once.
    desktop.launches.clear();
    QWidget* label = control("Label1");
    QTest::mouseDClick(label->window()->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                       label->mapTo(label->window(), QPoint(5, 5)));
    EXPECT_EQ(desktop.launches.size(), 1U);
}

TEST_F(MainFormTest, EscEmptiesTheLogWithoutAChangeReport) {
    form->AppendLogLine("first");
    form->AppendLogLine("second");
    auto* log = control<LogView>("sMemoOpis");
    int changes = 0;
    QObject::connect(log, &LogView::textChanged, [&] { ++changes; });
    for (auto modifiers : {Qt::KeyboardModifiers(Qt::NoModifier),
                           Qt::KeyboardModifiers(Qt::ShiftModifier | Qt::ControlModifier)}) {
        form->AppendLogLine("again");
        changes = 0;
        QTest::keyClick(control("cbBaudRate"), Qt::Key_Escape, modifiers);
        EXPECT_TRUE(log->toPlainText().isEmpty());
        EXPECT_EQ(changes, 0);
    }
    EXPECT_TRUE(desktop.beeps.empty());
}

TEST_F(MainFormTest, LogLinesFollowTheAppendRule) {
    auto* log = control<LogView>("sMemoOpis");
    form->AppendLogLine("one");
    EXPECT_EQ(form->LogText(), "one\r\n");
    form->AppendLogLine("two");
    EXPECT_EQ(form->LogText(), "one\r\ntwo\r\n");
    // Typed text without a line break at the end: the next line comes after a break.
    QTest::keyClicks(log, "typed");
    form->AppendLogLine("three");
    EXPECT_EQ(form->LogText(), "one\r\ntwo\r\ntyped\r\nthree");
    // Enter starts no new line in the log.
    QTest::keyClick(log, Qt::Key_Return);
    EXPECT_EQ(form->LogText(), "one\r\ntwo\r\ntyped\r\nthree");
}

TEST_F(MainFormTest, AboutByF1WithoutBeepAndByItsButtonWithOne) {
    key(Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(desktop.beeps.empty());
    help->hide();

    QTest::mouseClick(control("PNGButton6"), Qt::LeftButton);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(desktop.beeps, std::vector<unsigned>{0x40});
    EXPECT_EQ(QApplication::topLevelWidgets().count(help.get()), 1);
}

TEST_F(MainFormTest, LaunchesBeepFirstAndGoToTheirTargets) {
    QTest::mouseClick(control("PNGButtonCalc"), Qt::LeftButton);
    QTest::mouseClick(control("Label1"), Qt::LeftButton);
    QTest::mouseClick(control("Label2"), Qt::LeftButton);
    QTest::mouseClick(control("PNGButton1"), Qt::LeftButton);
    QTest::mouseClick(control("PNGButton3"), Qt::LeftButton);  // "Additionally": nothing
    QTest::mouseClick(control("Label1"), Qt::RightButton);
    EXPECT_EQ(desktop.launches, (std::vector<Launch>{{"open", "calc", 1},
                                                     {"open", "devmgmt.msc", 1},
                                                     {"open", "devmgmt.msc", 1},
                                                     {"", kMakerWebAddress, 5}}));
    EXPECT_EQ(desktop.beeps, (std::vector<unsigned>(4, 0x40)));
}

// Plays the device end of the port (on Windows the COM round trip of the program does).
#ifndef _WIN32
TEST_F(MainFormTest, DeviceEndVanishingWhileListeningIsReported) {
    {
        nira::testing::PtyPair shortLived;
        registry.add(shortLived.path());
        auto* ports = control<QComboBox>("cbPort");
        ports->addItem(QString::fromStdString(shortLived.path()));
        ports->setCurrentIndex(ports->count() - 1);
        key(Qt::Key_1, Qt::ControlModifier);
        ASSERT_TRUE(running());
    }
    // Told in the window's own box, which does not hold up the window.
    auto* box = form->findChild<QMessageBox*>("LossBox");
    ASSERT_TRUE(waitUntil([&] { return box->isVisible(); }));
    EXPECT_TRUE(running()) << "the state stays until Stop";
    EXPECT_TRUE(control("sMemoOpis")->isEnabled());
    runFor(std::chrono::milliseconds(50));
    EXPECT_NE(box->text().indexOf("is gone"), -1) << box->text().toStdString();
    EXPECT_TRUE(desktop.messages.empty());

    // Stop lets the vanished port go without a word; Start works again on a port that is there.
    key(Qt::Key_0, Qt::ControlModifier);
    EXPECT_FALSE(running());
    EXPECT_FALSE(box->isVisible());
    EXPECT_FALSE(form->BComPort1.IsOpen());
    choosePort(pty.path());
    key(Qt::Key_1, Qt::ControlModifier);
    EXPECT_TRUE(running());
    ASSERT_TRUE(pty.send(std::string(">\x01\xFE", 3)));
    EXPECT_TRUE(waitUntil([&] { return pty.receive(50) == "<"; })) << "listening again";
    EXPECT_TRUE(desktop.messages.empty());
    key(Qt::Key_0, Qt::ControlModifier);
}
#endif

#ifndef _WIN32
// The chosen name is a link here, as /dev/ttyUSB0 is a node the kernel gives back.
TEST_F(MainFormTest, ListeningGoesOnByItselfWhenThePulledDeviceIsBack) {
    const std::filesystem::path name = registry.dir() / "ttyUSB0";
    auto first = std::make_unique<nira::testing::PtyPair>();
    std::filesystem::create_symlink(first->path(), name);
    registry.add(name.string());
    auto* ports = control<QComboBox>("cbPort");
    ports->addItem(QString::fromStdString(name.string()));
    ports->setCurrentIndex(ports->count() - 1);
    key(Qt::Key_1, Qt::ControlModifier);
    ASSERT_TRUE(running());

    first.reset();
    auto* box = form->findChild<QMessageBox*>("LossBox");
    ASSERT_TRUE(waitUntil([&] { return box->isVisible(); }));
    EXPECT_NE(box->text().indexOf("resumes by itself"), -1) << box->text().toStdString();
    nira::testing::PtyPair second;
    std::filesystem::remove(name);
    std::filesystem::create_symlink(second.path(), name);
    ASSERT_TRUE(waitUntil([&] { return !form->BComPort1.DeviceLost(); }, std::chrono::seconds(5)))
        << "not listening again";
    EXPECT_TRUE(running());
    ASSERT_TRUE(second.send(std::string(">\x01\xFE", 3)));
    EXPECT_TRUE(waitUntil([&] { return second.receive(50) == "<"; }));
    EXPECT_FALSE(box->isVisible()) << "the box did not close itself";
    EXPECT_TRUE(desktop.messages.empty());
    key(Qt::Key_0, Qt::ControlModifier);
    EXPECT_FALSE(running());
    EXPECT_FALSE(form->BComPort1.IsOpen());
}
#endif

TEST_F(MainFormTest, TheLogFollowsNewLinesUnlessTheOperatorLooksElsewhere) {
    auto* log = control<LogView>("sMemoOpis");
    QScrollBar* bar = log->verticalScrollBar();
    // The last line with text: the one before the empty line the last break leaves.
    const auto lastLineVisible = [&] {
        return !log->lineRect(static_cast<std::size_t>(log->blockCount() - 2)).isEmpty();
    };
    for (int i = 0; i < 200; ++i) {
        form->AppendLogLine(("line " + std::to_string(i)).c_str());
    }
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(lastLineVisible());

    // Scrolled to the top with a selection: new lines move neither.
    bar->setValue(0);
    log->setSelection({3, 0}, {3, 6});
    for (int i = 0; i < 10; ++i) {
        form->AppendLogLine("more");
    }
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(log->positionAt(QPoint(2, 2)).line, 0U) << "first line at the top";
    EXPECT_EQ(log->selectedText(), "line 3");

    // Back at the bottom (Ctrl+End), the view follows again.
    QTest::keyClick(log, Qt::Key_End, Qt::ControlModifier);
    form->AppendLogLine("newest");
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(lastLineVisible());
    EXPECT_EQ(log->lines().line(log->lines().lineCount() - 2), "newest");
}

TEST_F(MainFormTest, APortNamedOnTheCommandLineIsChosenOrTheOperatorIsTold) {
    auto* ports = control<QComboBox>("cbPort");
    form->ChoosePort(QString::fromStdString(otherPty.path()));
    EXPECT_EQ(ports->currentText().toStdString(), otherPty.path());
    EXPECT_TRUE(desktop.messages.empty());
    form->ChoosePort("/dev/nira7-not-listed");
    EXPECT_EQ(ports->currentText().toStdString(), otherPty.path()) << "the choice stays";
    ASSERT_EQ(desktop.messages.size(), 1U);
    EXPECT_EQ(desktop.messages[0],
              "No port \"/dev/nira7-not-listed\" is in the Port list; choose one there.");
}

TEST_F(MainFormTest, ThePortListIsAskedAgainWhenItDropsDownWhileIdle) {
    auto* ports = control<QComboBox>("cbPort");
    choosePort(otherPty.path());
    TestPort pluggedLater;
    registry.add(pluggedLater.path());
    ASSERT_EQ(ports->findText(QString::fromStdString(pluggedLater.path())), -1);
    ports->showPopup();
    ports->hidePopup();
    EXPECT_NE(ports->findText(QString::fromStdString(pluggedLater.path())), -1);
    EXPECT_EQ(ports->currentText().toStdString(), otherPty.path()) << "the choice stays by name";

    // While listening the list stays as it is.
    NIRA_NEEDS_PSEUDO_TERMINAL();
    key(Qt::Key_1, Qt::ControlModifier);
    ASSERT_TRUE(running());
    TestPort pluggedLatest;
    registry.add(pluggedLatest.path());
    form->RefreshPorts();
    EXPECT_EQ(ports->findText(QString::fromStdString(pluggedLatest.path())), -1);
    key(Qt::Key_0, Qt::ControlModifier);
}

}  // namespace
}  // namespace nira::ui

namespace nira::ui {
namespace {

// The captions' contrast in a light and a dark scheme, the scheme set before the window is made
// and while it is up: every enabled button's text on its face, every label's and group title's
// on the window, at least 4.5:1. Colours, not pixels: fonts and antialiasing differ by machine.
TEST(WindowColours, EveryCaptionIsReadableInALightAndADarkScheme) {
    const QPalette before = QApplication::palette();
    // As dark schemes are made: the shades derived from a dark face, light text.
    QPalette dark(QColor(53, 53, 53), QColor(53, 53, 53));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(42, 42, 42));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, QColor(53, 53, 53));
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, Qt::black);
    const QPalette light = QApplication::style()->standardPalette();
    const struct {
        const char* name;
        QPalette scheme;
        bool whileUp;
    } schemes[] = {
        {"light", light, false}, {"dark", dark, false}, {"dark, switched to", dark, true}};
    RecordingDesktop desktop;  // a failure's box would wait for a click
    TestRegistry registry({"COM7"});
    for (const auto& s : schemes) {
        QApplication::setPalette(s.whileUp ? light : s.scheme);
        TMainForm form(platform::systemSerialApi(), registry.api());
        if (s.whileUp) {
            QApplication::setPalette(s.scheme);
        }
        for (auto* button : form.findChildren<QPushButton*>()) {
            button->setEnabled(true);
            const QPalette p = button->palette();
            EXPECT_GE(contrastRatio(p.color(QPalette::Active, QPalette::ButtonText),
                                    p.color(QPalette::Active, QPalette::Button)),
                      kReadableContrast)
                << s.name << ": " << button->text().toStdString();
        }
        for (auto* label : form.findChildren<QLabel*>()) {
            const QPalette p = label->palette();
            EXPECT_GE(contrastRatio(p.color(QPalette::Active, QPalette::WindowText),
                                    p.color(QPalette::Active, QPalette::Window)),
                      kReadableContrast)
                << s.name << ": " << label->objectName().toStdString();
        }
        for (auto* group : form.findChildren<QGroupBox*>()) {
            const QPalette p = group->palette();
            EXPECT_GE(contrastRatio(p.color(QPalette::Active, QPalette::WindowText),
                                    p.color(QPalette::Active, QPalette::Window)),
                      kReadableContrast)
                << s.name << ": " << group->title().toStdString();
        }
    }
    QApplication::setPalette(before);
}

}  // namespace
}  // namespace nira::ui

namespace nira::ui {
namespace {

// What a screen reader finds: the windows as frames, the lists named by their labels, the
// picture buttons as named buttons it can reach, nothing hidden listed.
TEST_F(MainFormTest, AssistiveToolsFindEachControlByNameAndRole) {
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(form.get());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window);
    QAccessibleInterface* about = QAccessible::queryAccessibleInterface(help.get());
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->role(), QAccessible::Window);
    // Each list is labelled by its caption (on Linux a relation, as Orca reads it).
    for (const auto& [list, caption] : {std::pair{"cbPort", "Port:"}, {"cbBaudRate", "Rate:"}}) {
        const auto labels =
            QAccessible::queryAccessibleInterface(control(list))->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1) << list;
        EXPECT_EQ(labels.front().first->text(QAccessible::Name), caption) << list;
        EXPECT_FALSE(control(list)->accessibleName().isEmpty()) << list;
    }
    // (No meta-object of their own: told apart by their type.)
    for (auto* widget : form->findChildren<QWidget*>()) {
        auto* button = dynamic_cast<TPNGButton*>(widget);
        if (button == nullptr) {
            continue;
        }
        QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(button);
        EXPECT_EQ(seen->role(), QAccessible::Button) << button->objectName().toStdString();
        EXPECT_FALSE(seen->text(QAccessible::Name).isEmpty()) << button->objectName().toStdString();
        EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus) << button->objectName().toStdString();
    }
    // The settings memo is never shown: no tool lists it.
    std::function<bool(QAccessibleInterface*)> lists = [&](QAccessibleInterface* node) {
        for (int i = 0; i < node->childCount(); ++i) {
            QAccessibleInterface* child = node->child(i);
            if (child == nullptr) {
                continue;
            }
            if (child->object() == control("MemoTunes") || lists(child)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(lists(window));
}

}  // namespace
}  // namespace nira::ui

// The About window: OK and F1 hide it, the links launch on the left button's press only, and it
// comes back where it was left.
#include <gtest/gtest.h>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ui/form_help.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::Launch;
using nira::testing::RecordingDesktop;

TEST(FormHelp, ControlsLinksAndClosing) {
    RecordingDesktop desktop;
    TFormHelp help;
    EXPECT_FALSE(help.isVisible());
    EXPECT_EQ(help.size(), QSize(218, 222));
    EXPECT_EQ(help.windowTitle(), "About");
    const struct {
        const char* name;
        QRect where;
        QString text;
    } table[] = {
        {"sPanel1", {9, 8, 200, 73}, "Thanks for using!"},
        {"Label2", {92, 90, 24, 13}, "Syte:"},
        {"sWebLabel1", {58, 106, 91, 13}, kMakerWebAddress},
        {"Label1", {42, 127, 139, 13}, QString("Programmer: ") + kProgrammerName},
        {"sWebLabel2", {56, 143, 99, 13}, kProgrammerEmail},
    };
    for (const auto& c : table) {
        auto* label = help.findChild<QLabel*>(c.name);
        ASSERT_NE(label, nullptr) << c.name;
        EXPECT_EQ(label->geometry(), c.where) << c.name;
        EXPECT_EQ(label->text(), c.text) << c.name;
    }
    auto* ok = help.findChild<QPushButton*>("sButton1");
    EXPECT_EQ(ok->geometry(), QRect(72, 176, 73, 33));

    help.ShowAbout();
    auto* web = help.findChild<QWidget*>("sWebLabel1");
    auto* mail = help.findChild<QWidget*>("sWebLabel2");
    EXPECT_EQ(web->cursor().shape(), Qt::PointingHandCursor);
    // The links act on the press; each press is released again, as a hand does, so no button
    // stays held for the tests that follow.
    const auto press = [](QWidget* target, Qt::MouseButton button) {
        QTest::mousePress(target, button);
        QTest::mouseRelease(target, button);
    };
    press(web, Qt::RightButton);
    press(mail, Qt::MiddleButton);
    EXPECT_TRUE(desktop.launches.empty());
    press(web, Qt::LeftButton);
    press(mail, Qt::LeftButton);
    EXPECT_EQ(desktop.launches,
              (std::vector<Launch>{{"open", kMakerWebAddress, 10},
                                   {"open", std::string("mailto:") + kProgrammerEmail, 10}}));

    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_FALSE(help.isVisible());
    EXPECT_EQ(desktop.beeps, std::vector<unsigned>{0x40});
    help.ShowAbout();
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Return);
    EXPECT_FALSE(help.isVisible()) << "Enter on OK";
    EXPECT_EQ(desktop.beeps, (std::vector<unsigned>{0x40, 0x40}));

    // Moved, hidden by F1 with any modifier, shown again where it was left.
    help.ShowAbout();
    help.move(help.pos() + QPoint(30, 20));
    const QPoint left = help.pos();
    for (auto modifiers : {Qt::KeyboardModifiers(Qt::ShiftModifier),
                           Qt::KeyboardModifiers(Qt::ControlModifier | Qt::AltModifier)}) {
        help.ShowAbout();
        EXPECT_EQ(help.pos(), left);
        QTest::keyClick(ok, Qt::Key_F1, modifiers);
        EXPECT_FALSE(help.isVisible());
    }
    help.ShowAbout();
    QTest::keyClick(ok, Qt::Key_Escape);
    EXPECT_TRUE(help.isVisible()) << "Esc does nothing here";
    EXPECT_EQ(desktop.beeps.size(), 2U)
        << "F1 and the caption's close are silent (the beeps are OK's)";
}

}  // namespace
}  // namespace nira::ui

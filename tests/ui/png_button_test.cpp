// The picture button as painted: frames, the pressed shift, the disabled picture; and the
// press/over state machine with its events.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWindow>
#include <algorithm>

#include "ui/png_button.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

constexpr QRgb kRed = 0xFFFF0000;

QImage redSquare() {
    QImage image(10, 10, QImage::Format_ARGB32);
    image.fill(kRed);
    return image;
}

class PngButtonTest : public ::testing::Test {
  protected:
    PngButtonTest() {
        button.setGeometry(0, 0, 40, 40);
        button.SetButtonStyle(pbsFlat);
        button.SetImageNormal(redSquare());
        QPalette pal = button.palette();
        pal.setColor(QPalette::Light, Qt::white);
        pal.setColor(QPalette::Dark, Qt::darkGray);
        pal.setColor(QPalette::Window, Qt::lightGray);
        button.setPalette(pal);
        button.setAutoFillBackground(true);
        button.OnClick = [this](TPNGButton*) { events.push_back("click"); };
        button.OnMouseDown = [this](TPNGButton*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
            events.push_back("down");
        };
        button.OnMouseUp = [this](TPNGButton*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
            events.push_back("up");
        };
        button.OnMouseEnter = [this](TPNGButton*) { events.push_back("enter"); };
        button.OnMouseExit = [this](TPNGButton*) { events.push_back("exit"); };
        button.show();
    }

    QImage paint() { return button.grab().toImage().convertToFormat(QImage::Format_ARGB32); }
    // Where the red square's top-left corner is, or (-1, -1).
    static QPoint pictureAt(const QImage& image) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) == kRed) {
                    return {x, y};
                }
            }
        }
        return {-1, -1};
    }
    void enter() {
        QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&button, &event);
    }
    void leave() {
        QEvent event(QEvent::Leave);
        QApplication::sendEvent(&button, &event);
    }
    void press(Qt::MouseButton which = Qt::LeftButton) {
        QTest::mousePress(&button, which, Qt::NoModifier, QPoint(20, 20));
    }
    void release(QPoint where = {20, 20}, Qt::MouseButton which = Qt::LeftButton) {
        QTest::mouseRelease(&button, which, Qt::NoModifier, where);
    }

    TPNGButton button;
    std::vector<std::string> events;
};

TEST_F(PngButtonTest, FlatFramesAndThePressedShift) {
    const QRgb light = QColor(Qt::white).rgb();
    const QRgb dark = QColor(Qt::darkGray).rgb();
    const QRgb face = QColor(Qt::lightGray).rgb();

    QImage image = paint();
    EXPECT_EQ(image.pixel(0, 0), face) << "no frame without the pointer";
    EXPECT_EQ(pictureAt(image), QPoint(15, 15));

    enter();
    image = paint();
    EXPECT_EQ(image.pixel(0, 0), light) << "raised frame";
    EXPECT_EQ(image.pixel(39, 39), dark);
    EXPECT_EQ(pictureAt(image), QPoint(15, 15));

    press();
    image = paint();
    EXPECT_EQ(image.pixel(0, 0), dark) << "sunken frame";
    EXPECT_EQ(image.pixel(39, 39), light);
    EXPECT_EQ(pictureAt(image), QPoint(17, 17));

    leave();  // still held, pointer gone: down but not pressed
    image = paint();
    EXPECT_EQ(image.pixel(0, 0), light);
    EXPECT_EQ(pictureAt(image), QPoint(15, 15));
    release(QPoint(60, 60));
    EXPECT_EQ(button.PressState(), TPressState::Up);
    EXPECT_EQ(paint().pixel(0, 0), face);
    EXPECT_EQ(events, (std::vector<std::string>{"enter", "down", "exit", "up"}));

    events.clear();
    enter();
    press();
    release();
    EXPECT_EQ(events, (std::vector<std::string>{"enter", "down", "click", "up"}));
    EXPECT_EQ(paint().pixel(0, 0), light) << "the raised frame returns";
}

// Through the window, as real input arrives: the second press of a double click is the double
// click, not a second click.
TEST_F(PngButtonTest, ADoubleClickIsOneClickAndADoubleClick) {
    button.OnDblClick = [this](TPNGButton*) { events.push_back("double"); };
    QWindow* window = button.windowHandle();
    ASSERT_NE(window, nullptr);
    QTest::mouseMove(window, QPoint(20, 20));
    events.clear();
    QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    EXPECT_EQ(events, (std::vector<std::string>{"down", "click", "up", "double", "down", "up"}));
    EXPECT_EQ(button.PressState(), TPressState::Up);

    events.clear();
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20), 500);
    EXPECT_EQ(events, (std::vector<std::string>{"down", "click", "up"})) << "clicks again later";
}

// A held pointer dragged off the button gets no leave from the windowing system; the button tells
// it from the moves: raised and unshifted while outside, pressed again when back.
TEST_F(PngButtonTest, DraggedOffWhileHeldPaintsRaisedAndClicksNothing) {
    QWindow* window = button.windowHandle();
    ASSERT_NE(window, nullptr);
    QTest::mouseMove(window, QPoint(20, 20));
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    EXPECT_EQ(pictureAt(paint()), QPoint(17, 17));
    QTest::mouseMove(window, QPoint(60, 60));
    EXPECT_FALSE(button.MouseOver());
    QImage image = paint();
    EXPECT_EQ(image.pixel(0, 0), QColor(Qt::white).rgb()) << "raised frame";
    EXPECT_EQ(pictureAt(image), QPoint(15, 15)) << "no offset";
    QTest::mouseMove(window, QPoint(21, 21));
    EXPECT_EQ(pictureAt(paint()), QPoint(17, 17)) << "pressed again when back";
    QTest::mouseMove(window, QPoint(70, 70));
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, QPoint(70, 70));
    QApplication::processEvents();
    EXPECT_EQ(button.PressState(), TPressState::Up);
    EXPECT_EQ(std::count(events.begin(), events.end(), "click"), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), "exit"), 2) << "one per time it left";
}

TEST_F(PngButtonTest, RightButtonGivesNoPressedLookButItsEvents) {
    enter();
    press(Qt::RightButton);
    EXPECT_EQ(button.PressState(), TPressState::Up);
    EXPECT_EQ(pictureAt(paint()), QPoint(15, 15));
    release({20, 20}, Qt::RightButton);
    EXPECT_EQ(events, (std::vector<std::string>{"enter", "down", "up"}));
}

TEST_F(PngButtonTest, DisabledShowsAThirdOfThePictureAndNoFrame) {
    QImage translucent(10, 10, QImage::Format_ARGB32);
    translucent.fill(qRgba(0, 0, 255, 150));
    const QImage dimmed = TPNGButton::MakeDisabledImage(translucent);
    EXPECT_EQ(qAlpha(dimmed.pixel(0, 0)), 50);
    EXPECT_EQ(qAlpha(TPNGButton::MakeDisabledImage(redSquare()).pixel(3, 3)), 85);

    QImage palette(4, 4, QImage::Format_Indexed8);
    palette.setColorTable({qRgba(10, 20, 30, 0), qRgba(200, 100, 50, 128)});
    palette.fill(1);
    const QImage opaque = TPNGButton::MakeDisabledImage(palette);
    EXPECT_EQ(opaque.format(), QImage::Format_Indexed8);
    EXPECT_EQ(opaque.pixel(0, 0), qRgba(200, 100, 50, 255)) << "palette pixels unchanged";

    enter();
    button.setEnabled(false);
    EXPECT_EQ(button.PressState(), TPressState::Disabled);
    const QImage image = paint();
    EXPECT_EQ(image.pixel(0, 0), QColor(Qt::lightGray).rgb()) << "no frame while disabled";
    EXPECT_EQ(pictureAt(image), QPoint(-1, -1)) << "the picture is dimmed";
    const bool overBefore = button.MouseOver();
    leave();
    EXPECT_EQ(button.MouseOver(), overBefore) << "leaving a disabled button changes nothing";
    button.setEnabled(true);
    EXPECT_EQ(button.PressState(), TPressState::Up);
}

TEST_F(PngButtonTest, LayoutsPlaceThePictureAndCaption) {
    button.setGeometry(0, 0, 60, 60);
    button.SetCaption("Go");
    const int th = button.fontMetrics().size(Qt::TextSingleLine, "Go").height();
    const int tw = button.fontMetrics().size(Qt::TextSingleLine, "Go").width();
    const struct {
        TPNGButtonLayout layout;
        QPoint picture;
    } table[] = {
        {pbsImageAbove, {25, (60 - 14 - th) / 2}},
        {pbsImageBellow, {25, (60 - 14 - th) / 2 + th}},
        {pbsImageLeft, {(60 - 10 - tw) / 2, (60 - 14) / 2}},
        {pbsImageRight, {(60 - 10 - tw) / 2 + tw + 5, (60 - 14) / 2}},
    };
    for (const auto& c : table) {
        button.SetButtonLayout(c.layout);
        EXPECT_EQ(pictureAt(paint()), c.picture) << c.layout;
    }
    // Pressed, picture beside the caption: 2 down only.
    enter();
    press();
    EXPECT_EQ(pictureAt(paint()), table[3].picture + QPoint(0, 2));
    button.SetButtonLayout(pbsImageAbove);
    EXPECT_EQ(pictureAt(paint()), table[0].picture + QPoint(2, 2));
}

// Tab reaches it and Space or Enter presses it; a click leaves the keyboard where it was; an
// assistive tool sees a button with its name and can press it.
TEST(PngButtonKeys, ReachedByTabPressedByKeysAndByAssistiveTools) {
    QWidget window;
    auto* before = new QWidget(&window);
    before->setFocusPolicy(Qt::StrongFocus);
    auto* button = new TPNGButton(&window);
    button->setToolTip("Calculator");
    int clicks = 0;
    button->OnClick = [&](TPNGButton*) { ++clicks; };
    window.show();
    QApplication::setActiveWindow(&window);
    before->setFocus();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(before->hasFocus()) << "a click took the keyboard";
    EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus);
    button->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(clicks, 3);
    QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(button);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->role(), QAccessible::Button);
    EXPECT_EQ(seen->text(QAccessible::Name), "Calculator");
    ASSERT_NE(seen->actionInterface(), nullptr);
    seen->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(clicks, 4);
    button->setEnabled(false);
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(clicks, 4);
}

}  // namespace
}  // namespace nira::ui

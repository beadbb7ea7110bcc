// The default exception display: the full-stop rule, silent aborts, and exceptions that leave
// any handler reach it while the window stays usable.
#include <gtest/gtest.h>
#include <QPushButton>
#include <QTest>

#include "platform/exception_display.hpp"
#include "ui/application.hpp"
#include "ui/png_button.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::RecordingDesktop;

TEST(ExceptionDisplay, AddsAFullStopAfterLettersDigitsColonsAndQuestionMarks) {
    const struct {
        std::string message;
        std::string shown;
    } table[] = {
        {"Port busy", "Port busy."},
        {"Code 7", "Code 7."},
        {"Reason:", "Reason:."},
        {"Really?", "Really?."},
        {"Done.", "Done."},
        {"Stop!", "Stop!"},
        {"(closed)", "(closed)"},
        {"Failed to set data for 'x'", "Failed to set data for 'x'"},
        {"Cannot create file \"a\"", "Cannot create file \"a\""},
        {"trailing ", "trailing "},
        {"", ""},
        {"Помилка читання з порта", "Помилка читання з порта."},
    };
    for (const auto& c : table) {
        EXPECT_EQ(platform::exceptionDisplayText(c.message), c.shown) << c.message;
    }
}

TEST(ExceptionDisplay, HandlersThatThrowAreShownAndAbortsAreNot) {
    RecordingDesktop desktop;
    QWidget window;
    auto* picture = new TPNGButton(&window);
    picture->setGeometry(0, 0, 30, 30);
    int clicks = 0;
    picture->OnClick = [&](TPNGButton*) {
        if (++clicks == 1) {
            throw std::runtime_error("First click fails");
        }
        throw platform::EAbort();
    };
    auto* push = new QPushButton("x", &window);
    push->setGeometry(40, 0, 30, 30);
    QObject::connect(push, &QPushButton::clicked,
                     [] { guarded([] { throw std::runtime_error("Pushed"); }); });
    window.show();

    QTest::mouseClick(picture, Qt::LeftButton);
    QTest::mouseClick(picture, Qt::LeftButton);
    QTest::mouseClick(push, Qt::LeftButton);
    // A failure from the serial watcher comes the same way.
    platform::handleApplicationException(std::make_exception_ptr(std::runtime_error("Watcher")));
    EXPECT_EQ(desktop.messages,
              (std::vector<std::string>{"First click fails.", "Pushed.", "Watcher."}));
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(picture->PressState(), TPressState::Up) << "the button is usable again";
}

}  // namespace
}  // namespace nira::ui

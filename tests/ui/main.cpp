// The window tests run headless, inside the program's own application object.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "ui/application.hpp"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The capture journal of the windows the tests make goes to a folder of the run's own.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    nira::ui::Application application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

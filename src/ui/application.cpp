#include "ui/application.hpp"

#include <QFont>
#include <QKeyEvent>
#include <QWidget>

#include "platform/exception_display.hpp"
#include "platform/main_thread.hpp"
#include "ui/background_work.hpp"
#include "ui/desktop.hpp"

namespace nira::ui {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    // The title goes on the error box by name, not as the display name: the platform would add
    // that to every window caption.
    // The windows' font where it does not exist: the narrowest look-alike at hand.
    QFont::insertSubstitutions(
        "MS Sans Serif", {"DejaVu Sans Condensed", "Liberation Sans", "Arial", "DejaVu Sans"});
    auto& queue = platform::MainThreadQueue::instance();
    queue.bindToCurrentThread();
    // Calls handed over by the serial watcher run from the event loop.
    queue.setWakeHook([this] {
        QMetaObject::invokeMethod(
            this, [] { platform::MainThreadQueue::instance().processPending(); },
            Qt::QueuedConnection);
    });
    timedCalls_.setSingleShot(true);
    connect(&timedCalls_, &QTimer::timeout, this,
            [] { guarded([] { platform::MainThreadQueue::instance().processPending(); }); });
    queue.setTimerHook([this](std::chrono::milliseconds in) { timedCalls_.start(in); });
    platform::setApplicationExceptionHandler(showApplicationException);
}

Application::~Application() {
    platform::MainThreadQueue::instance().setTimerHook({});
    platform::MainThreadQueue::instance().setWakeHook({});
    platform::setApplicationExceptionHandler({});
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        // Qt passes an ignored key on to the parents inside this one call, so the preview
        // sees each key once.
        // A window whose input is held back (an Open or Save running) previews nothing either.
        if (event->type() == QEvent::KeyPress && receiver->isWidgetType() &&
            !inputBlocked(static_cast<QWidget*>(receiver)->window())) {
            if (auto* preview =
                    dynamic_cast<KeyPreview*>(static_cast<QWidget*>(receiver)->window())) {
                guarded([&] { preview->previewKeyDown(static_cast<QKeyEvent*>(event)); });
            }
        }
        return QApplication::notify(receiver, event);
    } catch (...) {
        showApplicationException(std::current_exception());
    }
    return false;
}

void showApplicationException(const std::exception_ptr& error) {
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const platform::EAbort&) {
        return;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown failure";
    }
    desktop().showException(QString::fromStdString(platform::exceptionDisplayText(message)));
}

void guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        showApplicationException(std::current_exception());
    }
}

}  // namespace nira::ui

#include "ui/background_work.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>
#include <exception>
#include <thread>

namespace nira::ui {

namespace {

const QWidget* blockedWindow = nullptr;

// While the work runs, the window takes no input, also before the progress dialog shows (it
// shows late, and what was typed meanwhile would go into a log the work then replaces). The
// dialog is a window of its own and keeps its input: its Cancel.
class InputBlocker final : public QObject {
  public:
    explicit InputBlocker(QWidget* window) : window_(window), before_(blockedWindow) {
        blockedWindow = window;
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputBlocker() override {
        QCoreApplication::instance()->removeEventFilter(this);
        blockedWindow = before_;
    }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (window_ == nullptr || !isInput(event->type())) {
            return false;
        }
        // A shortcut's event goes to the shortcut; the widget it belongs to is its parent.
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr && watched->parent() != nullptr) {
            widget = qobject_cast<QWidget*>(watched->parent());
        }
        return widget != nullptr && widget->window() == window_;
    }

  private:
    static bool isInput(QEvent::Type type) {
        switch (type) {
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::InputMethod:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::Wheel:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::ContextMenu:
            case QEvent::Drop:
                return true;
            default:
                return false;
        }
    }

    QWidget* window_;
    const QWidget* before_;
};

}  // namespace

bool inputBlocked(const QWidget* window) {
    return window != nullptr && window == blockedWindow;
}

bool runInBackground(QWidget* parent, const QString& label, std::size_t total,
                     const std::function<bool(BackgroundJob&)>& work) {
    const InputBlocker blocker(parent != nullptr ? parent->window() : nullptr);
    BackgroundJob job;
    std::atomic<bool> finished{false};
    std::exception_ptr failure;
    bool completed = false;
    QEventLoop waiting;
    std::thread worker([&] {
        try {
            completed = work(job);
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        QMetaObject::invokeMethod(&waiting, &QEventLoop::quit, Qt::QueuedConnection);
    });

    constexpr int kSteps = 1000;
    QProgressDialog progress(label, "Cancel", 0, kSteps, parent);
    if (parent != nullptr) {
        progress.setWindowTitle(parent->window()->windowTitle());
    }
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    QObject::connect(&progress, &QProgressDialog::canceled, [&] { job.cancelled = true; });
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (finished) {
            waiting.quit();
            return;
        }
        if (progress.wasCanceled()) {
            job.cancelled = true;
        }
        const std::size_t done = std::min(job.done.load(), total);
        progress.setValue(total == 0 ? 0 : static_cast<int>(done * kSteps / total));
    });
    look.start(50);
    while (!finished) {
        waiting.exec();
    }
    worker.join();
    look.stop();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return completed;
}

}  // namespace nira::ui

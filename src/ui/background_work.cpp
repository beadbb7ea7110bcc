#include "ui/background_work.hpp"

#include <QEventLoop>
#include <QMetaObject>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>
#include <exception>
#include <thread>

namespace nira::ui {

bool runInBackground(QWidget* parent, const QString& label, std::size_t total,
                     const std::function<bool(BackgroundJob&)>& work) {
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

#pragma once
// Long work (a big log opened or saved) on a thread of its own, so the window goes on answering;
// a progress dialog shows once it takes longer than about 300 ms.

#include <QString>
#include <atomic>
#include <cstddef>
#include <functional>

class QWidget;

namespace nira::ui {

// What the work and the window share: the operator's cancel, and how far the work has come.
struct BackgroundJob {
    std::atomic<bool> cancelled{false};
    std::atomic<std::size_t> done{0};
    bool isCancelled() const { return cancelled.load(std::memory_order_relaxed); }
};

// Runs `work` and waits for it in an event loop. `total` is what `done` counts up to. Returns what
// the work returns: false when it stopped at the operator's cancel. An exception of the work is
// thrown again here.
// The window takes no input meanwhile (its progress dialog does).
bool runInBackground(QWidget* parent, const QString& label, std::size_t total,
                     const std::function<bool(BackgroundJob&)>& work);

// Whether input to `window` is held back now, while work runs beside it.
bool inputBlocked(const QWidget* window);

}  // namespace nira::ui

#pragma once
// The application: the title, the main thread's queue joined to the event loop, key preview,
// and the default exception display where events are dispatched.

#include <QApplication>
#include <QTimer>
#include <exception>
#include <functional>
#include <string>

class QKeyEvent;

namespace nira::ui {

inline constexpr const char* kApplicationTitle = "NIRA-7 UART Analyse";

// A window that sees every key going down in it before the focused control does.
class KeyPreview {
  public:
    virtual ~KeyPreview() = default;
    virtual void previewKeyDown(QKeyEvent* event) = 0;
};

class Application : public QApplication {
  public:
    Application(int& argc, char** argv);
    ~Application() override;

    bool notify(QObject* receiver, QEvent* event) override;

  private:
    // Runs the main thread's timed calls (the look for a lost device) when they fall due.
    QTimer timedCalls_;
};

// Shows an exception with the default exception display; abort-type exceptions are dropped.
void showApplicationException(const std::exception_ptr& error);

// Runs a handler; an exception leaving it goes to the default exception display.
void guarded(const std::function<void()>& handler);

}  // namespace nira::ui

#pragma once
// What the windows ask of the desktop: sounds, launches, coming to the front and the default
// exception display. One seam, so tests record instead of beeping and opening message boxes.

#include <QString>
#include <string>

class QWidget;

namespace nira::ui {

class Desktop {
  public:
    virtual ~Desktop() = default;
    virtual void messageBeep(unsigned type);
    virtual void shellExecute(const std::string& verb, const std::string& target, int show);
    // Raises the application's active window (a modal dialog, else `mainWindow`) when it is
    // visible and enabled; gives it the keyboard only if this program has it already, and asks
    // for attention otherwise.
    virtual void bringToFront(QWidget* mainWindow);
    // The default exception display: a message box with the application title, the stop icon
    // and OK, over the active window.
    virtual void showException(const QString& text);

    // The common file dialogs, modal to `owner`; the chosen path, or empty when cancelled.
    // A filter is "description|pattern".
    virtual QString getSaveFileName(QWidget* owner, const QString& title, const QString& folder,
                                    const QString& filter, const QString& defaultSuffix);
    virtual QString getOpenFileName(QWidget* owner, const QString& title, const QString& lastFile,
                                    const QString& filter);
};

Desktop& desktop();
// Replaces the desktop (tests); null restores the system's.
void setDesktop(Desktop* replacement);

}  // namespace nira::ui

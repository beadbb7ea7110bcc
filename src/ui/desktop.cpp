#include "ui/desktop.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QWidget>
#include <cstdio>

#include "platform/desktop.hpp"
#include "ui/application.hpp"

namespace nira::ui {

namespace {
Desktop gSystem;
Desktop* gCurrent = &gSystem;
}  // namespace

void Desktop::messageBeep(unsigned type) {
    platform::systemMessageBeep(type);
}

void Desktop::shellExecute(const std::string& verb, const std::string& target, int show) {
    platform::systemShellExecute(verb, target, show);
}

void Desktop::bringToFront(QWidget* mainWindow) {
    QWidget* target = QApplication::activeModalWidget();
    if (target == nullptr) {
        target = mainWindow;
    }
    if (target == nullptr || !target->isVisible() || !target->isEnabled()) {
        return;
    }
    // Another window of this program has the keyboard (the transmitters window during a walk
    // test): the operator is with the program already, and their typing stays where it is.
    const QWidget* active = QApplication::activeWindow();
    if (active != nullptr && active != target->window()) {
        return;
    }
    target->raise();
    // The operator may be typing into another program: taking the keyboard from it would hand
    // their keys to this window (a space pressing Stop). The window is made active only when
    // this program has the keyboard already; otherwise it asks for attention (the window
    // manager's urgency hint, a flashing taskbar button on Windows).
    if (QApplication::activeWindow() != nullptr) {
        target->activateWindow();
    } else {
        QApplication::alert(target);
    }
}

void Desktop::showException(const QString& text) {
    // Also where a terminal or the session's journal keeps it, after the box is gone.
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    QMessageBox box(QMessageBox::Critical, kApplicationTitle, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

namespace {
// An unattended run (the end-to-end checks of the installed program) names the file every file
// dialog answers with, so no dialog is shown.
QString presetFileAnswer() {
    return qEnvironmentVariable("NIRA7_FILE_ANSWER");
}

QString qtFilter(const QString& filter) {
    const QStringList parts = filter.split('|');
    return parts.size() == 2 ? parts[0] + " (" + parts[1] + ")" : filter;
}
}  // namespace

QString Desktop::getSaveFileName(QWidget* owner, const QString& title, const QString& folder,
                                 const QString& filter, const QString& defaultSuffix) {
    if (QString preset = presetFileAnswer(); !preset.isEmpty()) {
        return preset;
    }
    QFileDialog dialog(owner, title, folder, qtFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
               ? dialog.selectedFiles().front()
               : QString();
}

QString Desktop::getOpenFileName(QWidget* owner, const QString& title, const QString& lastFile,
                                 const QString& filter) {
    if (QString preset = presetFileAnswer(); !preset.isEmpty()) {
        return preset;
    }
    QFileDialog dialog(owner, title, QString(), qtFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The file need not exist: a missing one is reported when it is opened.
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!lastFile.isEmpty()) {
        dialog.selectFile(lastFile);
    }
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
               ? dialog.selectedFiles().front()
               : QString();
}

Desktop& desktop() {
    return *gCurrent;
}

void setDesktop(Desktop* replacement) {
    gCurrent = replacement != nullptr ? replacement : &gSystem;
}

}  // namespace nira::ui

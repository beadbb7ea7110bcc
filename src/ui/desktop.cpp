#include "ui/desktop.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "platform/desktop.hpp"

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
    target->raise();
    target->activateWindow();
    if (!target->isActiveWindow()) {
        // Window managers may refuse to hand over the focus; then ask for attention.
        QApplication::alert(target);
    }
}

void Desktop::showException(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

Desktop& desktop() {
    return *gCurrent;
}

void setDesktop(Desktop* replacement) {
    gCurrent = replacement != nullptr ? replacement : &gSystem;
}

}  // namespace nira::ui

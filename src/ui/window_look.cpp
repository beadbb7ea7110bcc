#include "ui/window_look.hpp"

#include <QPushButton>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace nira::ui {

QFont windowFont(int pixels, bool bold) {
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void centreOnScreen(QWidget* window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

void pressedByEnter(QPushButton* button) {
    // Outside a dialog Qt takes Enter on a button only from an auto-default one.
    button->setAutoDefault(true);
}

}  // namespace nira::ui

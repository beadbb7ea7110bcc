#include "ui/window_look.hpp"

#include <algorithm>
#include <cmath>

#include <QAccessibleWidget>
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

namespace {
QAccessibleInterface* windowFactory(const QString& className, QObject* object) {
    // Windows with no meta-object of their own are asked as QWidget.
    if (className == QLatin1String("QWidget") && object->isWidgetType() &&
        static_cast<QWidget*>(object)->isWindow()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    return nullptr;
}
}  // namespace

void frameForAssistiveTools() {
    static const bool installed = [] {
        QAccessible::installFactory(windowFactory);
        return true;
    }();
    (void)installed;
}

namespace {
double luminance(const QColor& colour) {
    const auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}
}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor& wanted, const QColor& background) {
    if (contrastRatio(wanted, background) >= kReadableContrast) {
        return wanted;
    }
    const QColor end = luminance(background) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    const QColor from = wanted.toRgb();
    for (int step = 1; step <= 20; ++step) {
        const double t = step / 20.0;
        const QColor mixed =
            QColor::fromRgbF(static_cast<float>(from.redF() + (end.redF() - from.redF()) * t),
                             static_cast<float>(from.greenF() + (end.greenF() - from.greenF()) * t),
                             static_cast<float>(from.blueF() + (end.blueF() - from.blueF()) * t));
        if (contrastRatio(mixed, background) >= kReadableContrast) {
            return mixed;
        }
    }
    return end;
}

}  // namespace nira::ui

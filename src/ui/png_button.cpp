#include "ui/png_button.hpp"

#include <qdrawutil.h>
#include <QAccessibleWidget>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "ui/application.hpp"

namespace nira::ui {

namespace {

int localX(const QMouseEvent* e) {
    return static_cast<int>(e->position().x());
}
int localY(const QMouseEvent* e) {
    return static_cast<int>(e->position().y());
}

// A button to assistive tools: its name, and a press they can make.
class PictureButtonAccessible : public QAccessibleWidget {
  public:
    explicit PictureButtonAccessible(TPNGButton* button)
        : QAccessibleWidget(button, QAccessible::Button) {}
    QString text(QAccessible::Text t) const override {
        const auto* button = static_cast<const TPNGButton*>(widget());
        if (t == QAccessible::Name) {
            return button->accessibleName().isEmpty() ? button->Name() : button->accessibleName();
        }
        if (t == QAccessible::Description) {
            return button->toolTip();
        }
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        if (name == pressAction()) {
            static_cast<TPNGButton*>(widget())->Press();
        }
    }
};

QAccessibleInterface* pictureButtonFactory(const QString& className, QObject* object) {
    // It has no meta-object of its own: asked as a QWidget.
    if (className == QLatin1String("QWidget")) {
        if (auto* button = dynamic_cast<TPNGButton*>(object)) {
            return new PictureButtonAccessible(button);
        }
    }
    return nullptr;
}

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(pictureButtonFactory);
        return true;
    }();
    (void)installed;
}

}  // namespace

TPNGButton::TPNGButton(QWidget* parent) : QWidget(parent) {
    resize(23, 23);
    // Reached with Tab, not taken by a click: the mouse leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
    installAccessibility();
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover, false);
}

void TPNGButton::SetButtonLayout(TPNGButtonLayout value) {
    layout_ = value;
    update();
}

void TPNGButton::SetButtonStyle(TPNGButtonStyle value) {
    style_ = value;
    update();
}

void TPNGButton::SetCaption(const QString& value) {
    caption_ = value;
    update();
}

void TPNGButton::SetImageNormal(const QImage& value) {
    imageNormal_ = value.copy();
    disabledImage_ = MakeDisabledImage(imageNormal_);
    update();
}

void TPNGButton::SetImageDown(const QImage& value) {
    imageDown_ = value.copy();
    update();
}

void TPNGButton::SetImageOver(const QImage& value) {
    imageOver_ = value.copy();
    update();
}

QImage TPNGButton::MakeDisabledImage(const QImage& normal) {
    if (normal.isNull()) {
        return {};
    }
    if (normal.format() == QImage::Format_Indexed8 || normal.format() == QImage::Format_Mono ||
        normal.format() == QImage::Format_MonoLSB) {
        QImage copy = normal.copy();
        auto colours = copy.colorTable();
        for (auto& colour : colours) {
            colour |= 0xFF000000U;
        }
        copy.setColorTable(colours);
        return copy;
    }
    QImage copy = normal.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < copy.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(copy.scanLine(y));
        for (int x = 0; x < copy.width(); ++x) {
            line[x] = qRgba(qRed(line[x]), qGreen(line[x]), qBlue(line[x]), qAlpha(line[x]) / 3);
        }
    }
    return copy;
}

void TPNGButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    const bool pressed = pressState_ == TPressState::Down && mouseOver_;
    const int offset = pressed ? 2 : 0;

    const QImage* picture = &imageNormal_;
    if (pressed && !imageDown_.isNull()) {
        picture = &imageDown_;
    } else if (mouseOver_ && !imageOver_.isNull() && isEnabled()) {
        picture = &imageOver_;
    } else if (pressState_ == TPressState::Disabled && !disabledImage_.isNull()) {
        picture = &disabledImage_;
    }

    const int w = width();
    const int h = height();
    const int pw = picture->width();
    int ph = picture->height();
    int tw = 0;
    int th = 0;
    if (!caption_.isEmpty()) {
        const QSize extent = painter.fontMetrics().size(Qt::TextSingleLine, caption_);
        tw = extent.width();
        th = extent.height();
        ph += 4;
    }
    int pictureX = (w - pw) / 2 + offset;
    int captionX = (w - tw) / 2 + offset;
    int captionY = (h - th) / 2;
    int pictureY = (h - ph) / 2;
    switch (layout_) {
        case pbsImageAbove: {
            const int c = (h - ph - th) / 2;
            pictureY = c;
            captionY = c + ph;
            break;
        }
        case pbsImageBellow: {
            const int c = (h - ph - th) / 2;
            captionY = c;
            pictureY = c + th;
            break;
        }
        case pbsImageLeft: {
            const int c = (w - pw - tw) / 2;
            pictureX = c;
            captionX = c + pw + 5;
            break;
        }
        case pbsImageRight: {
            const int c = (w - pw - tw) / 2;
            captionX = c;
            pictureX = c + tw + 5;
            break;
        }
    }
    pictureY += offset;
    captionY += offset;

    const QRect client = rect();
    const QPalette& pal = palette();
    const auto frame = [&](const QColor& topLeft, const QColor& bottomRight) {
        painter.setPen(topLeft);
        painter.drawLine(0, 0, w - 1, 0);
        painter.drawLine(0, 0, 0, h - 1);
        painter.setPen(bottomRight);
        painter.drawLine(0, h - 1, w - 1, h - 1);
        painter.drawLine(w - 1, 0, w - 1, h - 1);
    };
    if (style_ == pbsFlat) {
        if (pressState_ != TPressState::Disabled) {
            if (pressed) {
                frame(pal.color(QPalette::Dark), pal.color(QPalette::Light));
            } else if (mouseOver_ || pressState_ == TPressState::Down) {
                frame(pal.color(QPalette::Light), pal.color(QPalette::Dark));
            }
        }
    } else if (style_ == pbsDefault) {
        qDrawShadePanel(&painter, client, pal, pressed, 1, &pal.button());
    }

    if (!picture->isNull()) {
        painter.drawImage(pictureX, pictureY, *picture);
    }
    if (!caption_.isEmpty()) {
        painter.setPen(pressState_ == TPressState::Disabled
                           ? pal.color(QPalette::Disabled, QPalette::WindowText)
                           : pal.color(QPalette::WindowText));
        painter.setClipRect(client);
        painter.drawText(QRect(captionX, captionY, tw, th), Qt::AlignLeft | Qt::AlignTop, caption_);
    }
    if (hasFocus()) {
        painter.setClipping(false);
        painter.setPen(QPen(pal.color(QPalette::WindowText), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(client.adjusted(2, 2, -3, -3));
    }
}

void TPNGButton::Press() {
    if (isEnabled() && OnClick) {
        guarded([&] { OnClick(this); });
    }
}

void TPNGButton::keyPressEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat() &&
        (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return ||
         event->key() == Qt::Key_Enter)) {
        Press();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TPNGButton::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void TPNGButton::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void TPNGButton::mousePressEvent(QMouseEvent* event) {
    // Only a single press leads to a click; the second press of a double click does not.
    clickPending_ = event->button() == Qt::LeftButton;
    pressDown(event);
}

void TPNGButton::pressDown(QMouseEvent* event) {
    if (pressState_ == TPressState::Up && event->button() == Qt::LeftButton) {
        pressState_ = TPressState::Down;
        update();
    }
    if (OnMouseDown) {
        guarded([&] {
            OnMouseDown(this, event->button(), event->modifiers(), localX(event), localY(event));
        });
    }
}

void TPNGButton::mouseReleaseEvent(QMouseEvent* event) {
    // A click is the left button released over the control, reported before the release.
    if (event->button() == Qt::LeftButton && clickPending_ &&
        rect().contains(event->position().toPoint())) {
        clickPending_ = false;
        if (pressState_ == TPressState::Down) {
            pressState_ = TPressState::Up;
            update();
        }
        if (OnClick) {
            guarded([&] { OnClick(this); });
        }
    }
    if (event->button() == Qt::LeftButton) {
        clickPending_ = false;
    }
    if (pressState_ == TPressState::Down) {
        pressState_ = TPressState::Up;
        update();
    }
    if (OnMouseUp) {
        guarded([&] {
            OnMouseUp(this, event->button(), event->modifiers(), localX(event), localY(event));
        });
    }
}

void TPNGButton::mouseMoveEvent(QMouseEvent* event) {
    const int x = localX(event);
    const int y = localY(event);
    const bool inside = x >= 0 && x < width() && y >= 0 && y < height();
    // While a mouse button is held the pointer belongs to this control and the windowing system
    // reports no leaving or entering: they are told from the position.
    if (event->buttons() != Qt::NoButton) {
        if (!inside && !leftWhileHeld_ && mouseOver_) {
            leftWhileHeld_ = true;
            leaveEvent(nullptr);
        } else if (inside && leftWhileHeld_) {
            leftWhileHeld_ = false;
            enterEvent(nullptr);
        }
    }
    if (inside && !mouseOver_ && pressState_ != TPressState::Down) {
        mouseOver_ = true;
        update();
    }
    if (OnMouseMove) {
        guarded([&] { OnMouseMove(this, event->modifiers(), x, y); });
    }
}

void TPNGButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click: the double click, then a press that clicks nothing.
    if (event->button() == Qt::LeftButton && OnDblClick) {
        guarded([&] { OnDblClick(this); });
    }
    clickPending_ = false;
    pressDown(event);
}

void TPNGButton::enterEvent(QEnterEvent*) {
    if (!isEnabled()) {
        return;
    }
    if (OnMouseEnter) {
        guarded([&] { OnMouseEnter(this); });
    }
    mouseOver_ = true;
    update();
}

void TPNGButton::leaveEvent(QEvent* event) {
    if (event != nullptr && leftWhileHeld_) {
        leftWhileHeld_ = false;  // told already, when the held pointer moved out
        return;
    }
    if (!isEnabled()) {
        return;
    }
    if (OnMouseExit) {
        guarded([&] { OnMouseExit(this); });
    }
    mouseOver_ = false;
    update();
}

void TPNGButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) {
            disabledImage_ = MakeDisabledImage(imageNormal_);
        }
        pressState_ = isEnabled() ? TPressState::Up : TPressState::Disabled;
        update();
    }
    QWidget::changeEvent(event);
}

}  // namespace nira::ui

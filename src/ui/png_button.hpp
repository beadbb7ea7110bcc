#pragma once
// The picture button: a picture and an optional caption, a frame and a 2-pixel shift that follow
// the mouse, clicks reported. Tab reaches it and Space or Enter presses it, with a focus frame, and
// assistive tools see a button named by its caption or hint that they can press.

#include <QImage>
#include <QWidget>
#include <functional>

namespace nira::ui {

enum TPNGButtonLayout {
    pbsImageAbove = 0,
    pbsImageBellow = 1,
    pbsImageLeft = 2,
    pbsImageRight = 3
};
enum TPNGButtonStyle { pbsDefault = 0, pbsFlat = 1, pbsNoFrame = 2 };
enum class TPressState { Up, Down, Disabled };

class TPNGButton : public QWidget {
  public:
    using TNotifyEvent = std::function<void(TPNGButton* sender)>;
    using TMouseEvent = std::function<void(TPNGButton* sender, Qt::MouseButton button,
                                           Qt::KeyboardModifiers shift, int x, int y)>;
    using TMouseMoveEvent =
        std::function<void(TPNGButton* sender, Qt::KeyboardModifiers shift, int x, int y)>;

    explicit TPNGButton(QWidget* parent = nullptr);

    TPNGButtonLayout ButtonLayout() const { return layout_; }
    void SetButtonLayout(TPNGButtonLayout value);
    TPNGButtonStyle ButtonStyle() const { return style_; }
    void SetButtonStyle(TPNGButtonStyle value);
    const QString& Caption() const { return caption_; }
    void SetCaption(const QString& value);
    const QImage& ImageNormal() const { return imageNormal_; }
    void SetImageNormal(const QImage& value);
    const QImage& ImageDown() const { return imageDown_; }
    void SetImageDown(const QImage& value);
    const QImage& ImageOver() const { return imageOver_; }
    void SetImageOver(const QImage& value);
    // Font, Visible, Enabled, Hint (tool tip) and Cursor are the widget's own.

    bool MouseOver() const { return mouseOver_; }
    TPressState PressState() const { return pressState_; }
    const QImage& DisabledImage() const { return disabledImage_; }

    // A copy of `normal` at a third of its opacity; a palette picture made opaque instead.
    static QImage MakeDisabledImage(const QImage& normal);
    // What it is called: its caption, else its hint.
    QString Name() const { return caption_.isEmpty() ? toolTip() : caption_; }
    // A press as a click: from the keyboard or an assistive tool.
    void Press();

    TMouseEvent OnMouseDown;
    TNotifyEvent OnClick;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TNotifyEvent OnDblClick;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseExit;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void pressDown(QMouseEvent* event);
    TPNGButtonLayout layout_ = pbsImageAbove;
    TPNGButtonStyle style_ = pbsDefault;
    QString caption_;
    QImage imageNormal_;
    QImage imageDown_;
    QImage imageOver_;
    QImage disabledImage_;
    bool mouseOver_ = false;
    bool clickPending_ = false;   // a single left press that a release over the control clicks
    bool leftWhileHeld_ = false;  // the held pointer moved out; the leave was told then
    TPressState pressState_ = TPressState::Up;
};

}  // namespace nira::ui

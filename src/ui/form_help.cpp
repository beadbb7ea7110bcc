#include "ui/form_help.hpp"

#include <QKeyEvent>
#include <QPushButton>

#include "platform/desktop.hpp"
#include "ui/desktop.hpp"
#include "ui/window_look.hpp"

namespace nira::ui {

namespace {

QLabel* label(QWidget* parent, const char* name, const QString& text, QRect where) {
    auto* made = new QLabel(text, parent);
    made->setObjectName(name);
    made->setGeometry(where);
    return made;
}

}  // namespace

TsWebLabel::TsWebLabel(QWidget* parent)
    : QLabel(parent),
      HoverFont(windowFont(11)),
      NormalFont(windowFont(11)),
      ShowMode(platform::kShowDefault) {
    setCursor(Qt::PointingHandCursor);
}

void TsWebLabel::mousePressEvent(QMouseEvent* event) {
    QLabel::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && !URL.empty()) {
        desktop().shellExecute("open", URL, ShowMode);
    }
}

void TsWebLabel::enterEvent(QEnterEvent* event) {
    if (isEnabled()) {
        setFont(HoverFont);
    }
    QLabel::enterEvent(event);
}

void TsWebLabel::leaveEvent(QEvent* event) {
    if (isEnabled()) {
        setFont(NormalFont);
    }
    QLabel::leaveEvent(event);
}

TFormHelp::TFormHelp(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
    frameForAssistiveTools();
    setObjectName("FormHelp");
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(218, 222);
    setFont(windowFont(11));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    // Closing the main window ends the program even while this one is open.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* panel = label(this, "sPanel1", "Thanks for using!", QRect(9, 8, 200, 73));
    panel->setFont(windowFont(12, true));
    panel->setAlignment(Qt::AlignCenter);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    label(this, "Label2", "Syte:", QRect(92, 90, 24, 13));

    auto* web = new TsWebLabel(this);
    web->setObjectName("sWebLabel1");
    web->setGeometry(58, 106, 91, 13);
    web->setText(kMakerWebAddress);
    web->URL = kMakerWebAddress;

    label(this, "Label1", QString("Programmer: ") + kProgrammerName, QRect(42, 127, 139, 13));

    auto* mail = new TsWebLabel(this);
    mail->setObjectName("sWebLabel2");
    mail->setGeometry(56, 143, 99, 13);
    mail->setText(kProgrammerEmail);
    mail->URL = std::string("mailto:") + kProgrammerEmail;

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("sButton1");
    ok->setGeometry(72, 176, 73, 33);
    pressedByEnter(ok);
    connect(ok, &QPushButton::clicked, this, [this] { guarded([this] { sButton1Click(); }); });
    ok->setFocus();
}

void TFormHelp::ShowAbout() {
    if (!shownBefore_) {
        shownBefore_ = true;
        centreOnScreen(this);
    }
    show();
    raise();
    activateWindow();
}

void TFormHelp::sButton1Click() {
    desktop().messageBeep(platform::kBeepAsterisk);
    close();
}

void TFormHelp::FormKeyDown(int key, Qt::KeyboardModifiers) {
    if (key == Qt::Key_F1) {
        close();
    }
}

void TFormHelp::previewKeyDown(QKeyEvent* event) {
    FormKeyDown(event->key(), event->modifiers());
}

}  // namespace nira::ui

#include "ui/main_form.hpp"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMoveEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "capture/local_time.hpp"
#include "capture/receiver_handler.hpp"
#include "platform/desktop.hpp"
#include "platform/port_names.hpp"
#include "receiver/log_text.hpp"
#include "receiver/time_stamp.hpp"
#include "ui/desktop.hpp"
#include "ui/form_help.hpp"
#include "ui/glyph_table.hpp"
#include "ui/log_codec.hpp"
#include "ui/log_view.hpp"
#include "ui/log_view_accessible.hpp"
#include "ui/pictures.hpp"
#include "ui/png_button.hpp"
#include "ui/settings.hpp"
#include "ui/transmitters_window.hpp"
#include "ui/window_look.hpp"

namespace nira::ui {

namespace {

constexpr const char* kCaption = "NIRA-7: PowerCode CodeSecure Analyse (v.0.3)";
constexpr int kClientWidth = 534;
constexpr int kClientHeight = 470;
// The scroll range reaches the right edge of the "Last openly:" box and the bottom of the web
// site button.
constexpr int kScrollWidth = 745;
constexpr int kScrollHeight = 611;
constexpr int kDefaultSpeedIndex = 5;  // "4800"

// A label with a click: the left button released over it.
class ClickLabel : public QLabel {
  public:
    ClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}
    std::function<void()> onClick;

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        QLabel::mousePressEvent(event);
        clickPending_ = event->button() == Qt::LeftButton;
    }
    // The second press of a double click is no new click.
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        QLabel::mouseDoubleClickEvent(event);
        clickPending_ = false;
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        QLabel::mouseReleaseEvent(event);
        if (event->button() != Qt::LeftButton) {
            return;
        }
        const bool click = clickPending_ && rect().contains(event->position().toPoint());
        clickPending_ = false;
        if (click && onClick) {
            guarded(onClick);
        }
    }

  private:
    bool clickPending_ = false;
};

// The port list asks for the ports anew each time it drops down, so an adapter plugged in after
// start can be chosen without a restart.
class PortList : public QComboBox {
  public:
    explicit PortList(QWidget* parent) : QComboBox(parent) {}
    std::function<void()> aboutToDrop;

    void showPopup() override {
        if (aboutToDrop) {
            guarded(aboutToDrop);
        }
        QComboBox::showPopup();
    }
};

// A one-line label drawn straight from the font's glyphs (a plain label shapes its text for its
// size and again for each paint): the last event's labels change with every message. It paints
// what its box shows beneath it, kept from the first paint, so a new text repaints the label
// alone and not the box and the window behind it. Text with a character the font lacks is drawn
// the ordinary way.
class EventLabel : public QLabel {
  public:
    EventLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
        setTextFormat(Qt::PlainText);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    QSize sizeHint() const override {
        const QMargins margins = contentsMargins();
        const QSize text(static_cast<int>(std::ceil(glyphs().width(this->text()))),
                         fontMetrics().height());
        return text.grownBy(margins);
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        if (beneath_.size() != size() * devicePixelRatio()) {
            beneath_ = boxBeneath();
        }
        QPainter painter(this);
        painter.drawPixmap(0, 0, beneath_);
        const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                           : isActiveWindow() ? QPalette::Active
                                                              : QPalette::Inactive;
        painter.setPen(palette().color(group, foregroundRole()));
        const QRect area = contentsRect();
        const QFontMetrics metrics = fontMetrics();
        const int baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
        if (!glyphs().draw(painter, QPointF(area.left(), baseline), text())) {
            painter.end();
            QLabel::paintEvent(event);
        }
    }
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange) {
            glyphs_.reset();
        }
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
            beneath_ = QPixmap();
        }
    }
    void moveEvent(QMoveEvent* event) override {
        QLabel::moveEvent(event);
        beneath_ = QPixmap();
    }

  private:
    // The box's own painting where this label is, without its other controls.
    QPixmap boxBeneath() const {
        QPixmap made(size() * devicePixelRatio());
        made.setDevicePixelRatio(devicePixelRatio());
        made.fill(palette().color(QPalette::Window));
        if (QWidget* box = parentWidget()) {
            box->render(&made, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
        }
        return made;
    }
    const GlyphTable& glyphs() const {
        if (!glyphs_) {
            glyphs_ = std::make_unique<GlyphTable>(font());
        }
        return *glyphs_;
    }
    mutable std::unique_ptr<GlyphTable> glyphs_;
    QPixmap beneath_;
};

template <typename T>
T* placed(T* widget, const char* name, QRect where) {
    widget->setObjectName(name);
    widget->setGeometry(where);
    return widget;
}

// Labels grow with their text, as the window's labels size themselves.
void setLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
}

// A colour for the enabled look only; disabled controls keep the grey text.
void paintText(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Active, role, colour);
    pal.setColor(QPalette::Inactive, role, colour);
    widget->setPalette(pal);
}

// A flat picture button with its picture above, a hand cursor and a hint.
TPNGButton* pictureButton(QWidget* parent, const char* name, QRect where, const QImage& image,
                          const QString& hint) {
    auto* made = placed(new TPNGButton(parent), name, where);
    made->SetButtonStyle(pbsFlat);
    made->SetButtonLayout(pbsImageAbove);
    made->SetImageNormal(image);
    made->setCursor(Qt::PointingHandCursor);
    made->setToolTip(hint);
    return made;
}

}  // namespace

// The settings key of the running program.
std::string runningSettingsKey() {
#ifdef _WIN32
    constexpr bool kWindowsNames = true;
#else
    constexpr bool kWindowsNames = false;
#endif
    return settingsKeyPath(
        QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString(), kWindowsNames);
}

namespace {

// The key's place on the keyboard, from the X/Wayland key code (the kernel's code + 8), as a
// Windows virtual-key code: the digit row and the letters of a US keyboard. 0 for other keys.
int virtualKeyOfKeyCode(quint32 code) {
    if (code >= 10 && code <= 18) {
        return '1' + static_cast<int>(code - 10);
    }
    if (code == 19) {
        return '0';
    }
    static constexpr struct {
        quint32 first;
        const char* letters;
    } kRows[] = {{24, "QWERTYUIOP"}, {38, "ASDFGHJKL"}, {52, "ZXCVBNM"}};
    for (const auto& row : kRows) {
        const std::string_view letters(row.letters);
        if (code >= row.first && code < row.first + letters.size()) {
            return letters[code - row.first];
        }
    }
    return 0;
}

}  // namespace

int virtualKeyOf(const QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Escape) {
        return kVkEscape;
    }
    if (key == Qt::Key_F1) {
        return kVkF1;
    }
    const bool keypad = (event->modifiers() & Qt::KeypadModifier) != 0;
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return (keypad ? kVkNumpad0 : kVk0) + (key - Qt::Key_0);
    }
    if (keypad) {
        return 0;
    }
    // Windows already names the key by its place (VK_1 for Shift+1, VK_S on a Cyrillic layout).
    if (QGuiApplication::platformName() == "windows") {
        const auto vk = static_cast<int>(event->nativeVirtualKey());
        return (vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z') ? vk : 0;
    }
    // A letter is the letter its key shows on a Latin layout; otherwise (Shift's symbols on the
    // digit row, a Cyrillic layout) the key's place on the keyboard tells.
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        return 'A' + (key - Qt::Key_A);
    }
    return virtualKeyOfKeyCode(event->nativeScanCode());
}

TMainForm::TMainForm(platform::SerialApi& serialApi, platform::RegistryApi& registry)
    : BComPort1(serialApi), registry_(registry), settingsKey_(runningSettingsKey()) {
    setUpWindow();
    buildPortGroup();
    buildLastEventGroup();
    buildLog();
    buildLowerStrip();
    setUpTabOrder();
    setUpSerialComponent();
    transmittersWindow_ = new TransmittersWindow(transmitters_, this);
    transmittersWindow_->listUsed = [this](const QString& path) {
        saveTransmitterList(registry_, settingsKey_, path.toStdString());
    };
    SetJournalling(true);
    built_ = true;
    paintCaptions();
    // Centred on the screen when first shown.
    centreOnScreen(this);
    guarded([this] { FormCreate(); });
}

// The window itself and the scrolled client area all controls sit on.
void TMainForm::setUpWindow() {
    frameForAssistiveTools();
    setObjectName("MainForm");
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(windowFont(11));
    setWindowIcon(QPixmap::fromImage(pictures::radarIcon()));
    setAttribute(Qt::WA_QuitOnClose, true);
    paintWindow();
    setAutoFillBackground(true);

    scroller_ = new QScrollArea(this);
    scroller_->setObjectName("scroller");
    scroller_->setGeometry(0, 0, kClientWidth, kClientHeight);
    scroller_->setFrameShape(QFrame::NoFrame);
    scroller_->setFocusPolicy(Qt::NoFocus);
    client_ = new QWidget;
    client_->setObjectName("client");
    client_->setFixedSize(kScrollWidth, kScrollHeight);
    scroller_->setWidget(client_);
}

// Port, speed, the four push buttons and the maker's picture button.
void TMainForm::buildPortGroup() {
    auto* box4 = placed(new QGroupBox(client_), "sGroupBox4", QRect(8, 0, 521, 81));
    auto* label1 = placed(new ClickLabel("Port:", box4), "Label1", QRect(29, 21, 22, 13));
    label1->setToolTip("Device manager");
    label1->onClick = [this] { Label1Click(); };
    auto* portList = placed(new PortList(box4), "cbPort", QRect(65, 17, 79, 21));
    portList->aboutToDrop = [this] { RefreshPorts(); };
    cbPort_ = portList;
    connect(cbPort_, &QComboBox::activated, this, [this] { guarded([this] { cbPortChange(); }); });
    label1->setBuddy(cbPort_);
    cbPort_->setAccessibleName("Port");
    auto* label2 = placed(new ClickLabel("Rate:", box4), "Label2", QRect(29, 53, 26, 13));
    label2->setToolTip("Device Manager");
    label2->onClick = [this] { Label1Click(); };
    for (QLabel* sized : {static_cast<QLabel*>(label1), static_cast<QLabel*>(label2)}) {
        setLabelText(sized, sized->text());
    }
    cbBaudRate_ = placed(new QComboBox(box4), "cbBaudRate", QRect(64, 50, 81, 21));
    label2->setBuddy(cbBaudRate_);
    cbBaudRate_->setAccessibleName("Rate");
    // The component's rate table, in its order: the item index is the rate's ordinal.
    for (const auto rate : serial::kBaudRates) {
        cbBaudRate_->addItem(QString::number(rate));
    }
    const auto button = [&](const char* name, const char* text, QRect where, bool highlighted,
                            void (TMainForm::*handler)()) {
        auto* made = placed(new QPushButton(text, box4), name, where);
        pressedByEnter(made);
        made->setProperty("highlighted", highlighted);
        connect(made, &QPushButton::clicked, this,
                [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
        return made;
    };
    buttonOpen_ =
        button("ButtonOpen", "Open", QRect(176, 16, 73, 25), true, &TMainForm::ButtonOpenClick);
    buttonSave_ =
        button("ButtonSave", "Save", QRect(176, 48, 73, 25), false, &TMainForm::ButtonSaveClick);
    buttonStart_ =
        button("ButtonStart", "Start", QRect(272, 16, 73, 25), true, &TMainForm::ButtonStartClick);
    buttonStop_ =
        button("ButtonStop", "Stop", QRect(272, 48, 73, 25), true, &TMainForm::ButtonStopClick);
    buttonStop_->setEnabled(false);

    pictureButton(box4, "PNGButton6", QRect(384, 8, 97, 73), pictures::makerLogo(), "About")
        ->OnClick = [this](TPNGButton*) { PNGButton6Click(); };

    // The transmitters window's own button, in the room between Stop and the maker's picture.
    buttonTransmitters_ =
        placed(new QPushButton(box4), "ButtonTransmitters", QRect(349, 16, 31, 57));
    buttonTransmitters_->setIcon(QIcon(QPixmap::fromImage(pictures::transmitterList())));
    buttonTransmitters_->setIconSize(QSize(20, 20));
    buttonTransmitters_->setToolTip(
        "Transmitters heard, the site's list and the walk test (Ctrl+T)");
    buttonTransmitters_->setAccessibleName("Transmitters");
    pressedByEnter(buttonTransmitters_);
    connect(buttonTransmitters_, &QPushButton::clicked, this,
            [this] { guarded([this] { ShowTransmitters(); }); });
}

// The last event: its caption with the time, the fields and the Smart pins.
void TMainForm::buildLastEventGroup() {
    groupLastEvent_ =
        placed(new QGroupBox(QString(receiver::kInitialLastEventCaption.data()), client_),
               "sGroupBox_LastEv", QRect(8, 88, 521, 57));
    labelEvent_ =
        placed(new EventLabel(QString(receiver::kInitialFieldLabel.data()), groupLastEvent_),
               "sLabel_LabEvent", QRect(16, 19, 270, 13));
    labelSmart_ =
        placed(new EventLabel(QString(receiver::kInitialSmartLabel.data()), groupLastEvent_),
               "sLabel_Smart", QRect(16, 36, 403, 13));
    for (QLabel* black : {labelEvent_, labelSmart_}) {
        setLabelText(black, black->text());
    }
}

void TMainForm::buildLog() {
    auto* box1 = placed(new QGroupBox("Data:", client_), "sGroupBox1", QRect(8, 144, 521, 321));
    memoOpis_ = placed(new LogView(box1), "sMemoOpis", QRect(8, 16, 505, 297));
    memoOpis_->setToolTip("Для очистки - ESC");
    memoOpis_->setFont(windowFont(15));
    memoOpis_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoOpis_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette memoPalette = memoOpis_->palette();
    memoPalette.setColor(QPalette::Base, Qt::white);
    memoPalette.setColor(QPalette::Text, Qt::black);
    memoOpis_->setPalette(memoPalette);
    connect(memoOpis_, &LogView::textChanged, this,
            [this] { guarded([this] { sMemoOpisChange(); }); });
    // Where the link stands, on the group's top edge right of its caption: no control moves.
    labelLink_ = placed(new QLabel(box1), "LinkState", QRect(96, 0, 417, 16));
    labelLink_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    labelLink_->setAutoFillBackground(true);
    labelLink_->setAccessibleName("Link state");
    showLinkState("Idle");
    lossBox_ =
        new QMessageBox(QMessageBox::Warning, kApplicationTitle, QString(), QMessageBox::Ok, this);
    lossBox_->setObjectName("LossBox");
}

// The lower strip, seen by scrolling: launch buttons, the last opened file, the settings memo.
void TMainForm::buildLowerStrip() {
    pictureButton(client_, "PNGButtonCalc", QRect(408, 568, 33, 41), pictures::calculator(),
                  "Calculator")
        ->OnClick = [this](TPNGButton*) { PNGButtonCalcClick(); };
    pictureButton(client_, "PNGButton3", QRect(488, 568, 41, 41), pictures::lifebuoy(),
                  "Additionally");
    pictureButton(client_, "PNGButton1", QRect(576, 570, 41, 41), pictures::house(),
                  "Сайт \"Дельтакор\"")
        ->OnClick = [this](TPNGButton*) { PNGButton1Click(); };
    auto* box2 =
        placed(new QGroupBox("Last openly:", client_), "sGroupBox2", QRect(400, 480, 345, 73));
    labelDirect_ = new QLabel("Dir:", box2);
    labelDirect_->setObjectName("sLabelDirect");
    labelDirect_->move(8, 24);
    labelFileName_ = new QLabel("File:", box2);
    labelFileName_->setObjectName("sLabelFileName");
    labelFileName_->move(8, 48);
    for (QLabel* sized : {labelDirect_, labelFileName_}) {
        sized->adjustSize();
    }

    // The settings memo: never shown, outside the scroll range. A window of its own (never
    // shown either), so assistive tools list no empty editable text in the window.
    memoTunes_ = placed(new QPlainTextEdit(this), "MemoTunes", QRect(0, 624, 361, 17));
    memoTunes_->setWindowFlags(Qt::Window);
    memoTunes_->hide();
}

void TMainForm::setUpTabOrder() {
    setTabOrder(memoOpis_, cbPort_);
    setTabOrder(cbPort_, buttonOpen_);
    setTabOrder(buttonOpen_, buttonSave_);
    setTabOrder(buttonSave_, buttonStart_);
    setTabOrder(buttonStart_, buttonStop_);
    setTabOrder(buttonStop_, cbBaudRate_);
    memoOpis_->setFocus();
}

// The window's serial component, as the window describes it.
void TMainForm::setUpSerialComponent() {
    BComPort1.SetPort("COM2");
    BComPort1.SetBaudRate(serial::br9600);
    BComPort1.SetTimeouts(capture::receiverTimeouts());
    // A knocked cable or a hub reset must not end an unattended capture.
    BComPort1.SetResumeAfterLoss(true);
    BComPort1.OnRxChar = [this](serial::TBComPort* sender, std::int32_t count) {
        BComPort1RxChar(sender, count);
    };
    BComPort1.OnWatcherFailure = [this](serial::TBComPort*, const std::exception_ptr& error) {
        linkFailed(error);
    };
    BComPort1.OnDeviceBack = [this](serial::TBComPort*) { deviceBack(); };
}

QString TMainForm::listeningText() const {
    return "Listening on " + QString::fromStdString(BComPort1.NameInUse()) + " at " +
           QString::number(serial::kBaudRates[BComPort1.BaudRate()]) + " bit/s";
}

void TMainForm::showLinkState(const QString& text) {
    labelLink_->setText(text);
    // Told as it changes: a screen reader hears a loss and a return alike.
    QAccessibleEvent named(labelLink_, QAccessible::NameChanged);
    LogViewAccessible::tell(named);
    QAccessibleEvent alert(labelLink_, QAccessible::Alert);
    LogViewAccessible::tell(alert);
}

void TMainForm::linkFailed(const std::exception_ptr& error) {
    if (!BComPort1.DeviceLost()) {
        showLinkState("Stopped by a failure; press Stop");
        showApplicationException(error);
        return;
    }
    std::string text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = e.what();
    }
    const QString now = QTime::currentTime().toString("HH:mm:ss");
    const QString port = QString::fromStdString(BComPort1.Port());
    showLinkState(BComPort1.AwaitingReturn() ? "Waiting for " + port + " since " + now
                                             : port + " is gone since " + now + "; press Stop");
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), text.c_str());
    // One box, not one a loss: a later loss (or what a look found) is told in it again.
    lossBox_->setText(QString::fromStdString(text));
    if (!lossBox_->isVisible()) {
        lossBox_->open();
    }
    QApplication::alert(this);
}

void TMainForm::deviceBack() {
    const QString name = QString::fromStdString(BComPort1.NameInUse());
    // The Port field shows the name listened to: under its by-id name when the chosen one is
    // gone.
    if (cbPort_->currentText() != name) {
        const QSignalBlocker quiet(cbPort_);
        int index = cbPort_->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index < 0) {
            cbPort_->addItem(name);
            index = cbPort_->count() - 1;
        }
        cbPort_->setCurrentIndex(index);
    }
    showLinkState("Back at " + QTime::currentTime().toString("HH:mm:ss") + ": " + listeningText());
    if (lossBox_->isVisible()) {
        lossBox_->done(QMessageBox::Ok);
    }
}

TMainForm::~TMainForm() {
    // Before the table it shows goes: as a child it would outlive this object's members.
    delete transmittersWindow_;
}

void TMainForm::FormCreate() {
    std::vector<std::string> ports;
    serial::ListSerialPorts(ports, registry_);
    fillPorts(ports);
    cbPort_->setCurrentIndex(0);
    cbBaudRate_->setCurrentIndex(kDefaultSpeedIndex);
    restoreChoices();
    // After the command line had its say (a list given there is opened instead).
    QTimer::singleShot(0, this, [this] { guarded([this] { reopenTransmitterList(); }); });
}

void TMainForm::reopenTransmitterList() {
    if (listGiven_) {
        return;
    }
    const std::string path = restoreTransmitterList(registry_, settingsKey_);
    if (!path.empty()) {
        transmittersWindow_->OpenList(QString::fromStdString(path));
    }
}

void TMainForm::ShowTransmitters() {
    transmittersWindow_->ShowTransmitters();
}

void TMainForm::OpenTransmitterList(const QString& path) {
    listGiven_ = true;
    guarded([&] { transmittersWindow_->OpenList(path); });
}

void TMainForm::fillPorts(const std::vector<std::string>& ports) {
    const QSignalBlocker quiet(cbPort_);
    cbPort_->clear();
    for (const auto& port : ports) {
        cbPort_->addItem(QString::fromStdString(port));
        const std::string stable = platform::stablePortName(port);
        if (!stable.empty()) {
            cbPort_->setItemData(cbPort_->count() - 1, QString::fromStdString(stable),
                                 Qt::ToolTipRole);
        }
    }
}

void TMainForm::RefreshPorts() {
    if (!cbPort_->isEnabled()) {
        return;
    }
    std::vector<std::string> ports;
    serial::ListSerialPorts(ports, registry_);  // a failure leaves the list as it is
    const QString chosen = cbPort_->currentText();
    const bool anyChosen = cbPort_->currentIndex() >= 0;
    fillPorts(ports);
    const int index = cbPort_->findText(chosen, Qt::MatchExactly | Qt::MatchCaseSensitive);
    const QSignalBlocker quiet(cbPort_);
    cbPort_->setCurrentIndex(index >= 0 ? index : (anyChosen && !ports.empty() ? 0 : -1));
}

void TMainForm::ChoosePort(const QString& name) {
    guarded([&] {
        const int index = cbPort_->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index < 0) {
            throw std::runtime_error("No port \"" + name.toStdString() +
                                     "\" is in the Port list; choose one there");
        }
        const QSignalBlocker quiet(cbPort_);
        cbPort_->setCurrentIndex(index);
    });
}

void TMainForm::previewKeyDown(QKeyEvent* event) {
    FormKeyDown(virtualKeyOf(event), event->modifiers());
}

void TMainForm::FormKeyDown(int key, Qt::KeyboardModifiers shift) {
    const bool ctrl = (shift & Qt::ControlModifier) != 0;
    // A shortcut acts only where its button would: Start while idle, Stop while listening.
    const auto click = [](QPushButton* button, void (TMainForm::*handler)(), TMainForm* form) {
        if (button->isEnabled()) {
            (form->*handler)();
        }
    };
    if (key == kVkEscape) {
        // Emptied in one step and reported to nobody: the folder and file labels stay.
        const QSignalBlocker quiet(memoOpis_);
        memoOpis_->clear();
    }
    if (key == kVkF1) {
        if (formHelp_ != nullptr) {
            formHelp_->ShowAbout();
        }
    }
    if (key == kVkNumpad1 && ctrl) {
        click(buttonStart_, &TMainForm::ButtonStartClick, this);
    }
    if (key == kVkNumpad0 && ctrl) {
        click(buttonStop_, &TMainForm::ButtonStopClick, this);
    }
    if (key == kVk1 && ctrl) {
        click(buttonStart_, &TMainForm::ButtonStartClick, this);
    }
    if (key == kVk0 && ctrl) {
        click(buttonStop_, &TMainForm::ButtonStopClick, this);
    }
    if (key == kVkS && ctrl) {
        click(buttonSave_, &TMainForm::ButtonSaveClick, this);
    }
    if (key == kVkT && ctrl) {
        ShowTransmitters();
    }
    // Esc works wherever the keyboard is, and so does taking it back (an opened file too); in the
    // log, the log's own Ctrl+Z does it, for every edit.
    QWidget* const focused = QApplication::focusWidget();
    const bool inLog =
        focused != nullptr && (focused == memoOpis_ || memoOpis_->isAncestorOf(focused));
    if (key == kVkZ && ctrl && !inLog && memoOpis_->canUndoWholeText()) {
        memoOpis_->undo();
    }
    if (key == kVkO && ctrl) {
        click(buttonOpen_, &TMainForm::ButtonOpenClick, this);
    }
}

void TMainForm::ButtonStartClick() {
    if (BComPort1.ClosePort()) {
        BComPort1.SetPort(cbPort_->currentText().toStdString());
        const int speed = cbBaudRate_->currentIndex();
        if (speed < 0 || speed >= serial::kBaudRateCount) {
            throw std::runtime_error("No line speed is chosen: pick one in the list");
        }
        BComPort1.SetBaudRate(static_cast<serial::TBaudRate>(speed));
    }
    if (BComPort1.OpenPort()) {
        desktop().messageBeep(platform::kBeepQuestion);
        buttonStart_->setEnabled(false);
        buttonStop_->setEnabled(true);
        EnterRunState();
        showLinkState(listeningText());
    }
}

void TMainForm::ButtonStopClick() {
    BComPort1.ClosePort();
    QCoreApplication::processEvents();
    desktop().messageBeep(platform::kBeepExclamation);
    EnterIdleState();
    if (lossBox_->isVisible()) {
        lossBox_->done(QMessageBox::Ok);
    }
    showLinkState("Idle");
}

void TMainForm::EnterRunState() {
    for (QWidget* control : std::initializer_list<QWidget*>{buttonOpen_, buttonSave_, buttonStart_,
                                                            cbPort_, cbBaudRate_}) {
        control->setEnabled(false);
    }
    buttonStop_->setEnabled(true);
}

void TMainForm::EnterIdleState() {
    for (QWidget* control : std::initializer_list<QWidget*>{buttonOpen_, buttonSave_, buttonStart_,
                                                            cbPort_, cbBaudRate_}) {
        control->setEnabled(true);
    }
    buttonStop_->setEnabled(false);
}

void TMainForm::PNGButtonCalcClick() {
    desktop().messageBeep(platform::kBeepAsterisk);
    desktop().shellExecute("open", "calc", platform::kShowNormal);
}

void TMainForm::Label1Click() {
    desktop().messageBeep(platform::kBeepAsterisk);
    desktop().shellExecute("open", "devmgmt.msc", platform::kShowNormal);
}

void TMainForm::PNGButton1Click() {
    desktop().messageBeep(platform::kBeepAsterisk);
    desktop().shellExecute("", kMakerWebAddress, platform::kShow);
}

void TMainForm::PNGButton6Click() {
    desktop().messageBeep(platform::kBeepAsterisk);
    if (formHelp_ != nullptr) {
        formHelp_->ShowAbout();
    }
}

void TMainForm::BComPort1RxChar(serial::TBComPort*, std::int32_t) {
    using receiver::ChunkKind;
    const capture::Arrival arrival = capture::handleArrival(BComPort1);
    switch (arrival.message.kind) {
        case ChunkKind::Unrecognised:
            logReceived(capture::stampedLogLine(arrival.logContent));
            desktop().messageBeep(platform::kBeepError);
            desktop().bringToFront(this);
            break;
        case ChunkKind::TestMessage:
            logReceived(capture::stampedLogLine(arrival.logContent));
            transmitters_.onTest();
            transmittersWindow_->testHeard();
            break;
        case ChunkKind::EventMessage:
            showEvent_(arrival.message.event, arrival.logContent);
            transmittersWindow_->heard(
                transmitters_.onEvent(arrival.message.event, capture::WallClock::now()));
            break;
        case ChunkKind::Dropped:
            break;
    }
}

void TMainForm::showEvent_(const receiver::EventBody& body, std::string_view logContent) {
    const std::string time =
        receiver::formatLongTime(capture::localClockNow(), capture::systemLocaleFormats());
    groupLastEvent_->setTitle(
        QString(receiver::kLastEventCaptionPrefix.data()) +
        QString::fromLocal8Bit(time.data(), static_cast<qsizetype>(time.size())));
    setLabelText(labelEvent_, QString::fromStdString(receiver::eventFieldLabel(body)));
    logReceived(capture::stampedLogLine(logContent));
    setLabelText(labelSmart_, QString::fromStdString(receiver::smartLabel(body)));
    desktop().messageBeep(platform::kBeepExclamation);
    desktop().bringToFront(this);
}

void TMainForm::logReceived(std::string_view line) {
    AppendLogLine(line);
    if (!journal_) {
        return;
    }
    std::string error;
    if (journal_->append(line, capture::localClockNow(), error)) {
        journalFailureTold_ = false;
    } else if (!journalFailureTold_) {
        // Once until it works again: the log in the window goes on, and Save keeps it.
        journalFailureTold_ = true;
        showApplicationException(std::make_exception_ptr(
            std::runtime_error("The received lines cannot be kept on disk: " + error +
                               ". The log in the window goes on; Save keeps it.")));
    }
}

void TMainForm::SetJournalling(bool on) {
    journal_.reset();
    const std::filesystem::path folder = on ? capture::Journal::defaultFolder() : "";
    if (!folder.empty()) {
        journal_ = std::make_unique<capture::Journal>(folder);
        journal_->prune();
    }
    labelLink_->setToolTip(
        journal_ ? "Every line the receiver sent is also kept in " +
                       QString::fromStdString(folder.string()) +
                       " (a file a day, as Save writes it; 90 days kept)"
                 : "The received lines are not kept on disk beside the log (--no-journal)");
}

QString TMainForm::JournalFolder() const {
    return journal_ ? QString::fromStdString(journal_->folder().string()) : QString();
}

void TMainForm::AppendLogLine(const QString& line) {
    AppendLogLine(encodeLine(line));
}

void TMainForm::AppendLogLine(std::string_view line) {
    const LogLines& text = memoOpis_->lines();
    // Only the text's end matters to the rule: empty, or ending in a line break (an empty last
    // line), or neither.
    const bool empty = text.empty();
    const bool endsInBreak = !empty && text.line(text.lineCount() - 1).empty();
    const std::string_view end = empty ? "" : (endsInBreak ? receiver::kLineBreak : "x");
    // Control bytes inside the line stay in it: only the rule's break splits.
    const std::string bytes(line);
    if (receiver::appendedBreakPlace(end) == receiver::LineBreakPlace::AfterLine) {
        memoOpis_->append({bytes, ""});
    } else {
        memoOpis_->append({"", bytes});
    }
}

std::string TMainForm::LogText() const {
    return memoOpis_->lines().text();
}

// The window's face is the scheme's midlight, followed when the scheme changes.
void TMainForm::paintWindow() {
    QPalette windowPalette = QApplication::palette(this);
    windowPalette.setColor(QPalette::Window, windowPalette.color(QPalette::Midlight));
    setPalette(windowPalette);
}

// The blue captions of the highlighted buttons and the black of the event and file labels, each
// the nearest shade that stays readable on the scheme's own faces (a dark scheme too).
void TMainForm::paintCaptions() {
    for (QPushButton* button : {buttonOpen_, buttonSave_, buttonStart_, buttonStop_}) {
        if (button->property("highlighted").toBool()) {
            const QPalette scheme = palette();
            paintText(
                button, QPalette::ButtonText,
                readableOn(scheme.color(QPalette::Highlight), scheme.color(QPalette::Button)));
        }
    }
    for (QLabel* black : {labelEvent_, labelSmart_, labelDirect_, labelFileName_}) {
        paintText(black, QPalette::WindowText,
                  readableOn(Qt::black, palette().color(QPalette::Window)));
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Its own palette changes with every caption painted; the scheme's is what to follow. A
    // style may answer a palette set here with events of its own: not followed into a loop.
    if (built_ && !painting_ && event->type() == QEvent::ApplicationPaletteChange) {
        painting_ = true;
        paintWindow();
        paintCaptions();
        painting_ = false;
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    guarded([&] { canClose = FormCloseQuery(); });
    if (!canClose) {
        event->ignore();
        return;
    }
    guarded([this] { FormClose(); });
    event->accept();
}

}  // namespace nira::ui

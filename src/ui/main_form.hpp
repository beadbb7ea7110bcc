#pragma once
// The main window: port and speed, Start and Stop, the log, the last event, the launches.

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture/journal.hpp"
#include "capture/transmitters.hpp"
#include "platform/registry.hpp"
#include "platform/serial_api.hpp"
#include "receiver/message.hpp"
#include "serial/com_port.hpp"
#include "ui/application.hpp"

class QComboBox;
class QGroupBox;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;

namespace nira::ui {

class LogView;
class TFormHelp;
class TPNGButton;
class TransmittersWindow;

class TMainForm : public QWidget, public KeyPreview {
  public:
    explicit TMainForm(platform::SerialApi& serialApi = platform::systemSerialApi(),
                       platform::RegistryApi& registry = platform::systemRegistry());
    ~TMainForm() override;

    // The About window, created after this one.
    void SetFormHelp(TFormHelp* help) { formHelp_ = help; }

    // Handlers, named after control and event.
    void FormCreate();
    void FormKeyDown(int key, Qt::KeyboardModifiers shift);
    bool FormCloseQuery();
    void FormClose();
    void ButtonStartClick();
    void ButtonStopClick();
    void ButtonOpenClick();
    void ButtonSaveClick();
    void PNGButtonCalcClick();
    void Label1Click();
    void PNGButton1Click();
    void PNGButton6Click();
    void cbPortChange();
    void sMemoOpisChange();
    void BComPort1RxChar(serial::TBComPort* sender, std::int32_t count);
    void EnterRunState();
    // Lists the ports again (the Port list dropping down while idle); the choice stays by name.
    void RefreshPorts();
    // Chooses the port of that name in the Port list; says so when the list has none.
    void ChoosePort(const QString& name);
    void EnterIdleState();
    // The last step of FormCreate: the saved list positions.
    void restoreChoices();
    // The capture journal (on unless switched off): where it is kept, empty when off.
    void SetJournalling(bool on);
    QString JournalFolder() const;
    // The transmitters window (Ctrl+T or its button), and the table the received events fill.
    void ShowTransmitters();
    TransmittersWindow& Transmitters() { return *transmittersWindow_; }
    const capture::TransmitterTable& TransmitterTable() const { return transmitters_; }
    // Opens this transmitter list now (the command line's), instead of the one last used.
    void OpenTransmitterList(const QString& path);

    // Appends one line (its Windows-1251 bytes) to the log by the append rule; a change of the
    // log. The view follows unless the operator scrolled up or selected text.
    void AppendLogLine(std::string_view line);
    void AppendLogLine(const char* line) { AppendLogLine(std::string_view(line)); }
    void AppendLogLine(const QString& line);
    // The log's text as its bytes: lines joined by CR LF.
    std::string LogText() const;
    // The settings memo's text: its lines joined by CR LF.
    QString TunesText() const;

    serial::TBComPort BComPort1;

    void previewKeyDown(QKeyEvent* event) override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // The constructor's steps, in order.
    void setUpWindow();
    void buildPortGroup();
    void buildLastEventGroup();
    void buildLog();
    void buildLowerStrip();
    void setUpTabOrder();
    void setUpSerialComponent();
    void paintWindow();
    void paintCaptions();

    void showEvent_(const receiver::EventBody& body, std::string_view logContent);
    // A line of the receiver's: into the log, and into the journal.
    void logReceived(std::string_view line);
    // Where the link stands, in the window and to assistive tools.
    void showLinkState(const QString& text);
    QString listeningText() const;
    // The watcher's failures: a lost device is told in a box of its own that closes itself when
    // the device is back; others as every failure is.
    void linkFailed(const std::exception_ptr& error);
    void deviceBack();
    void fillPorts(const std::vector<std::string>& ports);
    void reopenTransmitterList();
    void showFileLabels(const QString& path);
    void replaceTunesLine(int line, const QString& text);

    platform::RegistryApi& registry_;
    std::string settingsKey_;
    TFormHelp* formHelp_ = nullptr;

    QScrollArea* scroller_;
    QWidget* client_;
    QComboBox* cbPort_;
    QComboBox* cbBaudRate_;
    QPushButton* buttonOpen_;
    QPushButton* buttonSave_;
    QPushButton* buttonStart_;
    QPushButton* buttonStop_;
    QGroupBox* groupLastEvent_;
    QLabel* labelEvent_;
    QLabel* labelSmart_;
    LogView* memoOpis_;
    QLabel* labelDirect_;
    QLabel* labelFileName_;
    QPlainTextEdit* memoTunes_;
    QLabel* labelLink_;
    QMessageBox* lossBox_;
    QString openDialogFile_;  // what OpenDialog1 offers next time
    bool built_ = false;      // every control is made
    bool painting_ = false;   // the scheme's colours are being applied
    QPushButton* buttonTransmitters_;
    capture::TransmitterTable transmitters_;
    TransmittersWindow* transmittersWindow_;
    bool listGiven_ = false;  // on the command line: the last one used is not reopened
    std::unique_ptr<capture::Journal> journal_;
    bool journalFailureTold_ = false;
};

// Windows virtual-key codes of the keys the window reacts to.
inline constexpr int kVkEscape = 0x1B;
inline constexpr int kVkF1 = 0x70;
inline constexpr int kVk0 = 0x30;        // the digit row: '0' to '9'
inline constexpr int kVkNumpad0 = 0x60;  // the keypad's digits: 0x60 to 0x69
inline constexpr int kVk1 = kVk0 + 1;
inline constexpr int kVkNumpad1 = kVkNumpad0 + 1;
inline constexpr int kVkO = 'O';
inline constexpr int kVkS = 'S';
inline constexpr int kVkT = 'T';
inline constexpr int kVkZ = 'Z';

// Windows virtual-key code of a key event (digits on the keypad as 0x60 to 0x69); 0 when the
// key has none of interest.
int virtualKeyOf(const QKeyEvent* event);
// The settings key of the running program.
std::string runningSettingsKey();

}  // namespace nira::ui

// The main window's log file and settings.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>
#include <optional>

#include "capture/local_time.hpp"
#include "receiver/time_stamp.hpp"
#include "ui/background_work.hpp"
#include "ui/desktop.hpp"
#include "ui/log_codec.hpp"
#include "ui/log_file.hpp"
#include "ui/log_view.hpp"
#include "ui/main_form.hpp"
#include "ui/settings.hpp"

namespace nira::ui {

namespace {

constexpr const char* kFolderPrefix = "Папка: ";
constexpr const char* kFilePrefix = "Файл: ";
constexpr const char* kSettingsFile = "dUzivi.ini";

// Setting a list position: the same one changes nothing; one outside the list selects nothing.
void setPosition(QComboBox* list, int index) {
    if (index == list->currentIndex()) {
        return;
    }
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

}  // namespace

void TMainForm::showFileLabels(const QString& path) {
    labelDirect_->setText(kFolderPrefix + lastFolderName(path));
    labelDirect_->adjustSize();
    labelFileName_->setText(kFilePrefix + shortenedFileName(path));
    labelFileName_->adjustSize();
}

namespace {
// The keyboard goes back where it was when a file dialog and its work are over: a window
// manager may leave no control with it, and the next key (Ctrl+Z among them) would go nowhere.
class KeepFocus {
  public:
    KeepFocus() : had_(QApplication::focusWidget()) {}
    ~KeepFocus() {
        if (had_ != nullptr && QApplication::focusWidget() == nullptr) {
            had_->setFocus();
        }
    }
    KeepFocus(const KeepFocus&) = delete;
    KeepFocus& operator=(const KeepFocus&) = delete;

  private:
    QPointer<QWidget> had_;
};
}  // namespace

void TMainForm::ButtonSaveClick() {
    const KeepFocus keep;
    const QString path = desktop().getSaveFileName(this, "Збереження конфігурації",
                                                   QDir::currentPath(), "Text file|*.txt", "txt");
    if (path.isEmpty()) {
        return;
    }
    // A copy costs nothing (the lines are shared) and keeps still while it is written.
    const LogLines text = memoOpis_->lines();
    const std::size_t total = text.byteCount() + 2 * text.lineCount();
    const bool saved = runInBackground(this, "Saving the log...", total, [&](BackgroundJob& job) {
        return writeLogFile(path, text, &job);
    });
    if (saved) {
        showFileLabels(path);
    }
}

void TMainForm::ButtonOpenClick() {
    const KeepFocus keep;
    const QString path = desktop().getOpenFileName(this, "Відкривання конфігурації",
                                                   openDialogFile_, "Текстовий файл|*.txt");
    if (path.isEmpty()) {
        return;
    }
    openDialogFile_ = path;
    const LogLines current = memoOpis_->lines();
    std::optional<LogLines> opened;
    bool same = false;
    const auto size = static_cast<std::size_t>(std::max<qint64>(0, QFileInfo(path).size()));
    // A cancelled Open leaves the log and the labels as they were.
    if (!runInBackground(this, "Opening the log...", size, [&](BackgroundJob& job) {
            opened = readLogLines(path, kMemoCapacity, &job);
            same = opened && *opened == current;
            return opened.has_value();
        })) {
        return;
    }
    // Only a different text is a change of the log (which resets the labels first).
    if (!same) {
        memoOpis_->setLines(std::move(*opened));
    }
    showFileLabels(path);
}

void TMainForm::sMemoOpisChange() {
    labelDirect_->setText(kFolderPrefix);
    labelDirect_->adjustSize();
    labelFileName_->setText(kFilePrefix);
    labelFileName_->adjustSize();
}

void TMainForm::replaceTunesLine(int line, const QString& text) {
    // A line the memo does not have is not created.
    QTextBlock block = memoTunes_->document()->findBlockByNumber(line);
    if (!block.isValid()) {
        return;
    }
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(text);
}

QString TMainForm::TunesText() const {
    QStringList lines;
    for (QTextBlock block = memoTunes_->document()->firstBlock(); block.isValid();
         block = block.next()) {
        lines.append(block.text());
    }
    return lines.join("\r\n");
}

void TMainForm::cbPortChange() {
    // Line 1 of the settings memo, which it does not have: the position never lands.
    replaceTunesLine(1, QString::number(cbPort_->currentIndex()));
}

void TMainForm::restoreChoices() {
    restoreSettings(
        registry_, settingsKey_, [this](int index) { setPosition(cbPort_, index); },
        [this](int index) { setPosition(cbBaudRate_, index); },
        [this](const std::string& name) {
            // The name wins where it is in the list; elsewhere the position stays.
            const int index = cbPort_->findText(QString::fromStdString(name),
                                                Qt::MatchExactly | Qt::MatchCaseSensitive);
            if (index >= 0) {
                setPosition(cbPort_, index);
            }
        });
}

bool TMainForm::FormCloseQuery() {
    // A failed save is shown, but it does not keep the window from closing.
    guarded([this] {
        saveSettings(registry_, settingsKey_, cbPort_->currentIndex(), cbBaudRate_->currentIndex(),
                     cbPort_->currentText().toStdString());
    });
    return true;
}

void TMainForm::FormClose() {
    const std::string stamp =
        receiver::formatTimeStamp(capture::localClockNow(), capture::systemLocaleFormats(), "  ");
    replaceTunesLine(0, QString::fromLocal8Bit(stamp.data(), static_cast<qsizetype>(stamp.size())));
    // Rewritten only when it is there already, as a file of its own: a link planted in a shared
    // folder must not make the program overwrite whatever it points to.
    const QFileInfo settingsFile(QDir::current(), kSettingsFile);
    if (settingsFile.isFile() && !settingsFile.isSymLink()) {
        writeLogFile(kSettingsFile, encodeText(QStringList{TunesText()}));
    }
}

}  // namespace nira::ui

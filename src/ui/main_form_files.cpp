// The main window's log file and settings.
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>

#include "capture/local_time.hpp"
#include "receiver/time_stamp.hpp"
#include "ui/desktop.hpp"
#include "ui/log_codec.hpp"
#include "ui/log_file.hpp"
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

void TMainForm::ButtonSaveClick() {
    const QString path = desktop().getSaveFileName(this, "Збереження конфігурації",
                                                   QDir::currentPath(), "Text file|*.txt", "txt");
    if (path.isEmpty()) {
        return;
    }
    writeLogFile(path, LogText());
    showFileLabels(path);
}

void TMainForm::ButtonOpenClick() {
    const QString path = desktop().getOpenFileName(this, "Відкривання конфігурації",
                                                   openDialogFile_, "Текстовий файл|*.txt");
    if (path.isEmpty()) {
        return;
    }
    openDialogFile_ = path;
    const std::string bytes = readLogFile(path);
    const QStringList lines = decodeText(bytes);
    // Only a different text is a change of the log (which resets the labels first).
    if (encodeText(lines) != LogText()) {
        replaceLog(lines);
    }
    showFileLabels(path);
}

void TMainForm::replaceLog(const QStringList& lines) {
    constexpr qsizetype kChunk = 20000;
    if (lines.size() <= kChunk) {
        memoOpis_->setPlainText(lines.join('\n'));
        return;
    }
    // A long file takes seconds: it goes in in pieces under a progress bar, and the change is
    // reported once, at the end.
    QProgressDialog progress("Opening the log...", QString(), 0, static_cast<int>(lines.size()),
                             this);
    progress.setWindowTitle(windowTitle());
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    {
        const QSignalBlocker quiet(memoOpis_);
        memoOpis_->clear();
        QTextCursor cursor(memoOpis_->document());
        for (qsizetype at = 0; at < lines.size(); at += kChunk) {
            const QString piece = lines.mid(at, kChunk).join('\n');
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(at == 0 ? piece : QChar('\n') + piece);
            progress.setValue(static_cast<int>(std::min(at + kChunk, lines.size())));
        }
    }
    guarded([this] { sMemoOpisChange(); });
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
        [this](int index) { setPosition(cbBaudRate_, index); });
}

bool TMainForm::FormCloseQuery() {
    // A failed save is shown, but it does not keep the window from closing.
    guarded([this] {
        saveSettings(registry_, settingsKey_, cbPort_->currentIndex(), cbBaudRate_->currentIndex());
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

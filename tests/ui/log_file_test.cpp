// Saving and opening the log: bytes kept, line breaks made CR LF, the folder and file labels,
// and every failure leaving the log, the labels and an old file as they were.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

#include "receiver/log_text.hpp"
#include "receiver/message.hpp"
#include "ui/background_work.hpp"
#include "ui/log_codec.hpp"
#include "ui/log_file.hpp"
#include "ui/log_view.hpp"
#include "ui/main_form.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using nira::testing::readFile;
using nira::testing::RecordingDesktop;
using nira::testing::TempDir;
using nira::testing::TestRegistry;
using nira::testing::writeFile;

TEST(LogFileNames, FolderAndShortenedFileNames) {
    const struct {
        const char* path;
        const char* folder;
        const char* file;
    } table[] = {
        {R"(C:\logs\mon\day1.txt)", "mon", "day1"},
        {R"(C:\day1.txt)", "", "day1"},
        {R"(\\server\share\day1.txt)", "share", "day1"},
        {"/home/op/logs/day1.txt", "logs", "day1"},
        {"/day1.txt", "", "day1"},
        {"/var/log/log.text", "log", "log."},
        {"/tmp/ab.c", "tmp", ""},
        {"/tmp/a.b", "tmp", "a.b"},
        {"/tmp/name", "tmp", ""},
        {"relative.txt", "", "relative"},
    };
    for (const auto& c : table) {
        EXPECT_EQ(lastFolderName(c.path).toStdString(), c.folder) << c.path;
        EXPECT_EQ(shortenedFileName(c.path).toStdString(), c.file) << c.path;
    }
}

TEST(LogFileNames, ReasonsLoseTrailingBlanksBreaksAndFullStops) {
    EXPECT_EQ(systemReason("Access is denied. \r\n"), "Access is denied");
    EXPECT_EQ(systemReason("No such file or directory"), "No such file or directory");
}

// The window with a recording desktop whose file dialogs answer from a queue.
class LogFileTest : public ::testing::Test {
  protected:
    class Dialogs : public RecordingDesktop {
      public:
        QString getSaveFileName(QWidget*, const QString& title, const QString& folder,
                                const QString& filter, const QString& suffix) override {
            saves.push_back((title + "|" + folder + "|" + filter + "|" + suffix).toStdString());
            return next();
        }
        QString getOpenFileName(QWidget*, const QString& title, const QString& lastFile,
                                const QString& filter) override {
            opens.push_back((title + "|" + lastFile + "|" + filter).toStdString());
            return next();
        }
        QString next() {
            if (answers.empty()) {
                return {};
            }
            QString answer = answers.front();
            answers.erase(answers.begin());
            return answer;
        }
        std::vector<QString> answers;  // empty: cancel
        std::vector<std::string> saves;
        std::vector<std::string> opens;
    };

    LogFileTest() : form(platform::systemSerialApi(), registry.api()) {
        form.show();
        log = form.findChild<LogView*>("sMemoOpis");
        folder = form.findChild<QLabel*>("sLabelDirect");
        file = form.findChild<QLabel*>("sLabelFileName");
    }

    QString path(const std::string& name) const {
        return QString::fromStdString((dir / name).string());
    }
    void save(const std::string& name) {
        dialogs.answers = {path(name)};
        form.ButtonSaveClick();
    }
    void open(const std::string& name) {
        dialogs.answers = {path(name)};
        form.ButtonOpenClick();
    }
    std::string labels() const { return (folder->text() + "|" + file->text()).toStdString(); }

    TempDir dir;
    TestRegistry registry;
    Dialogs dialogs;
    TMainForm form;
    LogView* log;
    QLabel* folder;
    QLabel* file;
};

TEST_F(LogFileTest, SaveWritesTheTextAndShowsTheFile) {
    form.AppendLogLine("first");
    form.AppendLogLine(QString::fromUtf8("Помилка"));  // the program's own texts are Windows-1251
    save("day1.txt");
    EXPECT_EQ(readFile(dir / "day1.txt"), "first\r\n\xCF\xEE\xEC\xE8\xEB\xEA\xE0\r\n");
    EXPECT_EQ(labels(), "Папка: " + dir.path().filename().string() + "|Файл: day1");
    ASSERT_EQ(dialogs.saves.size(), 1U);
    EXPECT_EQ(dialogs.saves[0], "Збереження конфігурації|" + QDir::currentPath().toStdString() +
                                    "|Text file|*.txt|txt");

    // Esc keeps the labels; the next line resets them.
    QTest::keyClick(log, Qt::Key_Escape);
    EXPECT_EQ(labels(), "Папка: " + dir.path().filename().string() + "|Файл: day1");
    form.AppendLogLine("next");
    EXPECT_EQ(labels(), "Папка: |Файл: ");

    // An empty log makes an empty file.
    QTest::keyClick(log, Qt::Key_Escape);
    save("empty.txt");
    EXPECT_EQ(readFile(dir / "empty.txt"), "");
}

TEST_F(LogFileTest, OpenMakesEveryLineBreakCrLfAndKeepsNul) {
    const struct {
        const char* what;
        std::string bytes;
        std::string saved;
    } table[] = {
        {"LF only", "a\nb\n", "a\r\nb\r\n"},
        {"CR only", "a\rb", "a\r\nb"},
        {"mixed", "a\r\n\rb\n\nc", "a\r\n\r\nb\r\n\r\nc"},
        {"NUL in the middle", std::string("abc\0def\r\nghi", 12),
         std::string("abc\0def\r\nghi", 12)},
        {"zero bytes", "", ""},
    };
    for (const auto& c : table) {
        form.AppendLogLine("before");
        writeFile(dir / "in.txt", c.bytes);
        open("in.txt");
        save("out.txt");
        EXPECT_EQ(readFile(dir / "out.txt"), c.saved) << c.what;
    }
    EXPECT_TRUE(log->toPlainText().isEmpty()) << "a zero-byte file empties the log";
}

TEST_F(LogFileTest, EveryByteSurvivesOpenAndSave) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    writeFile(dir / "bytes.txt", all);
    open("bytes.txt");
    save("again.txt");
    std::string expected = all;
    expected.replace(expected.find('\n'), 1, "\r\n");  // LF alone, and CR alone (next)
    expected.replace(expected.find("\r\x0E"), 1, "\r\n");
    EXPECT_EQ(readFile(dir / "again.txt"), expected);
    open("again.txt");
    save("third.txt");
    EXPECT_EQ(readFile(dir / "third.txt"), expected) << "saved text opens to the same text";
}

TEST_F(LogFileTest, EveryByteOfAnUnrecognisedChunkComesBackAfterSaveAndOpen) {
    std::string chunk;
    for (int b = 0; b < 256; ++b) {
        chunk.push_back(static_cast<char>(b));
    }
    form.AppendLogLine(
        receiver::logLine("10.12.26 10:00:00", receiver::unrecognisedLineContent(chunk)));
    form.AppendLogLine("after the noise");
    save("first.txt");
    const std::string first = readFile(dir / "first.txt");
    EXPECT_NE(first.find(chunk), std::string::npos) << "every byte saved as itself";
    open("first.txt");
    EXPECT_TRUE(log->toPlainText().contains("after the noise")) << "lines after the NUL are there";
    save("second.txt");
    // Open makes a lone CR or LF a line break, as it does for any file; every other byte,
    // NUL included, comes back as itself.
    std::string expected = first;
    expected.replace(expected.find("\t\n"), 2, "\t\r\n");
    expected.replace(expected.find("\f\r\x0E"), 3, "\f\r\n\x0E");
    EXPECT_EQ(readFile(dir / "second.txt"), expected);
    open("second.txt");
    save("third.txt");
    EXPECT_EQ(readFile(dir / "third.txt"), expected);
}

TEST_F(LogFileTest, OpenReportsAChangeOnlyForADifferentText) {
    writeFile(dir / "one.txt", "line\r\n");
    open("one.txt");
    EXPECT_EQ(labels(), "Папка: " + dir.path().filename().string() + "|Файл: one");
    EXPECT_EQ(form.LogText(), "line\r\n");
    int changes = 0;
    QObject::connect(log, &LogView::textChanged, [&] { ++changes; });
    writeFile(dir / "same.txt", "line\n");
    open("same.txt");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(labels(), "Папка: " + dir.path().filename().string() + "|Файл: same");
    // The second use offers the file chosen the first time.
    ASSERT_EQ(dialogs.opens.size(), 2U);
    EXPECT_EQ(dialogs.opens[0], "Відкривання конфігурації||Текстовий файл|*.txt");
    EXPECT_EQ(dialogs.opens[1], "Відкривання конфігурації|" + path("one.txt").toStdString() +
                                    "|Текстовий файл|*.txt");
}

TEST_F(LogFileTest, ALongFileGoesInWholeWithOneChangeReport) {
    std::string text;
    for (int i = 0; i < 45000; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    writeFile(dir / "long.txt", text);
    form.AppendLogLine("before");
    save("before.txt");
    int changes = 0;
    QObject::connect(log, &LogView::textChanged, [&] { ++changes; });
    open("long.txt");
    EXPECT_EQ(changes, 1) << "one report for the whole file";
    EXPECT_EQ(labels(), "Папка: " + dir.path().filename().string() + "|Файл: long");
    EXPECT_EQ(log->blockCount(), 45001);
    save("long-again.txt");
    std::string crlf;
    for (int i = 0; i < 45000; ++i) {
        crlf += "line " + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(readFile(dir / "long-again.txt"), crlf);
}

TEST_F(LogFileTest, CancelAndFailuresChangeNothing) {
    form.AppendLogLine("kept");
    save("shown.txt");
    const std::string shown = labels();

    dialogs.answers.clear();
    form.ButtonSaveClick();
    form.ButtonOpenClick();
    EXPECT_EQ(labels(), shown);
    EXPECT_EQ(form.LogText(), "kept\r\n");

    const auto failing = [&](auto action) {
        try {
            action();
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("(no failure)");
    };
    // The reason is the system's own sentence, in the system's words.
    QFile missing(path("missing.txt"));
    ASSERT_FALSE(missing.open(QIODevice::ReadOnly));
    EXPECT_EQ(failing([&] { open("missing.txt"); }),
              "Cannot open file \"" + path("missing.txt").toStdString() + "\". " +
                  systemReason(missing.errorString()));
    const std::string noFolder = failing([&] { save("no-folder/x.txt"); });
    EXPECT_EQ(
        noFolder.rfind("Cannot create file \"" +
                           QDir::toNativeSeparators(path("no-folder/x.txt")).toStdString() + "\". ",
                       0),
        0U)
        << noFolder;
    EXPECT_EQ(labels(), shown);
    EXPECT_EQ(form.LogText(), "kept\r\n");

    writeFile(dir / "big.txt", std::string(100, 'x'));
    EXPECT_EQ(failing([&] { readLogLines(path("big.txt"), 99); }), "Text exceeds memo capacity");
    // Lines cost memory of their own: too many are refused with a sentence.
    writeFile(dir / "breaks.txt", std::string(1000, '\n'));
    EXPECT_EQ(failing([&] { readLogLines(path("breaks.txt"), kMemoCapacity, nullptr, 500); }),
              "The file has more lines than the log holds (at most 500)");
    const auto read = readLogLines(path("breaks.txt"), kMemoCapacity, nullptr, 1001);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->lineCount(), 1001U);
}

TEST_F(LogFileTest, SaveAndOpenShortcutsActWhileIdleOnly) {
    QTest::keyClick(log, Qt::Key_S);
    EXPECT_TRUE(dialogs.saves.empty()) << "S alone";
    QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(log, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs.saves.size(), 2U);
    EXPECT_EQ(dialogs.opens.size(), 1U);

    NIRA_NEEDS_PSEUDO_TERMINAL();
    nira::testing::TestPort pty;
    registry.add(pty.path());
    auto* ports = form.findChild<QComboBox*>("cbPort");
    ports->addItem(QString::fromStdString(pty.path()));
    ports->setCurrentIndex(ports->count() - 1);
    QTest::keyClick(log, Qt::Key_1, Qt::ControlModifier);
    ASSERT_TRUE(form.BComPort1.IsOpen());
    QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs.saves.size(), 2U) << "Save is disabled while listening";
    EXPECT_EQ(dialogs.opens.size(), 1U);
    QTest::keyClick(log, Qt::Key_0, Qt::ControlModifier);
}

// Failures made by the system's own limits: a folder closed to an ordinary user (checked in a child
// process that becomes one), a file size limit. The Windows program has neither.
#ifndef _WIN32
// A writable file in a folder the user may not write: no temporary file can go beside it, so the
// file itself is written. Run as an ordinary user, since root may write anywhere.
TEST(LogFileWrite, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
    nira::testing::TempDir dir;
    const std::filesystem::path file = dir.path() / "log.txt";
    writeFile(file, "old");
    std::filesystem::permissions(file, std::filesystem::perms::all);
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                        std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                        std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(3);
        }
        try {
            writeLogFile(QString::fromStdString(file.string()), "new\r\n");
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save failed";
    EXPECT_EQ(readFile(file), "new\r\n");
}

// A file that comes slowly (a pipe the test feeds): the progress shows, and Cancel leaves the log
// and the labels as they were.
TEST_F(LogFileTest, AnOpenThatTakesLongShowsProgressAndCancelChangesNothing) {
    form.AppendLogLine("kept");
    save("kept.txt");
    const std::string shown = labels();
    const std::filesystem::path slow = dir / "slow.txt";
    ASSERT_EQ(::mkfifo(slow.c_str(), 0600), 0);
    std::atomic<bool> cancelled{false};
    std::thread writer([&] {
        std::ofstream pipe(slow, std::ios::binary);  // waits for the Open to start reading
        pipe << "first line\r\nsecond" << std::flush;
        while (!cancelled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pipe << " line\r\nthird\r\n" << std::flush;
    });
    bool progressSeen = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        for (QProgressDialog* progress : form.findChildren<QProgressDialog*>()) {
            if (progress->isVisible() && !cancelled) {
                progressSeen = true;
                QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
                cancelled = true;
            }
        }
    });
    look.start(20);
    open("slow.txt");
    look.stop();
    cancelled = true;
    writer.join();
    EXPECT_TRUE(progressSeen) << "no progress while the file came slowly";
    EXPECT_EQ(form.LogText(), "kept\r\n");
    EXPECT_EQ(labels(), shown);

    // A cancelled save leaves the old file as it was, and nothing beside it.
    BackgroundJob job;
    job.cancelled = true;
    EXPECT_FALSE(writeLogFile(path("kept.txt"), LogLines::fromText("other"), &job));
    EXPECT_EQ(readFile(dir / "kept.txt"), "kept\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

// Keys and clicks while an Open runs, before its progress shows, go nowhere: not into the log the
// file then replaces, nor into the opened log afterwards.
TEST_F(LogFileTest, AnOpenTakesNoInputBeforeItsProgressShows) {
    const std::filesystem::path slow = dir / "slow.txt";
    ASSERT_EQ(::mkfifo(slow.c_str(), 0600), 0);
    std::atomic<bool> typed{false};
    std::thread writer([&] {
        std::ofstream pipe(slow, std::ios::binary);  // waits for the Open to start reading
        pipe << "first line\r\n" << std::flush;
        while (!typed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pipe << "second\r\n" << std::flush;
    });
    int changes = 0;
    QObject::connect(log, &LogView::textChanged, [&] { ++changes; });
    dialogs.beeps.clear();
    dialogs.messages.clear();
    QTimer::singleShot(50, [&] {
        QTest::keyClicks(log, "typed");
        QTest::keyClick(log, Qt::Key_1, Qt::ControlModifier);  // Start
        QTest::mouseClick(log->viewport(), Qt::LeftButton);
        typed = true;
    });
    open("slow.txt");
    writer.join();
    QApplication::processEvents();
    EXPECT_TRUE(typed);
    EXPECT_EQ(form.LogText(), "first line\r\nsecond\r\n");
    EXPECT_EQ(changes, 1) << "typing reached the log";
    EXPECT_TRUE(dialogs.beeps.empty()) << "Ctrl+1 acted";
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{});
}

TEST_F(LogFileTest, AFailedSaveLeavesTheOldFileWhole) {
    writeFile(dir / "old.txt", "the old log\r\n");
    for (int i = 0; i < 2000; ++i) {
        form.AppendLogLine("a line of the new log that will not fit");
    }
    // The disk "fills up" after 4 KiB: the write fails half-way, as root too.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string message;
    try {
        save("old.txt");
    } catch (const EFCreateError& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(message.rfind("Cannot create file \"" + path("old.txt").toStdString() + "\". ", 0),
              0U)
        << message;
    EXPECT_EQ(readFile(dir / "old.txt"), "the old log\r\n");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1U) << "no temporary file left behind";
    EXPECT_EQ(labels(), "Папка: |Файл: ");
}
#endif

// Keys as X11 delivers them: the symbol of the layout, and the key's place as its key code.
TEST_F(LogFileTest, SaveAndOpenShortcutsFollowTheKeysOnAnyLayout) {
    const auto press = [&](int key, Qt::KeyboardModifiers modifiers, quint32 keyCode,
                           const QString& text) {
        QKeyEvent down(QEvent::KeyPress, key, modifiers, keyCode, 0, 0, text);
        QApplication::sendEvent(log, &down);
        QKeyEvent up(QEvent::KeyRelease, key, modifiers, keyCode, 0, 0, text);
        QApplication::sendEvent(log, &up);
    };
    // Cyrillic layout: the keys marked S and O give Ы and Щ.
    press(0x042B, Qt::ControlModifier, 39, QString(QChar(0x044B)));
    EXPECT_EQ(dialogs.saves.size(), 1U) << "Ctrl+Ы is Ctrl+S";
    press(0x0429, Qt::ControlModifier | Qt::ShiftModifier, 32, QString(QChar(0x0429)));
    EXPECT_EQ(dialogs.opens.size(), 1U) << "Ctrl+Shift+Щ is Ctrl+O";
    // A Latin layout names letters by what the key shows: Dvorak's O sits where QWERTY has S.
    press(Qt::Key_O, Qt::ControlModifier, 39, "o");
    EXPECT_EQ(dialogs.opens.size(), 2U);
    EXPECT_EQ(dialogs.saves.size(), 1U);
    press(0x042B, Qt::NoModifier, 39, QString(QChar(0x044B)));
    EXPECT_EQ(dialogs.saves.size(), 1U) << "without Ctrl it is typing";
}

}  // namespace
}  // namespace nira::ui

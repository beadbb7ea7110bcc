// The log view on its own: typing and keys, selection with keys and mouse, the clipboard, word
// wrap and scrolling through lines taller than the view.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <string>
#include <vector>

#include "ui/log_view.hpp"
#include "ui/log_view_accessible.hpp"
#include "ui/window_look.hpp"

namespace nira::ui {
namespace {

// Text typed on a layout that has it (keyClicks knows the Latin keys only).
void typeText(QWidget* target, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent down(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &down);
    }
}

class LogViewTest : public ::testing::Test {
  protected:
    LogViewTest() {
        auto* layout = new QVBoxLayout(&window);
        view = new LogView(&window);
        view->setFont(windowFont(15));
        layout->addWidget(view);
        next = new QLineEdit(&window);
        layout->addWidget(next);
        window.resize(505, 330);
        window.show();
        QApplication::setActiveWindow(&window);
        view->setFocus();
        QApplication::processEvents();
    }
    void setText(const std::string& bytes) { view->setLines(LogLines::fromText(bytes)); }
    std::string text() const { return view->lines().text(); }
    // A point in the middle of a line's first row.
    QPoint at(std::size_t line, int x = 6) const {
        const QRect row = view->lineRect(line);
        return {x, row.center().y()};
    }

    QWidget window;
    LogView* view;
    QLineEdit* next;
};

TEST_F(LogViewTest, KeysEditWhereTheCaretIs) {
    const struct {
        const char* what;
        std::function<void(QWidget*)> keys;
        const char* result;
    } table[] = {
        {"typing in the middle",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Right);
             QTest::keyClicks(w, "XY");
         },
         "aXYbc\r\ndef"},
        {"Backspace at a line's start joins it to the one above",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Down);
             QTest::keyClick(w, Qt::Key_Home);
             QTest::keyClick(w, Qt::Key_Backspace);
         },
         "abcdef"},
        {"Delete at a line's end joins the next",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_End);
             QTest::keyClick(w, Qt::Key_Delete);
         },
         "abcdef"},
        {"a selection made with Shift is replaced by what is typed",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Right, Qt::ShiftModifier);
             QTest::keyClick(w, Qt::Key_Down, Qt::ShiftModifier);
             QTest::keyClicks(w, "-");
         },
         "-ef"},
        {"Ctrl+A and Delete empty it",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
             QTest::keyClick(w, Qt::Key_Delete);
         },
         ""},
        {"Enter starts no line and Ctrl with a letter types nothing",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Return);
             QTest::keyClick(w, Qt::Key_S, Qt::ControlModifier);
         },
         "abc\r\ndef"},
        {"Ctrl+End goes to the end; Cyrillic is typed as its code page's bytes",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_End, Qt::ControlModifier);
             typeText(w, QString::fromUtf8("ї€"));
         },
         "abc\r\ndef\xBF\x88"},
        {"what the code page lacks becomes ?",
         [](QWidget* w) { typeText(w, QString::fromUtf8("✓")); }, "?abc\r\ndef"},
    };
    for (const auto& c : table) {
        setText("abc\r\ndef");
        int changes = 0;
        const auto connection = QObject::connect(view, &LogView::textChanged, [&] { ++changes; });
        c.keys(view);
        QObject::disconnect(connection);
        EXPECT_EQ(text(), c.result) << c.what;
        EXPECT_EQ(changes > 0, text() != "abc\r\ndef") << c.what;
    }
    // Tab is not taken: the focus moves on.
    QTest::keyClick(view, Qt::Key_Tab);
    EXPECT_TRUE(next->hasFocus());
}

// Word moves step over empty lines, in the middle and at the end, without reading past them.
TEST_F(LogViewTest, WordMovesAndDeletesCrossEmptyLines) {
    const struct {
        const char* what;
        std::function<void(QWidget*)> keys;
        const char* result;
    } table[] = {
        {"Ctrl+Right stops at a line's end, an empty line and the next word's start",
         [](QWidget* w) {
             for (int i = 0; i < 3; ++i) {
                 QTest::keyClick(w, Qt::Key_Right, Qt::ControlModifier);
             }
             QTest::keyClicks(w, "X");
         },
         "ab\r\n\r\nXcd\r\n\r\n"},
        {"Ctrl+Right past the last word ends at the end",
         [](QWidget* w) {
             for (int i = 0; i < 8; ++i) {
                 QTest::keyClick(w, Qt::Key_Right, Qt::ControlModifier);
             }
             QTest::keyClicks(w, "X");
         },
         "ab\r\n\r\ncd\r\n\r\nX"},
        {"Ctrl+Delete on an empty line takes its break, up to the next word",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Down);
             QTest::keyClick(w, Qt::Key_Delete, Qt::ControlModifier);
         },
         "ab\r\ncd\r\n\r\n"},
        {"Ctrl+Left from the end stops at the empty line before it",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_End, Qt::ControlModifier);
             QTest::keyClick(w, Qt::Key_Left, Qt::ControlModifier);
             QTest::keyClicks(w, "X");
         },
         "ab\r\n\r\ncd\r\nX\r\n"},
        {"Ctrl+Left twice from the end: the last word's start",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_End, Qt::ControlModifier);
             QTest::keyClick(w, Qt::Key_Left, Qt::ControlModifier);
             QTest::keyClick(w, Qt::Key_Left, Qt::ControlModifier);
             QTest::keyClicks(w, "X");
         },
         "ab\r\n\r\nXcd\r\n\r\n"},
        {"Ctrl+Backspace on an empty line takes the word before it",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Down);
             QTest::keyClick(w, Qt::Key_Backspace, Qt::ControlModifier);
         },
         "\r\ncd\r\n\r\n"},
    };
    for (const auto& c : table) {
        setText("ab\r\n\r\ncd\r\n\r\n");
        c.keys(view);
        EXPECT_EQ(text(), c.result) << c.what;
    }

    // Within a log line: from word start to word start over the punctuation between.
    setText("10.12.2026 01:02 --> TEST");
    const std::size_t starts[] = {3, 6, 11, 14, 21, 25};
    for (const std::size_t start : starts) {
        QTest::keyClick(view, Qt::Key_Right, Qt::ControlModifier);
        EXPECT_EQ(view->cursorPosition(), (LogPosition{0, start}));
    }
    QTest::keyClick(view, Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(view->selectedText(), "TEST");
}

// Ctrl+Up and Ctrl+Down scroll a row and leave the caret where it is.
TEST_F(LogViewTest, CtrlUpAndDownScrollWithoutMovingTheCaret) {
    std::string many;
    for (int i = 0; i < 100; ++i) {
        many += "line " + std::to_string(i) + "\r\n";
    }
    setText(many);
    QTest::keyClick(view, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_TRUE(view->lineRect(0).isEmpty());
    EXPECT_FALSE(view->lineRect(1).isEmpty());
    EXPECT_EQ(view->cursorPosition(), (LogPosition{0, 0}));
    QTest::keyClick(view, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_FALSE(view->lineRect(0).isEmpty());
    EXPECT_EQ(view->cursorPosition(), (LogPosition{0, 0}));
}

// Home and End keep to the visual row of a wrapped line; Left and Right end a selection at its
// start or end.
TEST_F(LogViewTest, HomeEndKeepToTheRowAndLeftRightEndASelection) {
    std::string wrapped;
    for (int i = 0; i < 40; ++i) {
        wrapped += "word" + std::to_string(10 + i) + " ";
    }
    setText(wrapped);
    const QRect first = view->lineRect(0);
    ASSERT_EQ(view->positionAt(QPoint(6, first.bottom() + first.height() / 2)).line, 0U)
        << "no wrap";
    // Home on the second row: at that row's first word, not at the line's start.
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_End);
    QTest::keyClick(view, Qt::Key_Home);
    QTest::keyClicks(view, "X");
    const std::size_t x = text().find('X');
    ASSERT_NE(x, std::string::npos);
    EXPECT_GT(x, 0U);
    EXPECT_EQ(text()[x - 1], ' ') << text();
    // End on the first row: before the blank it broke at, not at the line's end.
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_End);
    QTest::keyClicks(view, "Y");
    const std::size_t y = text().find('Y');
    ASSERT_NE(y, std::string::npos);
    EXPECT_LT(y, text().find('X'));
    EXPECT_EQ(text()[y + 1], ' ') << text();
    // Shift+End from the row's start selects that row only.
    QTest::keyClick(view, Qt::Key_Home);
    QTest::keyClick(view, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(view->selectedText().toStdString() + " ", text().substr(0, y + 2));

    const struct {
        const char* what;
        Qt::Key key;
        const char* result;
    } ends[] = {
        {"Left ends it at its start", Qt::Key_Left, "abc- def ghi"},
        {"Right ends it at its end", Qt::Key_Right, "abc def- ghi"},
    };
    for (const auto& c : ends) {
        setText("abc def ghi");
        for (int i = 0; i < 3; ++i) {  // after "abc"
            QTest::keyClick(view, Qt::Key_Right);
        }
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(view, Qt::Key_Right, Qt::ShiftModifier);
        }
        QTest::keyClick(view, c.key);
        QTest::keyClicks(view, "-");
        EXPECT_EQ(text(), c.result) << c.what;
    }
}

// Ctrl+Z takes back the operator's last edit, whatever it was, and a second puts it back; lines
// the receiver appended in between stay.
TEST_F(LogViewTest, UndoTakesBackTheLastEditAndKeepsAppendedLines) {
    const std::string before = "first line\r\nsecond line\r\n";
    const struct {
        const char* what;
        std::function<void(QWidget*)> edit;
        const char* edited;
    } table[] = {
        {"a typed run is one step",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_End);
             QTest::keyClicks(w, " typed");
         },
         "first line typed\r\nsecond line\r\n"},
        {"a paste",
         [](QWidget* w) {
             QGuiApplication::clipboard()->setText("pasted\nlines ");
             QTest::keyClick(w, Qt::Key_V, Qt::ControlModifier);
         },
         "pasted\r\nlines first line\r\nsecond line\r\n"},
        {"a cut",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_Down, Qt::ShiftModifier);
             QTest::keyClick(w, Qt::Key_X, Qt::ControlModifier);
         },
         "second line\r\n"},
        {"a delete", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Delete); },
         "irst line\r\nsecond line\r\n"},
        {"Ctrl+A and a key",
         [](QWidget* w) {
             QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
             QTest::keyClicks(w, "x");
         },
         "x"},
    };
    for (const auto& c : table) {
        for (const bool receiverWrote : {false, true}) {
            setText(before);
            c.edit(view);
            ASSERT_EQ(text(), c.edited) << c.what;
            const std::string appended = receiverWrote ? "received\r\n" : "";
            if (receiverWrote) {
                view->append({"received", ""});
            }
            QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
            EXPECT_EQ(text(), before + appended) << c.what << ": undone";
            QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
            EXPECT_EQ(text(), c.edited + appended) << c.what << ": done again";
            QTest::keyClick(view, Qt::Key_Backspace, Qt::AltModifier);
            EXPECT_EQ(text(), before + appended) << c.what << ": Alt+Backspace";
        }
    }
    // Two typed runs apart are two steps.
    setText(before);
    QTest::keyClicks(view, "ab");
    QTest::keyClick(view, Qt::Key_End);
    QTest::keyClicks(view, "cd");
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(text(), "abfirst line\r\nsecond line\r\n");
    // A text put in whole (an opened file) and the log emptied (Esc) are taken back too, with
    // what the receiver added since; once more puts them back.
    for (const bool opened : {true, false}) {
        setText(before);
        if (opened) {
            LogLines other;
            other.replace({0, 0}, {0, 0}, {"opened", ""});
            view->setLines(other);
        } else {
            view->clear();
            view->clear();  // twice, the common slip
        }
        view->append({"received", ""});
        QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(text(), before + "received\r\n") << (opened ? "opened" : "emptied");
        QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(text(), std::string(opened ? "opened\r\n" : "") + "received\r\n");
    }
}

TEST_F(LogViewTest, TheClipboardGetsWhatIsShownAndPastedLinesComeBackAsBytes) {
    // The second line holds a NUL, a CR and an LF as bytes, as a received chunk may.
    LogLines lines;
    lines.replace({0, 0}, {0, 0}, {"one two", std::string("three \0\r\n four", 14)});
    view->setLines(lines);
    // A double click takes a word, the mouse dragged over lines takes them all.
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(0, 30));
    EXPECT_EQ(view->selectedText(), "one");
    QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(0, 5));
    QTest::mouseMove(view->viewport(), at(1, 400));
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(1, 400));
    EXPECT_EQ(view->selectedText(),
              QString("one two\nthree ") + QChar(0x2400) + QChar(0x240D) + QChar(0x240A) + " four");
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), view->selectedText());
    // A third click takes the line with its break; Shift with a click stretches from the caret.
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(0, 30));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(0, 30));
    EXPECT_EQ(view->selectedText(), "one two\n");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at(0, 5));
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(1, 400));
    EXPECT_EQ(view->selectedText().left(9), "one two\nt");

    // Pasted: every kind of line break ends a line, the control pictures are their bytes again.
    QGuiApplication::clipboard()->setText(QString("x\r\ny\nz") + QChar(0x2400) + "\rw");
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(text(), std::string("one two\r\nthree \0\r\n fourx\r\ny\r\nz\0\r\nw", 34));
    // Cut takes the selection away and hands it over.
    QTest::keyClick(view, Qt::Key_Home, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "w");
    EXPECT_EQ(view->lines().line(view->lines().lineCount() - 1), "");
}

// Control characters pasted from elsewhere (a TAB from a spreadsheet) are their own bytes, as
// their pictures are; line breaks still start lines.
TEST_F(LogViewTest, PastedControlCharactersBecomeTheirOwnBytes) {
    setText("");
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8("a\tb\x01"
                          "c\x7F\u2400d\r\ne"));
    QTest::keyClick(view, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(text(), std::string("a\tb\x01"
                                  "c\x7F\0d\r\ne",
                                  11));
}

TEST_F(LogViewTest, LongLinesWrapAndALineTallerThanTheViewIsScrolledRowByRow) {
    // Words wrap at blanks; a word longer than a row breaks where the row ends.
    std::string words;
    for (int i = 0; i < 20; ++i) {
        words += "word" + std::to_string(i) + " ";
    }
    setText(words + "\r\n" + std::string(70000, 'Z') + "\r\nlast");
    const QRect first = view->lineRect(0);
    ASSERT_FALSE(first.isEmpty());
    const LogPosition secondRow = view->positionAt(QPoint(6, first.bottom() + first.height() / 2));
    EXPECT_EQ(secondRow.line, 0U) << "the first line takes more than one row";
    EXPECT_GT(secondRow.column, 0U);
    EXPECT_EQ(words[secondRow.column - 1], ' ') << "a row starts after a blank";

    // The tall line (long enough to have its rows kept) is scrolled through row by row.
    QScrollBar* bar = view->verticalScrollBar();
    // The bar moves through the tall line too: half-way is the middle of its rows.
    bar->setValue(bar->maximum() / 2 + bar->maximum() / 4);
    const LogPosition middle = view->positionAt(QPoint(6, 6));
    EXPECT_EQ(middle.line, 1U);
    EXPECT_GT(middle.column, 10000U);
    EXPECT_LT(middle.column, 60000U);
    // The bar's arrow moves a row.
    bar->setValue(0);
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(view->positionAt(QPoint(6, 6)), secondRow) << "one row down";
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(view->positionAt(QPoint(6, 6)), (LogPosition{0, 0}));
    bool middleSeen = false;
    for (int i = 0; i < 200 && !middleSeen; ++i) {
        QTest::keyClick(view, Qt::Key_Down);
        const LogPosition top = view->positionAt(QPoint(6, 6));
        middleSeen = top.line == 1 && top.column > 2000 && top.column < 3000;
    }
    EXPECT_TRUE(middleSeen);
    // At the end the last line is in view; at the top, the first line is.
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(view->atBottom());
    EXPECT_FALSE(view->lineRect(2).isEmpty());
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(0);
    EXPECT_EQ(view->positionAt(QPoint(6, 6)), (LogPosition{0, 0}));
    QTest::keyClick(view, Qt::Key_PageDown);
    EXPECT_EQ(view->positionAt(QPoint(6, 6)).line, 1U) << "a page down moves the view";

    // Scrolled deep into a tall line that then loses most of its text: its last row is on top.
    std::string after;
    for (int i = 0; i < 100; ++i) {
        after += "\r\nline " + std::to_string(i);
    }
    setText(std::string(70000, 'Z') + after);
    for (int i = 0; i < 100; ++i) {
        QTest::keyClick(view, Qt::Key_Down);
    }
    ASSERT_GT(view->positionAt(QPoint(6, 6)).column, 1000U);
    view->setSelection({0, 100}, {0, 70000});
    QTest::keyClick(view, Qt::Key_Delete);
    const LogPosition top = view->positionAt(QPoint(6, 6));
    EXPECT_EQ(top.line, 0U);
    EXPECT_LE(top.column, 100U);
}

// The wheel turns as many rows a notch as the system says; a touchpad's small steps add up.
TEST_F(LogViewTest, TheWheelScrollsTheSystemsRowsANotch) {
    std::string many;
    for (int i = 0; i < 200; ++i) {
        many += "line " + std::to_string(i) + "\r\n";
    }
    setText(many);
    const int kept = QApplication::wheelScrollLines();
    const auto turn = [&](int units) {
        QWheelEvent wheel(QPointF(20, 20), view->viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                          QPoint(0, units), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view->viewport(), &wheel);
        return view->positionAt(QPoint(6, 6)).line;
    };
    for (const int lines : {1, 3, 7}) {
        QApplication::setWheelScrollLines(lines);
        QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
        EXPECT_EQ(turn(-120), static_cast<std::size_t>(lines)) << lines << " a notch";
    }
    QApplication::setWheelScrollLines(3);
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(turn(-60), 1U) << "half a notch";
    EXPECT_EQ(turn(-60), 3U) << "and another half";
    QApplication::setWheelScrollLines(kept);
}

TEST_F(LogViewTest, AppendFollowsOnlyFromTheBottomAndMovesACaretAtTheEnd) {
    view->append({"first", ""});
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < 100; ++i) {
        view->append({"line " + std::to_string(i), ""});
    }
    EXPECT_TRUE(view->atBottom());
    EXPECT_EQ(view->cursorPosition(), (LogPosition{0, 0})) << "a caret elsewhere stays";
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    view->append({"new", ""});
    EXPECT_EQ(view->cursorPosition(), view->lines().end()) << "a caret at the end moves along";
    EXPECT_TRUE(view->atBottom());
    QTest::keyClick(view, Qt::Key_PageUp);
    const LogPosition shown = view->positionAt(QPoint(6, 6));
    view->append({"more", ""});
    EXPECT_EQ(view->positionAt(QPoint(6, 6)), shown) << "scrolled up, the view stays";
    EXPECT_FALSE(view->atBottom());
}

// An edit within a line long enough to have its rows kept changes its rows as a fresh wrap of
// the new text would: typed words move the breaks after them, a deletion pulls them back.
TEST_F(LogViewTest, AnEditInALongLineWrapsItAsAFreshLookWould) {
    std::string line;
    for (int i = 0; line.size() < 80000; ++i) {
        line += i % 7 == 0 ? "somewhatlongerword " : "w ";
    }
    setText(line);
    view->setSelection({0, 30001}, {0, 30001});
    typeText(view, "typed words that move the breaks after them ");
    view->setSelection({0, 50000}, {0, 50033});
    QTest::keyClick(view, Qt::Key_Delete);
    view->setSelection({0, 123}, {0, 123});
    typeText(view, "x");
    view->verticalScrollBar()->setValue(0);
    const int rowHeight = view->lineRect(0).height();
    ASSERT_GT(rowHeight, 0);
    const auto look = [&] {
        std::vector<LogPosition> seen;
        QScrollBar* bar = view->verticalScrollBar();
        for (int part = 0; part <= 8; ++part) {
            bar->setValue(bar->maximum() * part / 8);
            for (int row = 0; row < 5; ++row) {
                seen.push_back(view->positionAt(QPoint(6, 6 + row * rowHeight)));
            }
        }
        return seen;
    };
    const std::vector<LogPosition> edited = look();
    // A width change wraps the line afresh; back at the old width it must look the same.
    window.resize(window.width() + 40, window.height());
    QApplication::processEvents();
    window.resize(window.width() - 40, window.height());
    QApplication::processEvents();
    EXPECT_EQ(look(), edited);
}

// Every control byte can be told from the others on screen, whether the font has the control
// pictures or not (fonts Debian installs by default have none: each would be the same box).
TEST_F(LogViewTest, ControlBytesLookDifferentFromEachOther) {
    view->clear();
    view->append({std::string(1, '\0'), "\r", std::string(1, '\0'), "\x98", "\x7f", "A", "B"});
    next->setFocus();  // no caret in the picture
    QApplication::processEvents();
    const QImage shot = view->viewport()->grab().toImage();
    const auto cell = [&](std::size_t line) {
        const QRect rect = view->characterRect({line, 0});
        EXPECT_FALSE(rect.isEmpty()) << "line " << line;
        return shot.copy(rect);
    };
    if (cell(5) == cell(6)) {
        GTEST_SKIP() << "no text is drawn here (a system without fonts)";
    }
    const QImage nul = cell(0);
    EXPECT_EQ(nul, cell(2)) << "the same byte looks the same";
    EXPECT_NE(nul, cell(1)) << "NUL looks like CR";
    EXPECT_NE(nul, cell(3)) << "NUL looks like 0x98";
    EXPECT_NE(cell(1), cell(4)) << "CR looks like DEL";
    // Not an empty cell either.
    EXPECT_NE(nul.pixel(0, 0), 0U);
    bool inked = false;
    for (int y = 0; y < nul.height() && !inked; ++y) {
        for (int x = 0; x < nul.width() && !inked; ++x) {
            inked = nul.pixel(x, y) != nul.pixel(0, 0);
        }
    }
    EXPECT_TRUE(inked) << "NUL shows nothing";
}

// What assistive tools read and do, through Qt's accessibility interfaces.
TEST_F(LogViewTest, AssistiveToolsReadTheTextCaretAndSelectionAndEditIt) {
    setText("10.12.2026 01:02:03 --> TEST: 01\r\n\r\nL2 \x01\xc0\r\n");
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(view);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::EditableText);
    EXPECT_TRUE(accessible->state().multiLine);
    QAccessibleTextInterface* text = accessible->textInterface();
    ASSERT_NE(text, nullptr);
    ASSERT_NE(accessible->editableTextInterface(), nullptr);

    const QString shown = view->toPlainText();
    EXPECT_EQ(text->characterCount(), shown.size());
    EXPECT_EQ(text->text(0, text->characterCount()), shown);
    EXPECT_EQ(text->text(24, 28), "TEST");
    EXPECT_EQ(text->text(34, -1), shown.mid(34));

    // Units around an offset: a line takes its break along, a word is a run of word characters.
    const struct {
        QAccessible::TextBoundaryType type;
        int offset;
        int start;
        int end;
    } units[] = {
        {QAccessible::CharBoundary, 3, 3, 4},
        {QAccessible::WordBoundary, 26, 24, 28},  // TEST
        {QAccessible::LineBoundary, 5, 0, 33},
        {QAccessible::LineBoundary, 33, 33, 34},  // the empty line
        {QAccessible::LineBoundary, 36, 34, 40},
        {QAccessible::NoBoundary, 10, 0, static_cast<int>(shown.size())},
    };
    for (const auto& u : units) {
        int start = -1;
        int end = -1;
        const QString unit = text->textAtOffset(u.offset, u.type, &start, &end);
        EXPECT_EQ(start, u.start) << u.type << " at " << u.offset;
        EXPECT_EQ(end, u.end) << u.type << " at " << u.offset;
        EXPECT_EQ(unit, shown.mid(u.start, u.end - u.start));
    }
    int start = -1;
    int end = -1;
    EXPECT_EQ(text->textAfterOffset(5, QAccessible::LineBoundary, &start, &end), "\n");
    EXPECT_EQ(text->textBeforeOffset(36, QAccessible::LineBoundary, &start, &end), "\n");
    EXPECT_EQ(start, 33);

    // Caret and selection both ways.
    text->setCursorPosition(36);
    EXPECT_EQ(view->cursorPosition(), (LogPosition{2, 2}));
    EXPECT_EQ(text->cursorPosition(), 36);
    text->setSelection(0, 24, 28);
    EXPECT_EQ(view->selectedText(), "TEST");
    ASSERT_EQ(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    EXPECT_EQ(start, 24);
    EXPECT_EQ(end, 28);
    text->removeSelection(0);
    EXPECT_EQ(text->selectionCount(), 0);

    // Where a character is on the screen, and back.
    const QRect rect = text->characterRect(26);
    ASSERT_FALSE(rect.isEmpty());
    EXPECT_EQ(text->offsetAtPoint(rect.center()), 26);

    // Edits are the operator's: they change the bytes and Undo takes them back.
    accessible->editableTextInterface()->replaceText(24, 28, "PING\tX");
    EXPECT_EQ(view->lines().line(0), "10.12.2026 01:02:03 --> PING\tX: 01");
    accessible->editableTextInterface()->deleteText(0, 11);
    EXPECT_EQ(view->lines().line(0), "01:02:03 --> PING\tX: 01");
    view->undo();
    EXPECT_EQ(view->lines().line(0), "10.12.2026 01:02:03 --> PING\tX: 01");
}

// Assistive tools hear of new lines as inserted text, and of the caret as it moves.
std::vector<std::pair<QAccessible::Event, QString>>* gHeard = nullptr;
void hear(QAccessibleEvent* event) {
    if (gHeard == nullptr) {
        return;
    }
    if (event->type() == QAccessible::TextInserted) {
        gHeard->emplace_back(event->type(),
                             static_cast<QAccessibleTextInsertEvent*>(event)->textInserted());
    } else if (event->type() == QAccessible::TextUpdated) {
        gHeard->emplace_back(event->type(),
                             static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted());
    } else if (event->type() == QAccessible::TextCaretMoved) {
        gHeard->emplace_back(
            event->type(),
            QString::number(static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition()));
    }
}

TEST_F(LogViewTest, AssistiveToolsHearOfArrivingLinesAndEdits) {
    setText("first");
    std::vector<std::pair<QAccessible::Event, QString>> heard;
    gHeard = &heard;
    const QAccessible::UpdateHandler before = LogViewAccessible::divert(hear);
    view->append({"", "10.12.2026 01:02:03 --> TEST: 01"});
    view->setSelection({0, 5}, {0, 5});
    typeText(view, "!");
    LogViewAccessible::divert(before);
    gHeard = nullptr;

    const auto has = [&](QAccessible::Event type, const QString& text) {
        return std::find(heard.begin(), heard.end(), std::make_pair(type, text)) != heard.end();
    };
    EXPECT_TRUE(has(QAccessible::TextInserted, "\n10.12.2026 01:02:03 --> TEST: 01"));
    EXPECT_TRUE(has(QAccessible::TextCaretMoved, "5"));
    EXPECT_TRUE(has(QAccessible::TextInserted, "!"));
    EXPECT_TRUE(has(QAccessible::TextCaretMoved, "6"));
}

}  // namespace
}  // namespace nira::ui

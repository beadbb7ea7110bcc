#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <algorithm>

#include "ui/log_codec.hpp"
#include "ui/log_view.hpp"
#include "ui/log_view_parts.hpp"

// The view's selection, clipboard, the operator's edits and their undo, and the caret's moves.

namespace nira::ui {

namespace log_view_parts {

// Pasted or typed text as the log's lines: any line break ends a line; characters the log's
// code page lacks become "?".
std::vector<std::string> linesOf(const QString& text) {
    std::vector<std::string> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        const QChar c = end ? QChar() : text[i];
        if (end || c == '\r' || c == '\n' || c == QChar::ParagraphSeparator ||
            c == QChar::LineSeparator) {
            lines.push_back(encodeLine(text.mid(start, i - start)));
            if (!end && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    return lines;
}

// What a key with text may type: no Ctrl shortcut, no control character.
bool isTyping(const QKeyEvent* event) {
    const QString text = event->text();
    if (text.isEmpty()) {
        return false;
    }
    const auto mods = event->modifiers() & ~(Qt::KeypadModifier | Qt::GroupSwitchModifier);
    if (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier)) {
        return false;
    }
    return std::none_of(
               text.begin(), text.end(),
               [](QChar c) { return c.category() == QChar::Other_Control && c != '\t'; }) &&
           text != "\t";
}

}  // namespace log_view_parts

using namespace log_view_parts;

void LogView::setSelection(LogPosition anchor, LogPosition cursor) {
    const auto valid = [this](LogPosition p) {
        p.line = std::min(p.line, lines_.lineCount() - 1);
        p.column = std::min(p.column, lines_.line(p.line).size());
        return p;
    };
    anchor_ = valid(anchor);
    cursor_ = valid(cursor);
    preferredX_ = -1;
    viewport()->update();
    caretMoved();
}

void LogView::replaceRange(LogPosition from, LogPosition to, const QString& text) {
    setSelection(from, to);
    replaceSelection(linesOf(text));
}

QString LogView::selectedText() const {
    return textBetween(anchor_, cursor_);
}

QString LogView::textBetween(LogPosition a, LogPosition b) const {
    // Lines joined by LF in what is shown, as text editors hand it out (a CR or LF byte inside a
    // line is its picture, so the two never mix).
    QString text;
    bool first = true;
    lines_.forEachPart(a, b, [&](std::string_view part) {
        if (!first) {
            text += '\n';
        }
        first = false;
        text += decodeLine(part);
    });
    return text;
}

void LogView::selectAll() {
    typingRun_ = false;
    anchor_ = {0, 0};
    cursor_ = lines_.end();
    viewport()->update();
    caretMoved();
    copyToSelectionClipboard();
}

void LogView::copy() const {
    if (hasSelection()) {
        QGuiApplication::clipboard()->setText(selectedText());
    }
}

void LogView::copyToSelectionClipboard() const {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection()) {
        clipboard->setText(selectedText(), QClipboard::Selection);
    }
}

void LogView::cut() {
    if (hasSelection()) {
        copy();
        replaceSelection({""});
    }
}

void LogView::paste() {
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty()) {
        replaceSelection(linesOf(text));
    }
}

void LogView::replaceSelection(const std::vector<std::string>& lines, bool typing) {
    if (!(typing && typingRun_)) {
        undo_ = UndoStep{lines_, anchor_, cursor_, std::nullopt};
    }
    typingRun_ = typing;
    lastWasUndo_ = false;
    const LogPosition end = edit(anchor_, cursor_, lines);
    cursor_ = anchor_ = end;
    preferredX_ = -1;
    changed();
    ensureCursorVisible();
    restartBlink();
    caretMoved();
}

void LogView::insertTyped(const QString& text) {
    replaceSelection(linesOf(text), true);
}

void LogView::undo() {
    if (!undo_) {
        return;
    }
    UndoStep step = std::move(*undo_);
    // What the receiver added since the edit goes to the end of the log taken back too.
    std::vector<std::string> appended;
    if (step.appendedFrom) {
        const LogPosition from = *step.appendedFrom;
        for (std::size_t line = from.line; line < lines_.lineCount(); ++line) {
            const std::string_view text = lines_.line(line);
            appended.emplace_back(line == from.line ? text.substr(from.column) : text);
        }
    }
    undo_ = UndoStep{lines_, anchor_, cursor_, std::nullopt, step.wholeText};
    const LogPosition keptEnd = step.lines.end();
    if (!appended.empty()) {
        step.lines.replace(keptEnd, keptEnd, appended);
    }
    lines_ = std::move(step.lines);
    rows_.assign(lines_.lineCount(), 0);
    longLines_.clear();
    const auto valid = [this](LogPosition p) {
        const std::size_t line = std::min(p.line, lines_.lineCount() - 1);
        return LogPosition{line, std::min(p.column, lines_.line(line).size())};
    };
    anchor_ = valid(step.anchor);
    cursor_ = valid(step.cursor);
    typingRun_ = false;
    lastWasUndo_ = true;
    preferredX_ = -1;
    setTop(top_);
    changed();
    ensureCursorVisible();
    restartBlink();
}

void LogView::deleteBackOrForward(bool forward) {
    if (!hasSelection()) {
        LogPosition other = cursor_;
        if (forward) {
            if (other.column < lines_.line(other.line).size()) {
                ++other.column;
            } else if (other.line + 1 < lines_.lineCount()) {
                other = {other.line + 1, 0};
            }
        } else if (other.column > 0) {
            --other.column;
        } else if (other.line > 0) {
            other = {other.line - 1, lines_.line(other.line - 1).size()};
        }
        if (other == cursor_) {
            return;
        }
        anchor_ = other;
    }
    replaceSelection({""});
}

LogPosition LogView::rowMove(LogPosition from, long rows) const {
    double x = 0;
    RowPlace place = rowPlaceOf(from, &x);
    if (preferredX_ >= 0) {
        x = preferredX_;
    }
    const long left = walkRows(place, rows);
    if (left != 0) {
        return left > 0 ? lines_.end() : LogPosition{};
    }
    return columnAt(place, x);
}

LogPosition LogView::wordStart(LogPosition at) const {
    const std::string_view text = lines_.line(at.line);
    std::size_t i = std::min(at.column, text.size());
    while (i > 0 && isWordChar(text[i - 1])) {
        --i;
    }
    return {at.line, i};
}

LogPosition LogView::wordEnd(LogPosition at) const {
    const std::string_view text = lines_.line(at.line);
    std::size_t i = std::min(at.column, text.size());
    while (i < text.size() && isWordChar(text[i])) {
        ++i;
    }
    return {at.line, i};
}

void LogView::moveCursor(LogPosition to, bool select) {
    typingRun_ = false;
    cursor_ = to;
    if (!select) {
        anchor_ = to;
    }
    ensureCursorVisible();
    restartBlink();
    viewport()->update();
    caretMoved();
    // A selection made with keys is the X selection too, as one made with the mouse.
    if (select && !dragging_) {
        copyToSelectionClipboard();
    }
}

void LogView::ensureCursorVisible() {
    ensureVisible(cursor_);
}

void LogView::ensureVisible(LogPosition position) {
    const RowPlace place = rowPlaceOf(position);
    if (place < top_) {
        setTop(place);
        return;
    }
    long row = 0;
    double x = 0;
    if (locate(position, row, x) && row < fullRows()) {
        return;
    }
    // Below the view: the caret's row becomes the last one shown.
    RowPlace top = place;
    walkRows(top, 1 - fullRows());
    setTop(top);
}

void LogView::restartBlink() {
    caretShown_ = true;
    const int flash = QApplication::cursorFlashTime();
    if (flash > 0 && hasFocus()) {
        blink_.start(flash / 2, this);
    } else {
        blink_.stop();
    }
    viewport()->update();
}

}  // namespace nira::ui

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "ui/log_codec.hpp"
#include "ui/log_view.hpp"
#include "ui/log_view_parts.hpp"

// The view's keys, mouse, wheel, input method, menu, focus and timers.

namespace nira::ui {

using namespace log_view_parts;

void LogView::keyPressEvent(QKeyEvent* event) {
    const LogPosition end = lines_.end();
    const auto line = [this](std::size_t i) { return lines_.line(i); };
    const auto next = [&](LogPosition p) {
        if (p.column < line(p.line).size()) {
            return LogPosition{p.line, p.column + 1};
        }
        return p.line + 1 < lines_.lineCount() ? LogPosition{p.line + 1, 0} : p;
    };
    const auto previous = [&](LogPosition p) {
        if (p.column > 0) {
            return LogPosition{p.line, p.column - 1};
        }
        return p.line > 0 ? LogPosition{p.line - 1, line(p.line - 1).size()} : p;
    };
    // Word moves stop where an edit box stops: Right at the next word's start or a line's end,
    // Left at the previous word's start or a line's start (an empty line is both).
    const auto wordStartsAt = [&](LogPosition p) {
        const std::string_view text = line(p.line);
        return p.column < text.size() && isWordChar(text[p.column]) &&
               (p.column == 0 || !isWordChar(text[p.column - 1]));
    };
    const auto nextWord = [&](LogPosition p) {
        p = next(p);
        while (p != end && !wordStartsAt(p) && p.column != line(p.line).size()) {
            p = next(p);
        }
        return p;
    };
    const auto previousWord = [&](LogPosition p) {
        p = previous(p);
        while (p != LogPosition{} && !wordStartsAt(p) && p.column != 0) {
            p = previous(p);
        }
        return p;
    };
    const long page = std::max(1, fullRows() - 1);
    const struct {
        QKeySequence::StandardKey move;
        QKeySequence::StandardKey select;
        std::function<LogPosition()> to;
        bool keepsX;
    } moves[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, [&] { return next(cursor_); },
         false},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar,
         [&] { return previous(cursor_); }, false},
        {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord,
         [&] { return nextWord(cursor_); }, false},
        {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord,
         [&] { return previousWord(cursor_); }, false},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine,
         [&] { return rowMove(cursor_, 1); }, true},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine,
         [&] { return rowMove(cursor_, -1); }, true},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage,
         [&] { return rowMove(cursor_, page); }, true},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage,
         [&] { return rowMove(cursor_, -page); }, true},
        // Home and End keep to the row the caret is on, as in any edit box that wraps.
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine,
         [&] {
             const Rows starts = rowStarts(cursor_.line);
             return LogPosition{cursor_.line, (*starts)[rowPlaceOf(cursor_).row]};
         },
         false},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine,
         [&] {
             const Rows rows = rowStarts(cursor_.line);
             const std::vector<std::size_t>& starts = *rows;
             const std::size_t row = rowPlaceOf(cursor_).row;
             // A wrapped row ends before its last character (the blank it broke at), so the
             // caret stays on it.
             return LogPosition{cursor_.line, row + 1 < starts.size() ? starts[row + 1] - 1
                                                                      : line(cursor_.line).size()};
         },
         false},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument,
         [&] { return LogPosition{}; }, false},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, [&] { return end; },
         false},
    };
    // Ctrl+Up and Ctrl+Down scroll a row and leave the caret, as Qt's text boxes do.
    if ((event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
        scrollRows(event->key() == Qt::Key_Up ? -1 : 1);
        event->accept();
        return;
    }
    for (const auto& move : moves) {
        const bool select = event->matches(move.select);
        if (select || event->matches(move.move)) {
            if (move.keepsX && preferredX_ < 0) {
                preferredX_ = xInRow(cursor_);
            }
            const double keptX = preferredX_;
            LogPosition to = move.to();
            // Left and Right on a selection end it at its start or its end.
            if (!select && hasSelection() && move.move == QKeySequence::MoveToNextChar) {
                to = anchor_ < cursor_ ? cursor_ : anchor_;
            } else if (!select && hasSelection() && move.move == QKeySequence::MoveToPreviousChar) {
                to = anchor_ < cursor_ ? anchor_ : cursor_;
            }
            if (move.move == QKeySequence::MoveToNextPage) {
                scrollRows(page);
            } else if (move.move == QKeySequence::MoveToPreviousPage) {
                scrollRows(-page);
            }
            moveCursor(to, select);
            preferredX_ = move.keepsX ? keptX : -1;
            return;
        }
    }
    if (event->matches(QKeySequence::Undo) ||
        (event->key() == Qt::Key_Backspace && event->modifiers() == Qt::AltModifier) ||
        (event->matches(QKeySequence::Redo) && lastWasUndo_)) {
        undo();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::Cut)) {
        cut();
    } else if (event->matches(QKeySequence::Paste)) {
        paste();
    } else if (event->matches(QKeySequence::DeleteStartOfWord)) {
        if (!hasSelection()) {
            anchor_ = previousWord(cursor_);
        }
        replaceSelection({""});
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        if (!hasSelection()) {
            anchor_ = nextWord(cursor_);
        }
        replaceSelection({""});
    } else if (event->key() == Qt::Key_Backspace && !(event->modifiers() & Qt::ControlModifier)) {
        deleteBackOrForward(false);
    } else if (event->matches(QKeySequence::Delete)) {
        deleteBackOrForward(true);
    } else if (isTyping(event)) {
        insertTyped(event->text());
    } else {
        // Enter, Esc and the rest go on to the window.
        event->ignore();
        return;
    }
    event->accept();
}

void LogView::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty()) {
        insertTyped(event->commitString());
    }
    // What is being composed is shown at the caret until it is committed.
    if (event->preeditString() != preedit_) {
        preedit_ = event->preeditString();
        viewport()->update();
    }
    event->accept();
}

QVariant LogView::inputMethodQuery(Qt::InputMethodQuery query) const {
    switch (query) {
        case Qt::ImEnabled:
            return true;
        case Qt::ImCursorRectangle: {
            long row = 0;
            double x = 0;
            // In the widget's coordinates: the viewport sits inside the frame.
            if (locate(cursor_, row, x)) {
                return QRect(static_cast<int>(x), kMargin + static_cast<int>(row) * lineSpacing_, 1,
                             lineSpacing_)
                    .translated(viewport()->geometry().topLeft());
            }
            return QRect();
        }
        case Qt::ImCursorPosition:
            return static_cast<int>(cursor_.column);
        case Qt::ImAnchorPosition:
            return static_cast<int>(anchor_.line == cursor_.line ? anchor_.column : cursor_.column);
        case Qt::ImSurroundingText:
            return decodeLine(lines_.line(cursor_.line));
        case Qt::ImCurrentSelection:
            return selectedText();
        default:
            return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void LogView::mousePressEvent(QMouseEvent* event) {
    typingRun_ = false;
    const QPoint point = event->position().toPoint();
    if (event->button() == Qt::MiddleButton) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection()) {
            // The click places the caret (ending a selection, which must not stay painted) and
            // pastes the X selection there, an edit of its own.
            cursor_ = anchor_ = positionAt(point);
            viewport()->update();
            restartBlink();
            caretMoved();
            const QString text = clipboard->text(QClipboard::Selection);
            if (!text.isEmpty()) {
                replaceSelection(linesOf(text));
            }
        }
        return;
    }
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const LogPosition at = positionAt(point);
    if (tripleClick_.isActive() &&
        (point - tripleClickPoint_).manhattanLength() < QApplication::startDragDistance()) {
        tripleClick_.stop();
        anchor_ = {at.line, 0};
        cursor_ = at.line + 1 < lines_.lineCount()
                      ? LogPosition{at.line + 1, 0}
                      : LogPosition{at.line, lines_.line(at.line).size()};
        viewport()->update();
        restartBlink();
        caretMoved();
        copyToSelectionClipboard();
        return;
    }
    dragging_ = true;
    lastDragPoint_ = point;
    moveCursor(at, (event->modifiers() & Qt::ShiftModifier) != 0);
    preferredX_ = -1;
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
        return;
    }
    lastDragPoint_ = event->position().toPoint();
    const QRect view = viewport()->rect();
    if (lastDragPoint_.y() < 0 || lastDragPoint_.y() >= view.height()) {
        if (!dragScroll_.isActive()) {
            dragScroll_.start(50, this);
        }
        return;
    }
    dragScroll_.stop();
    cursor_ = positionAt(lastDragPoint_);
    viewport()->update();
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && dragging_) {
        dragging_ = false;
        dragScroll_.stop();
        copyToSelectionClipboard();
    }
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const QPoint point = event->position().toPoint();
    const LogPosition at = positionAt(point);
    anchor_ = wordStart(at);
    cursor_ = wordEnd(at);
    if (anchor_ == cursor_ && cursor_.column < lines_.line(at.line).size()) {
        ++cursor_.column;  // a blank or a sign alone
    }
    dragging_ = false;
    tripleClickPoint_ = point;
    tripleClick_.start(QApplication::doubleClickInterval(), this);
    copyToSelectionClipboard();
    viewport()->update();
    restartBlink();
    caretMoved();
}

void LogView::autoScroll() {
    scrollRows(lastDragPoint_.y() < 0 ? -1 : 1);
    const QPoint inside(lastDragPoint_.x(),
                        std::clamp(lastDragPoint_.y(), 0, viewport()->height() - 1));
    cursor_ = positionAt(inside);
    viewport()->update();
}

void LogView::wheelEvent(QWheelEvent* event) {
    // The system's rows a notch (120 units); a touchpad's small steps add up to rows.
    constexpr int kNotch = 120;
    wheelAngle_ += event->angleDelta().y() * std::max(1, QApplication::wheelScrollLines());
    const int rows = wheelAngle_ / kNotch;
    wheelAngle_ -= rows * kNotch;
    if (rows != 0) {
        scrollRows(-rows);
    }
    event->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const bool selected = hasSelection();
    const auto add = [&](const char* text, QKeySequence::StandardKey key, bool enabled,
                         auto action) {
        QAction* made = menu.addAction(text);
        made->setShortcut(key);
        made->setEnabled(enabled);
        connect(made, &QAction::triggered, this, action);
    };
    add("&Undo", QKeySequence::Undo, canUndo(), [this] { undo(); });
    menu.addSeparator();
    add("Cu&t", QKeySequence::Cut, selected, [this] { cut(); });
    add("&Copy", QKeySequence::Copy, selected, [this] { copy(); });
    add("&Paste", QKeySequence::Paste, !QGuiApplication::clipboard()->text().isEmpty(),
        [this] { paste(); });
    add("Delete", QKeySequence::UnknownKey, selected, [this] { replaceSelection({""}); });
    menu.addSeparator();
    add("Select &All", QKeySequence::SelectAll, !lines_.empty(), [this] { selectAll(); });
    menu.exec(event->globalPos());
}

void LogView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
}

void LogView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    blink_.stop();
    caretShown_ = false;
    viewport()->update();
}

void LogView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == blink_.timerId()) {
        caretShown_ = !caretShown_;
        long row = 0;
        double x = 0;
        if (locate(cursor_, row, x)) {
            viewport()->update(QRect(static_cast<int>(x) - 1,
                                     kMargin + static_cast<int>(row) * lineSpacing_, 3,
                                     lineSpacing_));
        }
    } else if (event->timerId() == dragScroll_.timerId()) {
        autoScroll();
    } else if (event->timerId() == tripleClick_.timerId()) {
        tripleClick_.stop();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

}  // namespace nira::ui

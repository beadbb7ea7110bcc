#pragma once
// The log on screen: lines of bytes (Windows-1251, control bytes shown as their pictures) painted
// for the visible rows only and wrapped at the right edge. The vertical scroll bar counts lines;
// a line taller than the view is scrolled through row by row. The operator may type anywhere,
// select with mouse and keys and copy; Enter is not taken and Tab moves the focus on.

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "ui/glyph_table.hpp"
#include "ui/log_lines.hpp"

namespace nira::ui {

class LogView : public QAbstractScrollArea {
    Q_OBJECT

  public:
    explicit LogView(QWidget* parent = nullptr);

    const LogLines& lines() const { return lines_; }
    // The whole text at once (an opened file); one change report. Undo takes it back (the log
    // before it, with what the receiver added since) as it takes back an edit.
    void setLines(LogLines lines);
    // Adds lines at the end (the first joins the last line). The view follows them when it was
    // at the bottom with nothing selected. One change report.
    void append(const std::vector<std::string>& lines);
    // Empties the log; one change report (a blocked signal makes it none). Undo takes it back.
    void clear();
    // The text as shown, lines joined by LF.
    QString toPlainText() const;
    int blockCount() const { return static_cast<int>(lines_.lineCount()); }

    LogPosition cursorPosition() const { return cursor_; }
    bool hasSelection() const { return anchor_ != cursor_; }
    void setSelection(LogPosition anchor, LogPosition cursor);
    QString selectedText() const;
    // The text between two places (in either order) as shown, lines joined by LF.
    QString textBetween(LogPosition a, LogPosition b) const;
    LogPosition anchorPosition() const { return anchor_; }
    // Replaces the text between two places as the operator's edit (one undo step), as assistive
    // tools edit.
    void replaceRange(LogPosition from, LogPosition to, const QString& text);
    // Scrolls the least that brings a place into view.
    void ensureVisible(LogPosition position);
    // Where a place's character is on the viewport; empty when it is not in view.
    QRect characterRect(LogPosition position) const;
    void selectAll();
    void copy() const;
    void cut();
    void paste();
    // Takes back the operator's last edit (a typed run, a paste, a cut, a delete); once more
    // puts it back, as an edit box does. Receiver lines appended meanwhile stay.
    void undo();
    bool canUndo() const { return undo_.has_value(); }
    // The step to take back replaced the whole text (Esc's emptying, an opened file).
    bool canUndoWholeText() const { return undo_.has_value() && undo_->wholeText; }

    // At the bottom: the last row is in view and nothing comes after it.
    bool atBottom() const;
    // The place under a point of the viewport.
    LogPosition positionAt(QPoint point) const;
    // Where a line's first row is in the viewport; empty when the row is not in view.
    QRect lineRect(std::size_t line) const;

  signals:
    void textChanged();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    // A place in the rows: a line and a row of its wrapped rows.
    struct RowPlace {
        std::size_t line = 0;
        std::size_t row = 0;
        friend bool operator==(const RowPlace&, const RowPlace&) = default;
        friend bool operator<(const RowPlace& a, const RowPlace& b) {
            return std::tie(a.line, a.row) < std::tie(b.line, b.row);
        }
        friend bool operator>(const RowPlace& a, const RowPlace& b) { return b < a; }
        friend bool operator>=(const RowPlace& a, const RowPlace& b) { return !(a < b); }
    };

    void measureFont();
    // Draws a row's bytes as shown from x on the row at y.
    void drawBytes(QPainter& painter, double x, int y, std::string_view bytes) const;
    // The starts of a line's wrapped rows (the first is 0); a long line's are shared, not copied.
    using Rows = std::shared_ptr<const std::vector<std::size_t>>;
    Rows rowStarts(std::size_t line) const;
    std::vector<std::size_t> wrap(std::string_view line) const;
    // Goes on wrapping from the last start in `starts`; stops early, true, when `meets` says a
    // new start is where an old one was (the rest then follow from the old ones).
    bool wrapFrom(std::string_view line, std::vector<std::size_t>& starts,
                  const std::function<bool(std::size_t)>& meets) const;
    // A long line's rows after an edit of bytes [from, to) into `inserted` bytes within it,
    // worked out from its rows before (only the rows the edit moves are wrapped again).
    Rows rewrapped(std::size_t line, const std::vector<std::size_t>& old, std::size_t from,
                   std::size_t to, std::size_t inserted) const;
    // The scroll bar's value for a place: lines, each in steps for its rows.
    long long barValue(RowPlace place) const;
    std::size_t rowCount(std::size_t line) const;
    // Every change of the text goes through here, which keeps the row counts in step.
    LogPosition edit(LogPosition from, LogPosition to, const std::vector<std::string>& lines);
    int fullRows() const;
    int textWidth() const;
    double advanceOf(std::string_view bytes) const;
    // The top place that shows the last row at the bottom.
    RowPlace bottomPlace() const;
    // Moves a place by rows (negative: up); returns the rows left over past the text's end (or,
    // negative, its start).
    long walkRows(RowPlace& place, long rows) const;
    // The row a place is in, and (when asked) its x from the row's start.
    RowPlace rowPlaceOf(LogPosition position, double* x = nullptr) const;
    double xInRow(LogPosition position) const;
    // The place in a row nearest to x from the row's start.
    LogPosition columnAt(RowPlace place, double x) const;
    // Moves the top by rows (negative: up), within the text.
    void scrollRows(long rows);
    void setTop(RowPlace top);
    void updateScrollBar();
    // Where a place is: its row (counted from the top row, may be negative) and x.
    bool locate(LogPosition position, long& row, double& x) const;
    void ensureCursorVisible();
    void moveCursor(LogPosition to, bool select);
    LogPosition rowMove(LogPosition from, long rows) const;
    LogPosition wordStart(LogPosition at) const;
    LogPosition wordEnd(LogPosition at) const;
    // Every edit of the operator's goes through here; `typing` keeps a typed run one undo step.
    void replaceSelection(const std::vector<std::string>& lines, bool typing = false);
    void insertTyped(const QString& text);
    void deleteBackOrForward(bool forward);
    void changed();
    // Tells assistive tools where the caret and the selection are now.
    void caretMoved();
    void restartBlink();
    void autoScroll();
    void copyToSelectionClipboard() const;

    LogLines lines_;
    // The log before the operator's last edit (its chunks shared with the log, so a big
    // deletion costs no copy), and where receiver lines were appended after it.
    struct UndoStep {
        LogLines lines;
        LogPosition anchor;
        LogPosition cursor;
        std::optional<LogPosition> appendedFrom;
        bool wholeText = false;
    };
    std::optional<UndoStep> undo_;
    bool typingRun_ = false;
    bool lastWasUndo_ = false;
    // Each line's wrapped rows, counted when first needed (0: not yet).
    mutable std::vector<std::uint16_t> rows_;
    // The rows of lines this long are kept once wrapped.
    static constexpr std::size_t kLongLine = std::size_t{64} * 1024;
    mutable std::unordered_map<std::size_t, Rows> longLines_;
    // The scroll bar's steps per line: a line taller than the view is moved through in them.
    int barSteps_ = 1;
    std::optional<RowPlace> barTarget_;  // where an arrow or page click of the bar goes
    LogPosition cursor_;
    LogPosition anchor_;
    double preferredX_ = -1;  // the x Up and Down keep
    RowPlace top_;
    bool settingBar_ = false;
    std::unique_ptr<GlyphTable> glyphs_;
    std::array<double, 256> advances_{};  // each byte's, as shown
    std::array<bool, 256> framed_{};      // a control byte whose picture the view draws itself
    QFont pictureFont_;
    int lineSpacing_ = 1;
    int ascent_ = 0;
    QBasicTimer blink_;
    bool caretShown_ = false;
    QString preedit_;  // what an input method is composing, shown at the caret
    QBasicTimer dragScroll_;
    bool dragging_ = false;
    QPoint lastDragPoint_;
    int wheelAngle_ = 0;  // what the wheel turned short of a row
    QBasicTimer tripleClick_;
    QPoint tripleClickPoint_;
};

}  // namespace nira::ui

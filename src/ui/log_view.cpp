#include "ui/log_view.hpp"

#include <QAccessible>
#include <QEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/log_codec.hpp"
#include "ui/log_view_accessible.hpp"
#include "ui/log_view_parts.hpp"

// The view's layout: wrapping, rows, scrolling and painting, and the text as a whole.

namespace nira::ui {

using namespace log_view_parts;

namespace {

// A scroll bar that repaints only when what it shows changes: a line more in a long log moves
// the thumb by less than a pixel, and the bar's painting would cost more than the line's.
class LogScrollBar : public QScrollBar {
  public:
    explicit LogScrollBar(Qt::Orientation orientation) : QScrollBar(orientation) {}

    // Range, page and value in one step: no repaint for the steps between.
    void place(int maximum, int page, int value) {
        quiet_ = true;
        setRange(0, maximum);
        setPageStep(page);
        setValue(value);
        quiet_ = false;
        if (const Look now = look(); now != shown_) {
            shown_ = now;
            update();
        }
    }

  protected:
    void sliderChange(SliderChange change) override {
        if (quiet_) {
            return;
        }
        shown_ = look();
        QScrollBar::sliderChange(change);
    }

  private:
    struct Look {
        QRect thumb;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look&) const = default;
    };
    Look look() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider,
                                        this),
                value() == minimum(), value() == maximum()};
    }
    Look shown_;
    bool quiet_ = false;
};

}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent), rows_(1, 0) {
    setVerticalScrollBar(new LogScrollBar(Qt::Vertical));
    // Both bars are always on, so the area has nothing to show or hide when a range changes; its
    // new layout on every line would repaint the frame and both bars.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    disconnect(verticalScrollBar(), &QScrollBar::rangeChanged, this, nullptr);
    // The bar's arrows and page clicks move by rows, also through a line taller than the view.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this](int action) {
        long rows = 0;
        switch (action) {
            case QAbstractSlider::SliderSingleStepAdd:
                rows = 1;
                break;
            case QAbstractSlider::SliderSingleStepSub:
                rows = -1;
                break;
            case QAbstractSlider::SliderPageStepAdd:
                rows = std::max(1, fullRows() - 1);
                break;
            case QAbstractSlider::SliderPageStepSub:
                rows = -std::max(1, fullRows() - 1);
                break;
            default:
                return;
        }
        RowPlace target = top_;
        walkRows(target, rows);
        target = std::min(target, bottomPlace());
        barTarget_ = target;
        verticalScrollBar()->setSliderPosition(static_cast<int>(barValue(target)));
    });
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    measureFont();
    updateScrollBar();
    LogViewAccessible::install();
}

void LogView::measureFont() {
    QFont font = this->font();
    // Without kerning a row's width is the sum of its characters', so measuring, painting and
    // placing the caret agree.
    if (font.kerning()) {
        font.setKerning(false);
        setFont(font);
        return;  // the change event measures again
    }
    glyphs_ = std::make_unique<GlyphTable>(font);
    // A control byte's picture the font lacks would be a box like every other's (NUL could not
    // be told from CR): it is drawn here instead, as the byte's hex in a small frame.
    pictureFont_ = font;
    pictureFont_.setPixelSize(std::max(6, QFontInfo(font).pixelSize() * 3 / 5));
    // A bitmap font (Windows' MS Sans Serif) may have no face that small: an outline one may.
    pictureFont_.setStyleStrategy(QFont::ForceOutline);
    const QFontMetricsF small(pictureFont_);
    const double pictureWidth = std::ceil(small.horizontalAdvance(QStringLiteral("0D")) + 4);
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        const QChar c = shown(static_cast<char>(b));
        const bool picture = byte < 0x20 || byte == 0x7F || byte == 0x98;
        framed_[byte] = picture && glyphs_->glyph(c) == 0;
        advances_[byte] = framed_[byte] ? pictureWidth : glyphs_->advance(c);
    }
    const QFontMetrics whole(font);
    lineSpacing_ = std::max(1, whole.lineSpacing());
    ascent_ = whole.ascent();
}

void LogView::drawBytes(QPainter& painter, double x, int y, std::string_view bytes) const {
    const int baseline = y + ascent_;
    std::size_t from = 0;
    const auto drawPlain = [&](std::size_t to) {
        if (to > from) {
            const QString text = decodeLine(bytes.substr(from, to - from));
            if (!glyphs_->draw(painter, QPointF(x, baseline), text)) {
                painter.drawText(QPointF(x, baseline), text);
            }
            x += advanceOf(bytes.substr(from, to - from));
        }
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (!framed_[byte]) {
            continue;
        }
        drawPlain(i);
        // The frame a little inside the character's cell, the hex in it.
        const QRectF frame(x + 1, y + 2, advances_[byte] - 2, lineSpacing_ - 4);
        painter.save();
        painter.setFont(pictureFont_);
        QPen pen = painter.pen();
        pen.setWidthF(1);
        painter.setPen(pen);
        painter.drawRect(frame.adjusted(0.5, 0.5, -0.5, -0.5));
        painter.drawText(
            frame, Qt::AlignCenter,
            QStringLiteral("%1").arg(static_cast<uint>(byte), 2, 16, QLatin1Char('0')).toUpper());
        painter.restore();
        x += advances_[byte];
        from = i + 1;
    }
    drawPlain(bytes.size());
}

int LogView::textWidth() const {
    return std::max(1, viewport()->width() - 2 * kMargin);
}

int LogView::fullRows() const {
    return std::max(1, (viewport()->height() - kMargin) / lineSpacing_);
}

double LogView::advanceOf(std::string_view bytes) const {
    double x = 0;
    for (const char c : bytes) {
        x += advances_[static_cast<unsigned char>(c)];
    }
    return x;
}

LogView::Rows LogView::rowStarts(std::size_t line) const {
    const std::string_view text = lines_.line(line);
    if (text.size() < kLongLine) {
        return std::make_shared<const std::vector<std::size_t>>(wrap(text));
    }
    // A line of megabytes (a file without line breaks) is wrapped once, not for every look.
    auto known = longLines_.find(line);
    if (known == longLines_.end()) {
        known =
            longLines_.emplace(line, std::make_shared<const std::vector<std::size_t>>(wrap(text)))
                .first;
    }
    return known->second;
}

std::vector<std::size_t> LogView::wrap(std::string_view line) const {
    std::vector<std::size_t> starts{0};
    wrapFrom(line, starts, nullptr);
    return starts;
}

bool LogView::wrapFrom(std::string_view line, std::vector<std::size_t>& starts,
                       const std::function<bool(std::size_t)>& meets) const {
    // A row's breaks depend only on the text from its start, so wrapping may begin at any row.
    const double width = textWidth();
    double x = 0;
    std::size_t rowStart = starts.back();
    std::size_t breakAfter = kNone;  // just past the row's last blank
    for (std::size_t i = rowStart; i < line.size(); ++i) {
        const double advance = advances_[static_cast<unsigned char>(line[i])];
        if (line[i] == ' ') {
            // Blanks may hang past the edge; a row breaks after them.
            x += advance;
            breakAfter = i + 1;
            continue;
        }
        if (x + advance > width && i > rowStart) {
            const std::size_t next = breakAfter != kNone && breakAfter > rowStart ? breakAfter : i;
            starts.push_back(next);
            if (meets && meets(next)) {
                return true;
            }
            rowStart = next;
            breakAfter = kNone;
            x = advanceOf(line.substr(next, i - next));
        }
        x += advance;
    }
    return false;
}

LogView::Rows LogView::rewrapped(std::size_t line, const std::vector<std::size_t>& old,
                                 std::size_t from, std::size_t to, std::size_t inserted) const {
    const std::string_view text = lines_.line(line);
    if (text.size() < kLongLine) {
        return nullptr;
    }
    // The row before the one the edit begins in may break elsewhere now; those before it not.
    const auto holding = std::upper_bound(old.begin(), old.end(), from) - old.begin() - 1;
    std::vector<std::size_t> starts(old.begin(),
                                    old.begin() + std::max<std::ptrdiff_t>(holding, 1));
    const auto shift = static_cast<std::int64_t>(inserted) - static_cast<std::int64_t>(to - from);
    const std::size_t editEnd = from + inserted;
    auto oldTail = std::lower_bound(old.begin(), old.end(), to);
    const bool met = wrapFrom(text, starts, [&](std::size_t start) {
        if (start < editEnd) {
            return false;
        }
        // Past the edit the text is the old one moved by the shift: a start that was one
        // before makes the same rows after it.
        const auto was = static_cast<std::size_t>(static_cast<std::int64_t>(start) - shift);
        oldTail = std::lower_bound(oldTail, old.end(), was);
        return oldTail != old.end() && *oldTail == was;
    });
    if (met) {
        for (auto rest = oldTail + 1; rest != old.end(); ++rest) {
            starts.push_back(static_cast<std::size_t>(static_cast<std::int64_t>(*rest) + shift));
        }
    }
    return std::make_shared<const std::vector<std::size_t>>(std::move(starts));
}

std::size_t LogView::rowCount(std::size_t line) const {
    std::uint16_t& known = rows_[line];
    if (known == 0) {
        const std::size_t rows = rowStarts(line)->size();
        if (rows >= 0xFFFF) {
            return rows;  // too many to keep here: a long line's rows are kept beside
        }
        known = static_cast<std::uint16_t>(rows);
    }
    return known;
}

long LogView::walkRows(RowPlace& place, long rows) const {
    for (; rows > 0; --rows) {
        if (place.row + 1 < rowCount(place.line)) {
            ++place.row;
        } else if (place.line + 1 < lines_.lineCount()) {
            place = {place.line + 1, 0};
        } else {
            break;
        }
    }
    for (; rows < 0; ++rows) {
        if (place.row > 0) {
            --place.row;
        } else if (place.line > 0) {
            place = {place.line - 1, rowCount(place.line - 1) - 1};
        } else {
            break;
        }
    }
    return rows;
}

LogView::RowPlace LogView::rowPlaceOf(LogPosition position, double* x) const {
    const Rows rows = rowStarts(position.line);
    const std::vector<std::size_t>& starts = *rows;
    const auto after = std::upper_bound(starts.begin(), starts.end(), position.column);
    const auto row = static_cast<std::size_t>(after - starts.begin()) - 1;
    if (x != nullptr) {
        const std::string_view text = lines_.line(position.line);
        const std::size_t column = std::min(position.column, text.size());
        *x = advanceOf(text.substr(starts[row], column - starts[row]));
    }
    return {position.line, row};
}

double LogView::xInRow(LogPosition position) const {
    double x = 0;
    rowPlaceOf(position, &x);
    return x;
}

LogPosition LogView::columnAt(RowPlace place, double x) const {
    const std::string_view text = lines_.line(place.line);
    const Rows rows = rowStarts(place.line);
    const std::vector<std::size_t>& starts = *rows;
    const std::size_t begin = starts[place.row];
    const bool lastRow = place.row + 1 == starts.size();
    const std::size_t end = lastRow ? text.size() : starts[place.row + 1];
    double at = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const double advance = advances_[static_cast<unsigned char>(text[i])];
        if (x < at + advance / 2) {
            return {place.line, i};
        }
        at += advance;
    }
    // Past a wrapped row's end: before its last character, so the caret stays on that row.
    return {place.line, lastRow || end == begin ? end : end - 1};
}

LogPosition LogView::edit(LogPosition from, LogPosition to, const std::vector<std::string>& lines) {
    if (to < from) {
        std::swap(from, to);
    }
    // Assistive tools hear what changed (only when one listens: the text costs its making).
    const bool told = LogViewAccessible::listening();
    const QString removed = told && from != to ? textBetween(from, to) : QString();
    const LogPosition end = lines_.replace(from, to, lines);
    if (told) {
        const int at = accessibleOffset(lines_.offsetOf(from));
        const QString inserted = textBetween(from, end);
        if (removed.isEmpty()) {
            QAccessibleTextInsertEvent event(this, at, inserted);
            LogViewAccessible::tell(event);
        } else {
            QAccessibleTextUpdateEvent event(this, at, removed, inserted);
            LogViewAccessible::tell(event);
        }
    }
    // The rows kept for long lines follow the edit: moved with their lines, and the one edited
    // within wrapped again only where the edit moves its rows.
    const auto added = static_cast<std::int64_t>(lines.size()) -
                       static_cast<std::int64_t>(to.line - from.line + 1);
    std::unordered_map<std::size_t, Rows> kept;
    for (const auto& [line, rows] : longLines_) {
        if (line < from.line) {
            kept.emplace(line, rows);
        } else if (line > to.line) {
            kept.emplace(static_cast<std::size_t>(static_cast<std::int64_t>(line) + added), rows);
        } else if (from.line == to.line && lines.size() == 1) {
            if (Rows edited =
                    rewrapped(line, *rows, from.column, to.column, lines.front().size())) {
                kept.emplace(line, std::move(edited));
            }
        }
    }
    longLines_ = std::move(kept);
    // The row counts of the lines replaced are forgotten; the new lines' are counted when needed.
    const auto first = rows_.begin() + static_cast<std::ptrdiff_t>(from.line);
    if (to.line - from.line + 1 == lines.size()) {
        std::fill(first, first + static_cast<std::ptrdiff_t>(lines.size()), 0);
    } else {
        rows_.erase(first, first + static_cast<std::ptrdiff_t>(to.line - from.line + 1));
        rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(from.line), lines.size(), 0);
    }
    return end;
}

LogView::RowPlace LogView::bottomPlace() const {
    const auto rows = static_cast<std::size_t>(fullRows());
    std::size_t counted = 0;
    for (std::size_t line = lines_.lineCount(); line-- > 0;) {
        counted += rowCount(line);
        if (counted >= rows) {
            return {line, counted - rows};
        }
    }
    return {};
}

bool LogView::atBottom() const {
    return top_ >= bottomPlace();
}

void LogView::setTop(RowPlace top) {
    top = std::min(top, bottomPlace());
    if (top == top_) {
        return;
    }
    // A small move shifts what is painted and paints only the rows that come into view.
    const long rows = fullRows();
    long moved = 0;
    bool near = true;
    RowPlace from = std::min(top, top_);
    const RowPlace to = std::max(top, top_);
    while (from < to) {
        if (++moved > rows) {
            near = false;
            break;
        }
        if (from.row + 1 < rowCount(from.line)) {
            ++from.row;
        } else {
            from = {from.line + 1, 0};
        }
    }
    const bool down = top_ < top;
    top_ = top;
    updateScrollBar();
    if (near) {
        // Below the top margin only: the margin stays clean.
        viewport()->scroll(0, static_cast<int>(down ? -moved : moved) * lineSpacing_,
                           QRect(0, kMargin, viewport()->width(), viewport()->height() - kMargin));
    } else {
        viewport()->update();
    }
}

void LogView::scrollRows(long rows) {
    RowPlace top = top_;
    walkRows(top, rows);
    setTop(top);
}

long long LogView::barValue(RowPlace place) const {
    const std::size_t rows = rowCount(place.line);
    long long step = 0;
    if (rows > 1 && place.row > 0) {
        // Rounded up, so the step leads back to this row (or, with more rows than steps, past
        // the rows that share it).
        step = std::min<long long>(barSteps_ - 1, (static_cast<long long>(place.row) * barSteps_ +
                                                   static_cast<long long>(rows) - 1) /
                                                      static_cast<long long>(rows));
    }
    return static_cast<long long>(place.line) * barSteps_ + step;
}

void LogView::updateScrollBar() {
    const RowPlace bottom = bottomPlace();
    top_ = std::min(top_, bottom);
    // An edit may have left the top line with fewer rows than the top row.
    top_.row = std::min(top_.row, rowCount(top_.line) - 1);
    // The page: the lines that start in view.
    std::size_t page = 0;
    long rows = fullRows() + static_cast<long>(top_.row);
    for (std::size_t line = top_.line; line < lines_.lineCount() && rows > 0; ++line) {
        rows -= static_cast<long>(rowCount(line));
        ++page;
    }
    // Steps within a line as long as the bar's range has room for them.
    constexpr std::size_t kMostSteps = 1024;
    barSteps_ = static_cast<int>(std::clamp<std::size_t>(
        static_cast<std::size_t>(std::numeric_limits<int>::max()) / (lines_.lineCount() + 1), 1,
        kMostSteps));
    settingBar_ = true;
    static_cast<LogScrollBar*>(verticalScrollBar())
        ->place(
            static_cast<int>(barValue(bottom)),
            static_cast<int>(std::max<std::size_t>(1, page) * static_cast<std::size_t>(barSteps_)),
            static_cast<int>(barValue(top_)));
    settingBar_ = false;
}

void LogView::scrollContentsBy(int, int) {
    if (settingBar_) {
        return;
    }
    const QScrollBar* bar = verticalScrollBar();
    const RowPlace bottom = bottomPlace();
    RowPlace top = bottom;
    if (barTarget_ && barValue(*barTarget_) == bar->value()) {
        top = *barTarget_;  // an arrow or a page click: the rows it asked for
    } else if (bar->value() < bar->maximum()) {
        const auto line = static_cast<std::size_t>(bar->value() / barSteps_);
        const auto step = static_cast<std::size_t>(bar->value() % barSteps_);
        const std::size_t rows = rowCount(line);
        top = {line, std::min(rows - 1, step * rows / static_cast<std::size_t>(barSteps_))};
    }
    barTarget_.reset();
    top_ = std::min(top, bottom);
    viewport()->update();
}

bool LogView::locate(LogPosition position, long& row, double& x) const {
    if (position.line < top_.line) {
        return false;
    }
    const long limit = fullRows() + 2;
    long counted = -static_cast<long>(top_.row);
    for (std::size_t line = top_.line; line < position.line; ++line) {
        counted += static_cast<long>(rowCount(line));
        if (counted > limit) {
            return false;
        }
    }
    double inRow = 0;
    row = counted + static_cast<long>(rowPlaceOf(position, &inRow).row);
    x = kMargin + inRow;
    return true;
}

QRect LogView::lineRect(std::size_t line) const {
    long row = 0;
    double x = 0;
    if (line >= lines_.lineCount() || !locate({line, 0}, row, x) || row < 0 || row > fullRows()) {
        return {};
    }
    return QRect(kMargin, kMargin + static_cast<int>(row) * lineSpacing_, textWidth(),
                 lineSpacing_);
}

LogPosition LogView::positionAt(QPoint point) const {
    const long row = point.y() < kMargin ? -1 : (point.y() - kMargin) / lineSpacing_;
    RowPlace place = top_;
    const long left = walkRows(place, row);
    if (left != 0) {
        return left > 0 ? lines_.end() : LogPosition{};
    }
    return columnAt(place, point.x() - kMargin);
}

void LogView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QPalette& colours = palette();
    const QColor text = colours.color(group, QPalette::Text);
    const QColor highlight = colours.color(group, QPalette::Highlight);
    const QColor highlighted = colours.color(group, QPalette::HighlightedText);
    const LogPosition from = std::min(anchor_, cursor_);
    const LogPosition to = std::max(anchor_, cursor_);
    const bool selection = from != to;
    painter.setFont(font());
    // Rows above the top one (of a tall line) and the remains of a scroll stay out of the margin.
    painter.setClipRect(QRect(0, kMargin, viewport()->width(), viewport()->height() - kMargin));

    int y = kMargin - static_cast<int>(top_.row) * lineSpacing_;
    for (std::size_t line = top_.line; line < lines_.lineCount() && y <= area.bottom(); ++line) {
        const std::string_view bytes = lines_.line(line);
        const Rows rows = rowStarts(line);
        const std::vector<std::size_t>& starts = *rows;
        const int height = static_cast<int>(starts.size()) * lineSpacing_;
        if (y + height <= area.top()) {
            y += height;
            continue;
        }
        // The selected columns of this line; past its end means its line break too.
        std::size_t selStart = kNone;
        std::size_t selEnd = kNone;
        if (selection && line >= from.line && line <= to.line) {
            selStart = line == from.line ? from.column : 0;
            selEnd = line == to.line ? to.column : bytes.size() + 1;
        }
        // The rows above the area are passed over at once (a long line has thousands).
        const std::size_t firstRow =
            y < area.top() ? static_cast<std::size_t>((area.top() - y) / lineSpacing_) : 0;
        y += static_cast<int>(firstRow) * lineSpacing_;
        for (std::size_t r = firstRow; r < starts.size() && y <= area.bottom();
             ++r, y += lineSpacing_) {
            const std::size_t begin = starts[r];
            const bool lastRow = r + 1 == starts.size();
            const std::size_t end = lastRow ? bytes.size() : starts[r + 1];
            const auto draw = [&](std::size_t a, std::size_t b, bool selected) {
                if (a >= b && !(selected && b > bytes.size())) {
                    return;
                }
                const double x0 = kMargin + advanceOf(bytes.substr(begin, a - begin));
                const std::string_view part = bytes.substr(a, std::min(b, end) - a);
                if (selected) {
                    double width = advanceOf(part);
                    if (b > bytes.size()) {
                        width += advances_[' '];  // the line break
                    }
                    painter.fillRect(QRectF(x0, y, width, lineSpacing_), highlight);
                }
                painter.setPen(selected ? highlighted : text);
                drawBytes(painter, x0, y, part);
            };
            if (selStart == kNone) {
                draw(begin, end, false);
                continue;
            }
            const std::size_t a = std::clamp(selStart, begin, end);
            const std::size_t b = lastRow ? std::max(a, std::min(selEnd, bytes.size() + 1))
                                          : std::clamp(selEnd, begin, end);
            draw(begin, a, false);
            draw(a, b, true);
            draw(std::min(b, end), end, false);
        }
    }

    long row = 0;
    double x = 0;
    if (hasFocus() && locate(cursor_, row, x)) {
        const double caretY = kMargin + static_cast<double>(row) * lineSpacing_;
        if (!preedit_.isEmpty()) {
            // What an input method composes, underlined where it will go, over what follows.
            const double width = QFontMetricsF(font()).horizontalAdvance(preedit_);
            painter.fillRect(QRectF(x, caretY, width, lineSpacing_),
                             colours.color(group, QPalette::Base));
            painter.setPen(text);
            painter.drawText(QPointF(x, caretY + ascent_), preedit_);
            painter.drawLine(QPointF(x, caretY + lineSpacing_ - 1),
                             QPointF(x + width, caretY + lineSpacing_ - 1));
            x += width;
        }
        if (caretShown_) {
            painter.fillRect(QRectF(x, caretY, 1, lineSpacing_), text);
        }
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    std::fill(rows_.begin(), rows_.end(), 0);
    longLines_.clear();
    updateScrollBar();
    viewport()->update();
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        measureFont();
        std::fill(rows_.begin(), rows_.end(), 0);
        longLines_.clear();
        updateScrollBar();
        viewport()->update();
    } else if (event->type() == QEvent::PaletteChange ||
               event->type() == QEvent::ActivationChange ||
               event->type() == QEvent::EnabledChange) {
        viewport()->update();
    }
}

void LogView::changed() {
    updateScrollBar();
    viewport()->update();
    emit textChanged();
}

void LogView::setLines(LogLines lines) {
    // One key (Esc, a slip) or an Open must not throw the operator's record away: the old text
    // is kept as an undo step (its chunks shared, no copy).
    undo_ = UndoStep{lines_, anchor_, cursor_, std::nullopt, true};
    lastWasUndo_ = false;
    typingRun_ = false;
    // Told as one change; a text too big to hand over is told as changed without it.
    const bool told = LogViewAccessible::listening();
    const auto small = [](const LogLines& text) {
        return text.characterCount() <= kMaxToldCharacters;
    };
    const QString removed = told && small(lines_) ? toPlainText() : QString();
    const bool wasEmpty = lines_.empty();
    lines_ = std::move(lines);
    rows_.assign(lines_.lineCount(), 0);
    longLines_.clear();
    cursor_ = anchor_ = {};
    top_ = {};
    changed();
    if (told && !(wasEmpty && lines_.empty())) {
        const QString inserted = small(lines_) ? toPlainText() : QString();
        QAccessibleTextUpdateEvent event(this, 0, removed, inserted);
        LogViewAccessible::tell(event);
    }
    caretMoved();
}

void LogView::caretMoved() {
    if (!LogViewAccessible::listening()) {
        return;
    }
    const int at = accessibleOffset(lines_.offsetOf(cursor_));
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selection(
            this, accessibleOffset(lines_.offsetOf(std::min(anchor_, cursor_))),
            accessibleOffset(lines_.offsetOf(std::max(anchor_, cursor_))));
        selection.setCursorPosition(at);
        LogViewAccessible::tell(selection);
    }
    QAccessibleTextCursorEvent event(this, at);
    LogViewAccessible::tell(event);
}

QRect LogView::characterRect(LogPosition position) const {
    long row = 0;
    double x = 0;
    if (!locate(position, row, x) || row < 0 || row > fullRows()) {
        return {};
    }
    const std::string_view line = lines_.line(position.line);
    const double advance = position.column < line.size()
                               ? advances_[static_cast<unsigned char>(line[position.column])]
                               : advances_[' '];
    return QRect(static_cast<int>(std::floor(x)), kMargin + static_cast<int>(row) * lineSpacing_,
                 std::max(1, static_cast<int>(std::ceil(advance))), lineSpacing_);
}

void LogView::clear() {
    // A second Esc (the first one closed a list, or a slip) must not make the emptied log the
    // step to take back.
    if (lines_.empty()) {
        return;
    }
    setLines(LogLines());
}

void LogView::append(const std::vector<std::string>& lines) {
    const bool follow = atBottom() && !hasSelection();
    const LogPosition oldEnd = lines_.end();
    const bool caretAtEnd = cursor_ == oldEnd && anchor_ == oldEnd;
    if (undo_ && !undo_->appendedFrom) {
        undo_->appendedFrom = oldEnd;
    }
    edit(oldEnd, oldEnd, lines);
    // A caret at the end moves along with the new text.
    if (caretAtEnd) {
        cursor_ = anchor_ = lines_.end();
    }
    if (follow) {
        setTop(bottomPlace());
    } else {
        updateScrollBar();
    }
    // What changed: the old last line and what came after it.
    long row = 0;
    double x = 0;
    if (locate({oldEnd.line, 0}, row, x)) {
        const int y = kMargin + static_cast<int>(row) * lineSpacing_;
        viewport()->update(QRect(0, std::max(0, y), viewport()->width(), viewport()->height()));
    }
    emit textChanged();
}

QString LogView::toPlainText() const {
    QString text;
    for (std::size_t i = 0; i < lines_.lineCount(); ++i) {
        if (i > 0) {
            text += '\n';
        }
        text += decodeLine(lines_.line(i));
    }
    return text;
}

}  // namespace nira::ui

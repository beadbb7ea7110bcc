#include "ui/log_view_accessible.hpp"

#include <QAccessible>
#include <algorithm>
#include <utility>

#include "ui/log_view.hpp"
#include "ui/log_view_parts.hpp"

namespace nira::ui {

using namespace log_view_parts;

namespace {

QAccessibleInterface* logViewFactory(const QString& key, QObject* object) {
    if (key == QLatin1String(LogView::staticMetaObject.className())) {
        if (auto* view = qobject_cast<LogView*>(object)) {
            return new LogViewAccessible(view);
        }
    }
    return nullptr;
}

// Accessibility is switched on and off while the program runs (a screen reader started later).
class ActivationWatch : public QAccessible::ActivationObserver {
  public:
    void accessibilityActiveChanged(bool active) override { active_ = active; }
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

ActivationWatch& activationWatch() {
    static ActivationWatch watch;
    return watch;
}

QAccessible::UpdateHandler gDiverted = nullptr;

}  // namespace

bool LogViewAccessible::listening() {
    return gDiverted != nullptr || QAccessible::isActive() || activationWatch().active();
}

void LogViewAccessible::tell(QAccessibleEvent& event) {
    if (gDiverted != nullptr) {
        gDiverted(&event);
    } else {
        QAccessible::updateAccessibility(&event);
    }
}

QAccessible::UpdateHandler LogViewAccessible::divert(QAccessible::UpdateHandler sink) {
    return std::exchange(gDiverted, sink);
}

LogViewAccessible::LogViewAccessible(LogView* view)
    : QAccessibleWidget(view, QAccessible::EditableText) {}

void LogViewAccessible::install() {
    static const bool installed = [] {
        QAccessible::installFactory(logViewFactory);
        QAccessible::installActivationObserver(&activationWatch());
        return true;
    }();
    (void)installed;
}

LogView& LogViewAccessible::view() const {
    return *static_cast<LogView*>(widget());
}

void* LogViewAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) {
        return static_cast<QAccessibleTextInterface*>(this);
    }
    if (type == QAccessible::EditableTextInterface) {
        return static_cast<QAccessibleEditableTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State LogViewAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

void LogViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !view().hasSelection()) {
        return;
    }
    const LogPosition a = view().anchorPosition();
    const LogPosition b = view().cursorPosition();
    *startOffset = accessibleOffset(view().lines().offsetOf(std::min(a, b)));
    *endOffset = accessibleOffset(view().lines().offsetOf(std::max(a, b)));
}

int LogViewAccessible::selectionCount() const {
    return view().hasSelection() ? 1 : 0;
}

void LogViewAccessible::addSelection(int startOffset, int endOffset) {
    setSelection(0, startOffset, endOffset);
}

void LogViewAccessible::removeSelection(int selectionIndex) {
    if (selectionIndex == 0) {
        view().setSelection(view().cursorPosition(), view().cursorPosition());
    }
}

void LogViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
    if (selectionIndex != 0) {
        return;
    }
    const LogLines& lines = view().lines();
    view().setSelection(lines.positionAt(static_cast<std::size_t>(std::max(0, startOffset))),
                        lines.positionAt(static_cast<std::size_t>(std::max(0, endOffset))));
}

int LogViewAccessible::cursorPosition() const {
    return accessibleOffset(view().lines().offsetOf(view().cursorPosition()));
}

void LogViewAccessible::setCursorPosition(int position) {
    const LogPosition at =
        view().lines().positionAt(static_cast<std::size_t>(std::max(0, position)));
    view().setSelection(at, at);
}

QString LogViewAccessible::text(int startOffset, int endOffset) const {
    if (endOffset < 0) {
        endOffset = characterCount();  // -1: to the end
    }
    if (startOffset < 0 || endOffset <= startOffset) {
        return {};
    }
    const LogLines& lines = view().lines();
    return view().textBetween(lines.positionAt(static_cast<std::size_t>(startOffset)),
                              lines.positionAt(static_cast<std::size_t>(endOffset)));
}

std::pair<int, int> LogViewAccessible::unitAt(int offset,
                                              QAccessible::TextBoundaryType type) const {
    const LogLines& lines = view().lines();
    const int count = characterCount();
    offset = std::clamp(offset, 0, count);
    const LogPosition at = lines.positionAt(static_cast<std::size_t>(offset));
    const std::string_view line = lines.line(at.line);
    const int lineStart = accessibleOffset(lines.offsetOf({at.line, 0}));
    // A line's unit takes its break along, as a text's line does.
    const int lineEnd = at.line + 1 < lines.lineCount()
                            ? accessibleOffset(lines.offsetOf({at.line + 1, 0}))
                            : count;
    switch (type) {
        case QAccessible::CharBoundary:
            return {offset, std::min(offset + 1, count)};
        case QAccessible::WordBoundary: {
            if (at.column >= line.size()) {
                return {offset, std::min(offset + 1, count)};  // the break
            }
            // A run of word characters, or of the others, with the offset in it.
            const bool word = isWordChar(line[at.column]);
            std::size_t from = at.column;
            std::size_t to = at.column;
            while (from > 0 && isWordChar(line[from - 1]) == word) {
                --from;
            }
            while (to < line.size() && isWordChar(line[to]) == word) {
                ++to;
            }
            return {lineStart + static_cast<int>(from), lineStart + static_cast<int>(to)};
        }
        case QAccessible::NoBoundary:
            return {0, count};
        case QAccessible::SentenceBoundary:
        case QAccessible::ParagraphBoundary:
        case QAccessible::LineBoundary:
            break;
    }
    return {lineStart, lineEnd};
}

QString LogViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                        int* startOffset, int* endOffset) const {
    const auto [start, end] = unitAt(offset, boundaryType);
    *startOffset = start;
    *endOffset = end;
    return text(start, end);
}

QString LogViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int* startOffset, int* endOffset) const {
    const int start = unitAt(offset, boundaryType).first;
    if (start <= 0) {
        *startOffset = *endOffset = 0;
        return {};
    }
    return textAtOffset(start - 1, boundaryType, startOffset, endOffset);
}

QString LogViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int* startOffset, int* endOffset) const {
    const int end = unitAt(offset, boundaryType).second;
    if (end >= characterCount()) {
        *startOffset = *endOffset = characterCount();
        return {};
    }
    return textAtOffset(end, boundaryType, startOffset, endOffset);
}

int LogViewAccessible::characterCount() const {
    return accessibleOffset(view().lines().characterCount());
}

QRect LogViewAccessible::characterRect(int offset) const {
    const QRect onViewport = view().characterRect(
        view().lines().positionAt(static_cast<std::size_t>(std::max(0, offset))));
    if (onViewport.isEmpty()) {
        return {};
    }
    return QRect(view().viewport()->mapToGlobal(onViewport.topLeft()), onViewport.size());
}

int LogViewAccessible::offsetAtPoint(const QPoint& point) const {
    const QPoint local = view().viewport()->mapFromGlobal(point);
    if (!view().viewport()->rect().contains(local)) {
        return -1;
    }
    return accessibleOffset(view().lines().offsetOf(view().positionAt(local)));
}

void LogViewAccessible::scrollToSubstring(int startIndex, int endIndex) {
    const LogLines& lines = view().lines();
    view().ensureVisible(lines.positionAt(static_cast<std::size_t>(std::max(0, endIndex))));
    view().ensureVisible(lines.positionAt(static_cast<std::size_t>(std::max(0, startIndex))));
}

QString LogViewAccessible::attributes(int offset, int* startOffset, int* endOffset) const {
    // One look for the whole text.
    (void)offset;
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

void LogViewAccessible::deleteText(int startOffset, int endOffset) {
    replaceText(startOffset, endOffset, QString());
}

void LogViewAccessible::insertText(int offset, const QString& text) {
    replaceText(offset, offset, text);
}

void LogViewAccessible::replaceText(int startOffset, int endOffset, const QString& text) {
    const LogLines& lines = view().lines();
    view().replaceRange(lines.positionAt(static_cast<std::size_t>(std::max(0, startOffset))),
                        lines.positionAt(static_cast<std::size_t>(std::max(0, endOffset))), text);
}

}  // namespace nira::ui

#pragma once
// What assistive tools (screen readers, magnifiers; AT-SPI on Linux, UI Automation on Windows) see
// of the log: an editable multi-line text with its caret and selection, read a piece at a time
// on request, so a log of a million lines costs nothing until asked.

#include <QAccessibleWidget>

namespace nira::ui {

class LogView;

class LogViewAccessible : public QAccessibleWidget,
                          public QAccessibleTextInterface,
                          public QAccessibleEditableTextInterface {
  public:
    explicit LogViewAccessible(LogView* view);

    // Makes Qt hand this out for every log view (once per program).
    static void install();
    // Whether an assistive tool listens: the view then tells it of every change (the text of a
    // change costs its making, so only then).
    static bool listening();
    // Hands an event to the assistive tools.
    static void tell(QAccessibleEvent& event);
    // Sends the events to `sink` instead (nullptr: to the tools again), as if a tool listened;
    // returns the sink before. For checking what is told where no tool can listen.
    static QAccessible::UpdateHandler divert(QAccessible::UpdateHandler sink);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;

    // Text.
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

    // Editable text: each an edit of the operator's, taken back by Undo.
    void deleteText(int startOffset, int endOffset) override;
    void insertText(int offset, const QString& text) override;
    void replaceText(int startOffset, int endOffset, const QString& text) override;

  private:
    LogView& view() const;
    // The unit of a kind (character, word, line...) around an offset: its start and end.
    std::pair<int, int> unitAt(int offset, QAccessible::TextBoundaryType type) const;
};

}  // namespace nira::ui

#pragma once
// Text drawn straight from a font's glyphs, one glyph per character, without text shaping. What
// changes with every message (a log row, the last event's labels) is plain Latin or Cyrillic
// text, and shaping it again for each paint and each size cost more than the rest of a message.
// A character the font has no glyph for (a control picture in a font without them) makes the
// caller draw that text the ordinary way.

#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QRawFont>
#include <QStringView>
#include <utility>

class QPainter;
class QPointF;

namespace nira::ui {

class GlyphTable {
  public:
    explicit GlyphTable(const QFont& font);

    // The character's glyph in the font (0: none) and its advance (with no glyph, the advance
    // ordinary drawing gives it).
    quint32 glyph(QChar c) const { return entry(c).first; }
    double advance(QChar c) const { return entry(c).second; }
    double width(QStringView text) const;
    // Draws the text with its baseline starting at `origin`; false, drawing nothing, when a
    // character has no glyph.
    bool draw(QPainter& painter, const QPointF& origin, QStringView text) const;

  private:
    const std::pair<quint32, double>& entry(QChar c) const;

    QFont font_;
    QRawFont raw_;
    mutable QHash<char16_t, std::pair<quint32, double>> known_;
    mutable QGlyphRun run_;
};

}  // namespace nira::ui

#include "ui/glyph_table.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QPointF>
#include <QVector>
#include <cmath>

namespace nira::ui {

GlyphTable::GlyphTable(const QFont& font) : font_(font), raw_(QRawFont::fromFont(font)) {}

const std::pair<quint32, double>& GlyphTable::entry(QChar c) const {
    const auto found = known_.constFind(c.unicode());
    if (found != known_.constEnd()) {
        return *found;
    }
    quint32 glyph = 0;
    double advance = 0;
    if (raw_.isValid() && raw_.supportsCharacter(c)) {
        const QList<quint32> glyphs = raw_.glyphIndexesForString(QString(c));
        if (glyphs.size() == 1) {
            glyph = glyphs.front();
            const QList<QPointF> advances = raw_.advancesForGlyphIndexes(glyphs);
            advance = advances.isEmpty() ? 0 : advances.front().x();
        }
    }
    if (glyph == 0) {
        advance = QFontMetricsF(font_).horizontalAdvance(c);
    }
    return *known_.insert(c.unicode(), {glyph, advance});
}

double GlyphTable::width(QStringView text) const {
    double total = 0;
    for (const QChar c : text) {
        total += advance(c);
    }
    return total;
}

bool GlyphTable::draw(QPainter& painter, const QPointF& origin, QStringView text) const {
    if (text.isEmpty()) {
        return true;
    }
    QList<quint32> glyphs;
    QList<QPointF> positions;
    glyphs.reserve(text.size());
    positions.reserve(text.size());
    double x = 0;
    for (const QChar c : text) {
        const auto& [glyph, advance] = entry(c);
        if (glyph == 0) {
            return false;
        }
        glyphs.append(glyph);
        // On whole pixels, where each glyph is drawn once and then copied from the cache; at
        // fractional places every glyph comes in several renderings.
        positions.append(QPointF(std::round(x), 0));
        x += advance;
    }
    run_.setRawFont(raw_);
    run_.setGlyphIndexes(glyphs);
    run_.setPositions(positions);
    painter.drawGlyphRun(QPointF(std::round(origin.x()), std::round(origin.y())), run_);
    return true;
}

}  // namespace nira::ui

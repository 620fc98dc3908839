#include "baytile.h"

#include "bayprogress.h"

#include <QLabel>
#include <QLayout>
#include <QPushButton>

// What a tile needs, whatever it will say, for the grid to lay the bays
// out before any of them has said anything.

QFont BayTile::bigFont(double scale) const
{
    QFont big = font();
    big.setPointSizeF(font().pointSizeF() * scale);
    big.setBold(true);
    return big;
}

QFont BayTile::smallFont() const
{
    QFont small = font();
    small.setPointSizeF(font().pointSizeF() * 0.9);
    return small;
}

int BayTile::rowHeight() const
{
    return std::max(progress->sizeHint().height(), next->sizeHint().height());
}

void BayTile::setScale(double scale)
{
    number->setFont(bigFont(scale));
    state->setFont(bigFont(scale));
}

int BayTile::narrowest(double scale) const
{
    const QFontMetrics big(bigFont(scale));
    int widest = big.horizontalAdvance(number->text());
    for (const QString &words : everyWord()) {
        for (const QString &word : words.split(u' '))
            widest = std::max(widest, big.horizontalAdvance(word));
    }
    const QMargins margins = layout()->contentsMargins();
    return widest + margins.left() + margins.right() + 2 * frameWidth();
}

int BayTile::comfortable(double scale) const
{
    const QFontMetrics big(bigFont(scale));
    int widest = big.horizontalAdvance(number->text());
    for (const QString &words : everyWord())
        widest = std::max(widest, big.boundingRect(words).width());
    const QMargins margins = layout()->contentsMargins();
    return widest + big.averageCharWidth() + margins.left() + margins.right() + 2 * frameWidth();
}

// Two lines for the reason at least; the rest of the tile's height is
// the reason's too.
int BayTile::heightAt(double scale, int width) const
{
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right() - 2 * frameWidth();
    // Measured as the tile's own labels lay their text out.
    QLabel measure;
    measure.setWordWrap(true);
    const auto tall = [&](const QFont &font, const QString &text) {
        measure.setFont(font);
        measure.setText(text);
        return measure.heightForWidth(inner);
    };
    int stateHeight = 0;
    for (const QString &words : everyWord())
        stateHeight = std::max(stateHeight, tall(bigFont(scale), words));
    return margins.top() + margins.bottom() + 2 * frameWidth() + 5 * layout()->spacing() +
           tall(bigFont(scale), number->text()) + stateHeight + tall(smallFont(), port.left(1)) +
           tall(smallFont(), countsOf(1000, 1000, 1000)) + detail->minimumHeight() + rowHeight();
}

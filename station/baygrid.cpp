#include "baygrid.h"

#include "baytile.h"

#include <QGridLayout>
#include <QKeyEvent>

namespace {
// The state word's size, in tenths of the window's font: 2.2 times when
// room allows, never less than the font itself.
constexpr int largestTenths = 22;
constexpr double step = 0.1;
} // namespace

BayGrid::BayGrid(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("bays"));
    setAccessibleName(QStringLiteral("Bays"));
    grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
}

void BayGrid::add(BayTile *tile)
{
    tile->setParent(this);
    tiles.push_back(tile);
}

// The largest scale at which a tile fits a cell, 0 when none does.
double BayGrid::largestScale(int width, int height) const
{
    const BayTile *widest = tiles.back(); // the most digits
    for (int tenths = largestTenths; tenths >= 10; --tenths) {
        const double scale = tenths / 10.0;
        if (widest->narrowest(scale) <= width && widest->heightAt(scale, width) <= height)
            return scale;
    }
    return 0;
}

// Each number of columns gives a cell; the one whose tiles can be largest
// wins, the fewer rows on a tie: a screen is wider than it is tall.
void BayGrid::fitTo(const QSize &room)
{
    if (tiles.empty())
        return;
    const int count = int(tiles.size());
    const int gap = grid->spacing();
    int bestColumns = 0;
    double bestScale = 0;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const int width = (room.width() - (columns - 1) * gap) / columns;
        const int height = (room.height() - (rows - 1) * gap) / rows;
        const double scale = largestScale(width, height);
        if (scale > 0 && scale > bestScale - step / 2) {
            bestScale = scale;
            bestColumns = columns;
        }
    }
    whole = bestColumns > 0;
    if (!whole) {
        // Scrolling, at the window's font, as many columns as the width takes.
        bestScale = 1.0;
        const int narrowest = tiles.back()->narrowest(1.0);
        bestColumns = std::clamp((room.width() + gap) / (narrowest + gap), 1, count);
    }
    across = bestColumns;
    size = bestScale;
    const int rows = (count + across - 1) / across;
    const int width = (room.width() - (across - 1) * gap) / across;
    const int natural =
        std::max(tiles.back()->comfortable(size), QFontMetrics(font()).averageCharWidth() * 30);
    cell = QSize(std::min(width, natural), tiles.back()->heightAt(size, std::min(width, natural)));
    if (whole)
        cell.setHeight(std::min(cell.height(), (room.height() - (rows - 1) * gap) / rows));
    place();
}

void BayGrid::place()
{
    for (BayTile *tile : tiles) {
        grid->removeWidget(tile);
        tile->setScale(size);
    }
    const int count = int(tiles.size());
    for (int i = 0; i < count; ++i)
        grid->addWidget(tiles[size_t(i)], i / across, i % across);
    // Tiles of one size, whatever each says.
    for (int c = 0; c < count; ++c)
        grid->setColumnStretch(c, c < across ? 1 : 0);
    const int rows = (count + across - 1) / across;
    for (int r = 0; r < count; ++r) {
        grid->setRowStretch(r, r < rows ? 1 : 0);
        grid->setRowMinimumHeight(r, r < rows ? tiles.back()->heightAt(size, cell.width()) : 0);
    }
    updateGeometry();
}

QSize BayGrid::sizeHint() const
{
    const int count = int(tiles.size());
    const int rows = across > 0 ? (count + across - 1) / across : 0;
    const int gap = grid->spacing();
    return QSize(across * cell.width() + (across - 1) * gap,
                 rows * cell.height() + (rows - 1) * gap);
}

// The arrows go from tile to tile as they stand; Tab goes in bay order.
void BayGrid::keyPressEvent(QKeyEvent *event)
{
    auto *from = qobject_cast<BayTile *>(focusWidget());
    const int at = from ? from->bayNumber() - 1 : -1;
    int to = -1;
    switch (event->key()) {
    case Qt::Key_Left:
        to = at % across > 0 ? at - 1 : -1;
        break;
    case Qt::Key_Right:
        to = at % across < across - 1 ? at + 1 : -1;
        break;
    case Qt::Key_Up:
        to = at - across;
        break;
    case Qt::Key_Down:
        to = at + across;
        break;
    default:
        return QWidget::keyPressEvent(event);
    }
    if (at >= 0 && to >= 0 && to < int(tiles.size()))
        tiles[size_t(to)]->setFocus(Qt::TabFocusReason);
    event->accept();
}

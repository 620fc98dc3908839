#ifndef BAYGRID_H
#define BAYGRID_H

#include <QWidget>

#include <vector>

class BayTile;
class QGridLayout;

// The tiles of a line in rows and columns, laid out for the room the
// screen gives (never for the window's own width, which the tiles would
// widen): as many columns as let every tile show at the largest size, up
// to a little over twice the window's font. When not even the window's
// font fits them all, the grid is taller than the room and scrolls.
class BayGrid : public QWidget
{
    Q_OBJECT

public:
    explicit BayGrid(QWidget *parent = nullptr);
    void add(BayTile *tile);
    void fitTo(const QSize &room);
    int columns() const { return across; }
    double scale() const { return size; }
    // Every tile fits the room given.
    bool fits() const { return whole; }
    QSize sizeHint() const override;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    double largestScale(int width, int height) const;
    void place();

    std::vector<BayTile *> tiles;
    QGridLayout *grid;
    int across = 0;
    double size = 1.0;
    bool whole = true;
    QSize cell;
};

#endif

#ifndef BAYTILE_H
#define BAYTILE_H

#include "station.h"

#include <QFrame>

class QLabel;
class QProgressBar;

// One bay of the line as people at it see it: its number and port, its
// state in words, a shape and a colour (never the colour alone), the unit's
// progress and time left or the reason it failed, and the bay's counts.
// Readable from a metre: the state's words at twice the window's font.
class BayTile : public QFrame
{
    Q_OBJECT

public:
    BayTile(int bay, const QString &port, QWidget *parent = nullptr);
    void display(const BayView &view);

    static QColor colourOf(BayView::State state);
    static QString wordsOf(BayView::State state);

private:
    QLabel *title;
    QLabel *state;
    QLabel *detail;
    QProgressBar *progress;
    QLabel *counts;
};

#endif

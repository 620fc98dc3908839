#ifndef BAYTILE_H
#define BAYTILE_H

#include "station.h"

#include <QFrame>

class BayProgress;
class QLabel;
class QPushButton;

// One bay of the line as people at it see it: its number and its state in
// words, both large (the number is what the operator reads to pull the
// right unit), with a shape and a colour (never the colour alone); the
// port, the unit's progress and time left or the reason it failed, and the
// bay's counts. A screen reader hears it all in one sentence, the tile's
// accessible name: "Bay 2, ttyUSB1, Failed, unit 7: Device canncelled,
// please retry; 3 passed, 1 failed".
class BayTile : public QFrame
{
    Q_OBJECT

public:
    BayTile(int bay, const QString &port, QWidget *parent = nullptr);
    void display(const BayView &view);
    // The number and the state word at scale times the window's font.
    void setScale(double scale);
    // What a tile needs at a scale, whatever it will say: the narrowest it
    // can be, and its height at a width.
    int narrowest(double scale) const;
    // As wide as each state word is on one line.
    int comfortable(double scale) const;
    int heightAt(double scale, int width) const;
    int bayNumber() const { return bay; }

    static QColor colourOf(BayView::State state);
    static QString wordsOf(BayView::State state);
    static QString countsOf(int passed, int failed, int interrupted);
    static QStringList everyWord();

signals:
    // The operator says the unit in this bay has been taken away.
    void nextUnit(int bay);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QFont bigFont(double scale) const;
    QFont smallFont() const;
    int rowHeight() const;
    void showPort();
    void showDetail();
    static QString detailOf(const BayView &view);

    const int bay;
    const QString port;
    QLabel *number;
    QLabel *state;
    QLabel *portName;
    QLabel *detail;
    BayProgress *progress;
    QPushButton *next;
    QWidget *row; // the progress, or Next unit
    QLabel *counts;
    QString told; // the detail, whole
};

#endif

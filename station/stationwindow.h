#ifndef STATIONWINDOW_H
#define STATIONWINDOW_H

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <vector>

class Announcer;
class BayGrid;
class BayTile;
class Line;
class QLabel;
class QListWidget;
class QMessageBox;
class QPushButton;
class QScrollArea;

// The line in a window: the image and the tally at the top, a tile per bay
// laid out for the screen, the last outcomes and Stop at the bottom. The
// line underneath is the same as on the command line; this shows it, says
// each outcome to a screen reader, and lets the operator say "next unit"
// for a bay. When the line ends the window stays, with the final tally,
// until the operator closes it.
class StationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StationWindow(Line &line, QWidget *parent = nullptr);
    // Lays the bays out for the room a screen gives (its available area);
    // the window is never larger than that.
    void fitTo(const QRect &available);
    bool hasEnded() const { return ended; }

signals:
    // The window was closed, the line having ended.
    void dismissed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void showImage();
    void showBay(int bay);
    void showTally();
    void announce(int bay, const QString &said);
    void lineEnded();
    bool mayStop();
    void stop(bool thenClose);
    QString counted() const;

    Line &line;
    QLabel *image;
    QLabel *tally;
    BayGrid *grid;
    QScrollArea *scroll;
    QListWidget *outcomes;
    Announcer *announcer;
    QPushButton *stopButton;
    std::vector<BayTile *> tiles;
    QElapsedTimer running;
    QTimer perHour;
    QTimer everySecond;
    bool stopping = false;
    bool closeWhenEnded = false;
    bool ended = false;
    bool followsScreen = false;
    QSize fitted;     // the size fitTo chose
    QSize fittedRoom; // and the room it gave the bays
    QString recordsState;                // the database away, while it is
    QMessageBox *stopQuestion = nullptr; // while it is asked
};

#endif

#ifndef STATIONWINDOW_H
#define STATIONWINDOW_H

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <vector>

class BayTile;
class Line;
class QGridLayout;
class QLabel;
class QMessageBox;
class QPushButton;

// The line in a window: the image and the tally at the top, a tile per bay
// in a grid as wide as the window, Stop at the bottom. The line underneath
// is the same as on the command line; this only shows it.
class StationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StationWindow(Line &line, QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showImage();
    void showBay(int bay);
    void showTally();
    void announce(int bay, const QString &said);
    void layOut();
    bool mayStop();
    void stopPressed();

    Line &line;
    QLabel *image;
    QLabel *tally;
    QLabel *announcement;
    QPushButton *stop;
    QGridLayout *grid;
    std::vector<BayTile *> tiles;
    int columns = 0;
    QElapsedTimer running;
    QTimer perHour;
    bool stopping = false;
    QString recordsState; // the database away, while it is
    QMessageBox *stopQuestion = nullptr; // while it is asked
};

#endif

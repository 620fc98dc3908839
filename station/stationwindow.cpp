#include "stationwindow.h"

#include "baytile.h"
#include "line.h"
#include "endquestion.h"
#include "pelkoupdate.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
constexpr int tileWidth = 300; // wide enough for a port name and the state's words
}

StationWindow::StationWindow(Line &line, QWidget *parent) : QWidget(parent), line(line)
{
    setWindowTitle(QStringLiteral("Station - pelkoUpdate"));
    auto *layout = new QVBoxLayout(this);
    image = new QLabel(this);
    image->setObjectName(QStringLiteral("image"));
    tally = new QLabel(this);
    tally->setObjectName(QStringLiteral("tally"));
    QFont big = tally->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    tally->setFont(big);
    grid = new QGridLayout;
    announcement = new QLabel(this);
    announcement->setObjectName(QStringLiteral("announcement"));
    stop = new QPushButton(QStringLiteral("Stop"), this);
    stop->setObjectName(QStringLiteral("stop"));
    layout->addWidget(image);
    layout->addWidget(tally);
    layout->addLayout(grid, 1);
    layout->addWidget(announcement);
    layout->addWidget(stop, 0, Qt::AlignRight);
    for (int bay = 1; bay <= line.bayCount(); ++bay)
        tiles.push_back(new BayTile(bay, line.bayPort(bay), this));
    connect(&line, &Line::bayShowsNew, this, &StationWindow::showBay);
    connect(&line, &Line::outcome, this, &StationWindow::announce);
    connect(&line, &Line::recordsState, this, [this](const QString &state) {
        recordsState = state;
        showTally();
    });
    connect(&line, &Line::ended, this, [this] {
        // Nothing is left to decide under the question.
        if (stopQuestion)
            stopQuestion->reject();
        stopping = true;
        close();
    });
    connect(stop, &QPushButton::clicked, this, &StationWindow::stopPressed);
    connect(&perHour, &QTimer::timeout, this, &StationWindow::showTally);
    perHour.start(5000);
    running.start();
    showImage();
    showTally();
    resize(1200, 760);
    layOut();
}

void StationWindow::showImage()
{
    const pelkoUpdate &held = line.imageHolder();
    const QString sha = QString::fromLatin1(held.heldImageSha256().toHex().left(12));
    image->setText(QStringLiteral("%1, %2 bytes, sha256 %3…%4")
                       .arg(QFileInfo(line.imagePath()).fileName())
                       .arg(held.heldImageSize())
                       .arg(sha, line.imageExpected() ? QStringLiteral(", the image expected")
                                                      : QStringLiteral(", not checked")));
}

void StationWindow::showBay(int bay)
{
    tiles.at(size_t(bay - 1))->display(line.bayView(bay));
    showTally();
}

void StationWindow::showTally()
{
    const int units = line.totalPassed() + line.totalFailed();
    // A rate from the first minute says more of chance than of the line.
    const qint64 ms = running.elapsed();
    const QString rate = ms < 60000 ? QStringLiteral("units per hour after the first minute")
                                    : QStringLiteral("%1 units per hour").arg(qRound64(units * 3600000.0 / ms));
    const QString interrupted = line.totalInterrupted() > 0
                                    ? QStringLiteral(", %1 interrupted").arg(line.totalInterrupted())
                                    : QString();
    tally->setText(QStringLiteral("%1 passed, %2 failed%3, %4%5")
                       .arg(line.totalPassed())
                       .arg(line.totalFailed())
                       .arg(interrupted, rate,
                            recordsState.isEmpty() ? QString() : QStringLiteral("; ") + recordsState));
}

// Said once per unit: the label's name changes, and a reader on the window
// hears it.
void StationWindow::announce(int bay, const QString &said)
{
    Q_UNUSED(bay);
    announcement->setText(said);
    QAccessibleEvent event(announcement, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

// As many columns as the width takes, and no more than a square needs.
void StationWindow::layOut()
{
    const int count = int(tiles.size());
    const int square = int(std::ceil(std::sqrt(double(count))));
    const int fit = std::max(1, width() / tileWidth);
    const int wanted = std::max(1, std::min(count, std::max(square, std::min(fit, count))));
    if (wanted == columns)
        return;
    columns = wanted;
    for (BayTile *tile : tiles)
        grid->removeWidget(tile);
    for (int i = 0; i < count; ++i)
        grid->addWidget(tiles[size_t(i)], i / columns, i % columns);
    // Tiles of one size, whatever each says.
    for (int c = 0; c < count; ++c)
        grid->setColumnStretch(c, c < columns ? 1 : 0);
    for (int r = 0; r < count; ++r)
        grid->setRowStretch(r, r < (count + columns - 1) / columns ? 1 : 0);
}

void StationWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOut();
}

// A unit mid-transfer would keep an incomplete image: asked first, as the
// one-port window asks.
bool StationWindow::mayStop()
{
    return !line.transferring()
           || askBeforeEnding(this, QStringLiteral("stopQuestion"),
                              QStringLiteral("A unit is being updated. If the station stops now, "
                                             "it will hold an incomplete image."),
                              QStringLiteral("Stop anyway"), &stopQuestion);
}

void StationWindow::stopPressed()
{
    if (!stopping && mayStop()) {
        stopping = true;
        line.stop();
    }
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (stopping)
        return QWidget::closeEvent(event);
    event->ignore();
    stopPressed();
}

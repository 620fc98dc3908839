#include "stationwindow.h"

#include "baygrid.h"
#include "baytile.h"
#include "endquestion.h"
#include "line.h"
#include "pelkoupdate.h"
#include "stationaccessible.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

namespace {
constexpr int outcomesKept = 10;
constexpr int outcomesShown = 3;
} // namespace

StationWindow::StationWindow(Line &line, QWidget *parent) : QWidget(parent), line(line)
{
    installStationAccessibility();
    setWindowTitle(QStringLiteral("Station - pelkoUpdate"));
    auto *layout = new QVBoxLayout(this);
    image = new QLabel(this);
    image->setObjectName(QStringLiteral("image"));
    image->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    tally = new QLabel(this);
    tally->setObjectName(QStringLiteral("tally"));
    QFont big = tally->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    tally->setFont(big);
    scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFrameShape(QFrame::NoFrame);
    grid = new BayGrid;
    scroll->setWidget(grid);
    for (int bay = 1; bay <= line.bayCount(); ++bay) {
        tiles.push_back(new BayTile(bay, line.bayPort(bay), grid));
        grid->add(tiles.back());
        connect(tiles.back(), &BayTile::nextUnit, &line, &Line::nextUnit);
    }
    outcomes = new QListWidget(this);
    outcomes->setObjectName(QStringLiteral("outcomes"));
    outcomes->setAccessibleName(QStringLiteral("Outcomes"));
    outcomes->setFocusPolicy(Qt::TabFocus);
    outcomes->setWordWrap(true);
    outcomes->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outcomes->setFixedHeight(outcomes->fontMetrics().height() * outcomesShown + 6 * outcomesShown +
                             2 * outcomes->frameWidth());
    announcer = new Announcer(this);
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    stopButton->setObjectName(QStringLiteral("stop"));
    // Enter presses it when it has the focus, as in the one-port window.
    stopButton->setAutoDefault(true);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(outcomes, 1);
    bottom->addWidget(stopButton, 0, Qt::AlignBottom);
    layout->addWidget(image);
    layout->addWidget(tally);
    layout->addWidget(scroll, 1);
    layout->addLayout(bottom);
    connect(&line, &Line::bayShowsNew, this, &StationWindow::showBay);
    connect(&line, &Line::outcome, this, &StationWindow::announce);
    connect(&line, &Line::recordsState, this, [this](const QString &state) {
        recordsState = state;
        if (!ended)
            showTally();
    });
    connect(&line, &Line::ended, this, &StationWindow::lineEnded);
    connect(&line, &Line::dismissedBySignal, this, &QWidget::close);
    connect(stopButton, &QPushButton::clicked, this,
            [this] { ended ? void(close()) : stop(false); });
    // Tab, the arrows or a click: the tile with the focus is in view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
        if (now && grid->isAncestorOf(now))
            scroll->ensureWidgetVisible(now, 0, 0);
    });
    connect(&perHour, &QTimer::timeout, this, &StationWindow::showTally);
    perHour.start(5000);
    // A lost port's wait counts up on its tile.
    connect(&everySecond, &QTimer::timeout, this, [this] {
        for (int bay = 1; bay <= int(tiles.size()); ++bay) {
            if (this->line.bayView(bay).portAway)
                tiles.at(size_t(bay - 1))->display(this->line.bayView(bay));
        }
    });
    everySecond.start(1000);
    running.start();
    showImage();
    showTally();
    fitTo(screen()->availableGeometry());
    tiles.front()->setFocus(Qt::OtherFocusReason);
}

// The tiles get the screen's room less the window's frame, its header and
// its foot; the window is as large as they need, and never larger.
void StationWindow::fitTo(const QRect &available)
{
    const QRect outer = frameGeometry();
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const QSize frame = outer.height() > height() ? outer.size() - size() : QSize(8, titleBar + 8);
    const QMargins margins = layout()->contentsMargins();
    const int gaps = 3 * layout()->spacing();
    const QSize chrome(margins.left() + margins.right(),
                       margins.top() + margins.bottom() + gaps + image->sizeHint().height() +
                           tally->sizeHint().height() +
                           std::max(outcomes->height(), stopButton->sizeHint().height()));
    const QSize screenRoom = available.size() - frame;
    const QSize room = screenRoom - chrome;
    fittedRoom = room;
    grid->fitTo(room);
    const int scrollBar = grid->fits() ? 0 : style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int header = std::max(image->sizeHint().width(), tally->sizeHint().width());
    const QSize wanted = grid->sizeHint().expandedTo(QSize(header, 0)).boundedTo(room) + chrome +
                         QSize(scrollBar, 0);
    fitted = wanted.boundedTo(screenRoom);
    resize(fitted);
}

// Resized by hand or by the desktop, the bays are laid out again for the
// room the tiles have now (squeezed into the old columns they would be
// cut off mid-word); back at the size chosen for the screen, as they were.
void StationWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    grid->fitTo(event->size() == fitted ? fittedRoom : scroll->viewport()->size());
}

// On another screen, the bays are laid out for its room.
void StationWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (followsScreen || !windowHandle())
        return;
    followsScreen = true;
    connect(windowHandle(), &QWindow::screenChanged, this,
            [this](QScreen *screen) { fitTo(screen->availableGeometry()); });
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

// A question about a unit mid-transfer has nothing left to ask once no
// unit is: it goes, and the line runs on.
void StationWindow::showBay(int bay)
{
    tiles.at(size_t(bay - 1))->display(line.bayView(bay));
    if (!ended)
        showTally();
    if (stopQuestion && !line.transferring())
        stopQuestion->reject();
}

QString StationWindow::counted() const
{
    return BayTile::countsOf(line.totalPassed(), line.totalFailed(), line.totalInterrupted());
}

// A rate from the first minute says more of chance than of the line; with
// no unit yet there is no rate at all. The records' trouble, while there is
// any, follows.
void StationWindow::showTally()
{
    const int units = line.totalEnded();
    const qint64 ms = running.elapsed();
    const QString told = units == 0 || ms < 60000
                             ? counted()
                             : QStringLiteral("%1, %2 units per hour")
                                   .arg(counted())
                                   .arg(qRound64(units * 3600000.0 / double(ms)));
    tally->setText(recordsState.isEmpty() ? told
                                          : QStringLiteral("%1; %2").arg(told, recordsState));
}

// Shown in the list, newest first, and said to a screen reader wherever
// the focus is.
void StationWindow::announce(int bay, const QString &said)
{
    Q_UNUSED(bay);
    outcomes->insertItem(0, said);
    outcomes->item(0)->setToolTip(said);
    while (outcomes->count() > outcomesKept)
        delete outcomes->takeItem(outcomes->count() - 1);
    announcer->say(said);
}

// The end stays on screen, told and said, until the operator closes the
// window; Close takes the focus, as the next step. Ended by a signal, or
// by the window's close button, it goes at once.
void StationWindow::lineEnded()
{
    if (stopQuestion)
        stopQuestion->reject();
    ended = true;
    perHour.stop();
    everySecond.stop();
    const QString said = QStringLiteral("Line ended: %1").arg(counted());
    tally->setText(said);
    stopButton->setText(QStringLiteral("Close"));
    stopButton->setFocus(Qt::OtherFocusReason);
    announcer->say(said);
    if (closeWhenEnded || line.endedBySignal())
        QTimer::singleShot(0, this, &QWidget::close);
}

// A unit mid-transfer would keep an incomplete image: asked first, as the
// one-port window asks.
bool StationWindow::mayStop()
{
    return !line.transferring() ||
           askBeforeEnding(this, QStringLiteral("stopQuestion"),
                           QStringLiteral("A unit is being updated. If the station stops now, "
                                          "it will hold an incomplete image."),
                           QStringLiteral("Stop anyway"), &stopQuestion);
}

void StationWindow::stop(bool thenClose)
{
    if (stopping || ended || !mayStop())
        return;
    stopping = true;
    closeWhenEnded = thenClose;
    line.stop();
}

// Escape never stops a line; once it has ended, Escape and Enter close.
void StationWindow::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (ended && (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)) {
        close();
        return event->accept();
    }
    if (key == Qt::Key_Escape)
        return event->accept();
    QWidget::keyPressEvent(event);
}

// The close button is Stop, and then the window goes.
void StationWindow::closeEvent(QCloseEvent *event)
{
    if (ended) {
        QWidget::closeEvent(event);
        emit dismissed();
        return;
    }
    event->ignore();
    stop(true);
}

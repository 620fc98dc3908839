#include "baygrid.h"
#include "baytile.h"
#include "bayprogress.h"
#include "line.h"
#include "lineoutput.h"
#include "stationaccessible.h"
#include "stationwindow.h"
#include "updateraccess.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <memory>
#include <vector>

// The station window over a line of simulated devices, offscreen on a
// 1280x800 screen: what its tiles say and show, read from the widgets.
class TestStationWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    LineOutput out{devNull};
    LineOutput err{devNull};
    std::vector<std::unique_ptr<QProcess>> sims;

    QString sim(const QStringList &options)
    {
        sims.push_back(std::make_unique<QProcess>());
        sims.back()->start(qEnvironmentVariable("MWIRE_SIM_BIN"), options);
        return sims.back()->waitForReadyRead(5000)
                   ? QString::fromLocal8Bit(sims.back()->readLine()).trimmed()
                   : QString();
    }
    LineSettings settings(const QStringList &ports, int count, int bytes = 8192)
    {
        LineSettings s;
        s.file = testing::writeFile(dir, "fw.plk", testing::pattern(bytes, 3));
        s.ports = ports;
        s.count = count;
        s.timeoutMs = 10000;
        return s;
    }
    static BayTile *tile(StationWindow &w, int bay)
    {
        return w.findChild<BayTile *>(QStringLiteral("bayTile%1").arg(bay));
    }
    static QString text(QWidget *parent, const char *name)
    {
        return parent->findChild<QLabel *>(name)->text();
    }
    static BayProgress *progress(StationWindow &w, int bay)
    {
        return tile(w, bay)->findChild<BayProgress *>("progress");
    }
    static QPushButton *button(QWidget *parent, const char *name)
    {
        return parent->findChild<QPushButton *>(name);
    }
    // Waits for the question Stop asks, and answers it with Escape or a
    // button; with "" it only notes that it came and leaves it up.
    static void answerStop(const QString &how, bool *asked)
    {
        auto *poll = new QTimer(QCoreApplication::instance());
        QObject::connect(poll, &QTimer::timeout, [=] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->objectName() != QLatin1String("stopQuestion"))
                return;
            poll->deleteLater();
            *asked = true;
            if (how == "Escape")
                return QTest::keyClick(box, Qt::Key_Escape);
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == how)
                    button->click();
            }
        });
        poll->start(10);
    }
    static QString byId(int bay)
    {
        return QStringLiteral("/dev/serial/by-id/usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_"
                              "Controller_%1-if00-port0")
            .arg(QStringLiteral("%1").arg(bay, 32, 16, QLatin1Char('0')));
    }

private slots:
    void init()
    {
        // A connection Qt refuses would leave a tile or the window deaf.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect|No such (signal|slot)")));
    }

    void cleanup()
    {
        for (auto &p : sims) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
        sims.clear();
    }

    // Three bays, the second's unit cancelled: words, colours, progress,
    // counts, the header's tally, the outcomes, what a screen reader is
    // given, and the end that stays until it is closed.
    void threeBays()
    {
        // The units stay in their bays until the line has ended.
        const QStringList stay{"--units", "2", "--away-ms", "60000"};
        const QStringList ports{sim(stay), sim(stay + QStringList{"--fail-unit", "1"}),
                                sim(stay + QStringList{"--late", "1"})};
        LineSettings three = settings(ports, 3);
        three.leaveMs = 60000;
        Line line(three, out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy ended(&line, &Line::ended);
        QSignalSpy dismissed(&window, &StationWindow::dismissed);
        QCOMPARE(QApplication::focusWidget(), tile(window, 1));
        QVERIFY(testing::waitFor([&] { return progress(window, 3)->value() > 0 && progress(window, 3)->value() < 100; }, 10000));
        QCOMPARE(text(tile(window, 3), "state"), BayTile::wordsOf(BayView::Updating));
        // Bays 1 and 2 wait out their units, which went silent: Next unit
        // is there for the operator who took them away.
        QVERIFY(testing::waitFor([&] { return line.totalFailed() == 1 && line.totalPassed() >= 1; }, 5000));
        if (ended.isEmpty())
            QVERIFY(button(tile(window, 2), "nextUnit")->isVisible());
        // STATION_SCREENSHOT=FILE keeps the window as it is now, for the README.
        if (qEnvironmentVariableIsSet("STATION_SCREENSHOT")
            && testing::waitFor([&] { return line.totalFailed() == 1 && line.totalPassed() == 1; }, 5000))
            window.grab().save(qEnvironmentVariable("STATION_SCREENSHOT"));
        QCOMPARE(tile(window, 3)->palette().color(QPalette::Window), BayTile::colourOf(BayView::Updating));
        QVERIFY(tile(window, 3)->accessibleName().contains(" s left"));
        QVERIFY(ended.wait(30000));
        QCOMPARE(ended.first().first().toInt(), 1);
        for (int bay : {1, 3}) {
            QCOMPARE(text(tile(window, bay), "state"), BayTile::wordsOf(BayView::Passed));
            QCOMPARE(tile(window, bay)->palette().color(QPalette::Window), BayTile::colourOf(BayView::Passed));
            QCOMPARE(text(tile(window, bay), "counts"), QStringLiteral("1 passed, 0 failed"));
        }
        BayTile *failed = tile(window, 2);
        QCOMPARE(text(failed, "state"), BayTile::wordsOf(BayView::Failed));
        QCOMPARE(failed->palette().color(QPalette::Window), BayTile::colourOf(BayView::Failed));
        QVERIFY2(text(failed, "detail").startsWith("unit "), qPrintable(text(failed, "detail")));
        QCOMPARE(text(failed, "counts"), QStringLiteral("0 passed, 1 failed"));
        // The tile is an item of the list of bays, spoken as its name alone.
        QAccessibleInterface *item = QAccessible::queryAccessibleInterface(failed);
        QCOMPARE(item->role(), QAccessible::ListItem);
        QVERIFY(item->state().focusable);
        QCOMPARE(item->parent()->role(), QAccessible::List);
        QCOMPARE(item->text(QAccessible::Description), QString()); // not the name again
        QVERIFY2(QRegularExpression("^Bay 2, " + QRegularExpression::escape(ports[1])
                                    + ", Failed, unit \\d: Device canncelled, please retry; 0 passed, 1 failed$")
                     .match(item->text(QAccessible::Name)).hasMatch(),
                 qPrintable(item->text(QAccessible::Name)));
        // Each outcome once, newest first, and said as a notification: a
        // label of that role shown with the outcome as its name.
        auto *list = window.findChild<QListWidget *>("outcomes");
        QCOMPARE(list->count(), 3);
        QVERIFY2(list->item(0)->text().startsWith("Bay 3: unit "), qPrintable(list->item(0)->text()));
        auto *announcer = window.findChild<Announcer *>();
        const QStringList notified = announcer->said();
        QCOMPARE(notified.size(), 4);
        for (int i = 0; i < list->count(); ++i)
            QCOMPARE(notified.at(2 - i), list->item(i)->text());
        for (QLabel *label : announcer->findChildren<QLabel *>())
            QCOMPARE(QAccessible::queryAccessibleInterface(label)->role(), QAccessible::Notification);
        QCOMPARE(notified.filter(QRegularExpression("^Bay 2: unit \\d failed: Device canncelled, please retry$")).size(), 1);
        // The end stays, told and said, with Close to take it away.
        QCOMPARE(notified.last(), "Line ended: 2 passed, 1 failed");
        QCOMPARE(text(&window, "tally"), "Line ended: 2 passed, 1 failed");
        QVERIFY(text(&window, "image").startsWith("fw.plk, 8192 bytes, sha256 "));
        QVERIFY(window.isVisible());
        QCOMPARE(QApplication::focusWidget(), button(&window, "stop"));
        QCOMPARE(button(&window, "stop")->text(), "Close");
        // The bay number as large as the state word, both larger than twice the window's font.
        QCOMPARE(failed->findChild<QLabel *>("number")->font(), failed->findChild<QLabel *>("state")->font());
        QVERIFY(failed->findChild<QLabel *>("state")->font().pointSizeF() >= 2 * window.font().pointSizeF());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(dismissed.size(), 1);
        QVERIFY(!window.isVisible());
    }

    // A fixture's worth of bays named as udev names them fits the screen
    // with Stop in view; a grid that cannot show them all scrolls, never
    // the window past the screen.
    void fitsTheScreen_data()
    {
        QTest::addColumn<int>("bays");
        for (int bays : {1, 4, 8, 16, 32})
            QTest::addRow("%d bays", bays) << bays;
    }
    void fitsTheScreen()
    {
        QFETCH(int, bays);
        QStringList ports; // not there: every bay waits for its port
        for (int bay = 1; bay <= bays; ++bay)
            ports << byId(bay);
        Line line(settings(ports, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY2(screen.contains(window.frameGeometry()),
                 qPrintable(QStringLiteral("%1x%2 on %3x%4").arg(window.width()).arg(window.height())
                                .arg(screen.width()).arg(screen.height())));
        QPushButton *stop = button(&window, "stop");
        QVERIFY(window.rect().contains(QRect(stop->mapTo(&window, QPoint(0, 0)), stop->size())));
        auto *scroll = window.findChild<QScrollArea *>();
        auto *grid = window.findChild<BayGrid *>();
        QVERIFY(grid->width() <= scroll->viewport()->width());
        const bool doubled = window.devicePixelRatio() > 1.5;
        // At twice the scale the screen is half as large: more than 4 bays scroll.
        QCOMPARE(grid->fits(), !doubled || bays <= 4);
        for (int bay = 1; bay <= bays; ++bay) {
            BayTile *each = tile(window, bay);
            const QRect shown(each->mapTo(scroll->viewport(), QPoint(0, 0)), each->size());
            if (grid->fits())
                QVERIFY2(scroll->viewport()->rect().contains(shown), qPrintable(QString::number(bay)));
            QLabel *state = each->findChild<QLabel *>("state");
            QCOMPARE(each->findChild<QLabel *>("number")->font(), state->font());
            QVERIFY(state->font().pointSizeF() >= window.font().pointSizeF());
            QCOMPARE(each->accessibleName(), QStringLiteral("Bay %1, %2, Waiting for a unit, waiting for %2 to appear; 0 passed, 0 failed")
                                                 .arg(bay).arg(byId(bay)));
            QCOMPARE(each->toolTip(), each->accessibleName());
            // The port gives up its middle on the tile.
            const QString port = text(each, "port");
            QVERIFY2(port.contains(QChar(0x2026)), qPrintable(port));
        }
        // Tab goes from bay to bay, the arrows as the tiles stand; either
        // brings the tile it reaches into view.
        const auto inView = [&](int bay) {
            BayTile *each = tile(window, bay);
            return scroll->viewport()->rect().contains(QRect(each->mapTo(scroll->viewport(), QPoint(0, 0)), each->size()));
        };
        tile(window, 1)->setFocus();
        for (int bay = 2; bay <= bays; ++bay)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), tile(window, bays));
        QVERIFY(inView(bays));
        tile(window, 1)->setFocus();
        const int down = std::min(grid->columns(), bays - 1) + 1;
        QTest::keyClick(tile(window, 1), down > grid->columns() ? Qt::Key_Down : Qt::Key_Right);
        QCOMPARE(QApplication::focusWidget(), tile(window, down > grid->columns() ? 1 + grid->columns() : std::min(2, bays)));
        QVERIFY(inView(down > grid->columns() ? 1 + grid->columns() : std::min(2, bays)));
        line.stop();
    }

    // Made smaller by hand, the window lays its bays out again: no tile is
    // narrower than its words at the scale they are shown.
    void resizedByHand()
    {
        QStringList ports;
        for (int bay = 1; bay <= 16; ++bay)
            ports << byId(bay);
        Line line(settings(ports, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *grid = window.findChild<BayGrid *>();
        const QSize chosen = window.size();
        const int columns = grid->columns();
        const double scale = grid->scale();
        window.resize(420, 320);
        QTRY_VERIFY2(tile(window, 16)->width() >= tile(window, 16)->narrowest(grid->scale()),
                     qPrintable(QStringLiteral("%1 columns, %2 px").arg(grid->columns()).arg(tile(window, 16)->width())));
        // Back at the size chosen for the screen: as they were.
        window.resize(chosen);
        QTRY_COMPARE(grid->columns(), columns);
        QCOMPARE(grid->scale(), scale);
        QVERIFY(grid->fits());
        line.stop();
    }

    // Stop mid-transfer asks first; Escape and Continue go on, "Stop anyway" stops.
    void stopAsks()
    {
        const QStringList ports{sim({"--once", "--late", "3"})};
        Line line(settings(ports, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QSignalSpy ended(&line, &Line::ended);
        auto *stop = button(&window, "stop");
        QVERIFY(testing::waitFor([&] { return progress(window, 1)->value() > 0; }, 10000));
        for (const QString how : {"Escape", "Continue"}) {
            bool asked = false;
            answerStop(how, &asked);
            stop->click();
            QVERIFY(asked);
            const int before = progress(window, 1)->value();
            QVERIFY2(testing::waitFor([&] { return progress(window, 1)->value() > before; }, 5000), qPrintable(how));
            QCOMPARE(ended.size(), 0);
        }
        bool asked = false;
        answerStop("Stop anyway", &asked);
        window.close(); // closing is Stop, and then the window goes
        QVERIFY(asked);
        QVERIFY(ended.size() == 1 || ended.wait(5000));
        QCOMPARE(ended.first().first().toInt(), 130);
        QCOMPARE(text(tile(window, 1), "state"), BayTile::wordsOf(BayView::Interrupted));
        QCOMPARE(text(tile(window, 1), "counts"), "0 passed, 0 failed, 1 interrupted");
        // An interrupted unit is an outcome too: listed, and said.
        auto *list = window.findChild<QListWidget *>("outcomes");
        QCOMPARE(list->count(), 1);
        QVERIFY2(list->item(0)->text().startsWith("Bay 1: unit 1 interrupted: "), qPrintable(list->item(0)->text()));
        QTRY_VERIFY(!window.isVisible());
    }

    // A question about a unit mid-transfer goes by itself once the unit has
    // ended under it, and the line runs on.
    void questionGoesWhenTheTransferEnds()
    {
        const QStringList ports{sim({"--units", "2", "--away-ms", "60000", "--late", "1"})};
        Line line(settings(ports, 0, 3072), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QSignalSpy ended(&line, &Line::ended);
        QVERIFY(testing::waitFor([&] { return progress(window, 1)->value() > 0; }, 10000));
        bool asked = false;
        answerStop("", &asked);
        button(&window, "stop")->click(); // returns once the question has gone
        QVERIFY(asked);
        QCOMPARE(text(tile(window, 1), "state"), BayTile::wordsOf(BayView::Passed));
        QVERIFY(!line.transferring());
        QCOMPARE(ended.size(), 0);
        QVERIFY(!window.hasEnded());
        line.stop();
    }

    // Stop with no unit in hand ends the line without asking; the end stays
    // until Enter, Escape or the close button takes it away.
    void theEndStays_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Enter on Close") << "Enter";
        QTest::newRow("Escape") << "Escape";
        QTest::newRow("the close button") << "close";
        // A supervisor's stop after the end: the window goes, the code stays.
        QTest::newRow("SIGTERM") << "SIGTERM";
    }
    void theEndStays()
    {
        QFETCH(QString, how);
        Line line(settings({dir.filePath("absent")}, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy ended(&line, &Line::ended);
        QSignalSpy dismissed(&window, &StationWindow::dismissed);
        QPushButton *stop = button(&window, "stop");
        stop->setFocus();
        QTest::keyClick(stop, Qt::Key_Return); // Enter presses the button it is on
        QVERIFY(ended.size() == 1 || ended.wait(5000));
        QCOMPARE(ended.first().first().toInt(), 130); // stopped by hand, as on the terminal
        QTest::qWait(50);
        QVERIFY(window.isVisible());
        QCOMPARE(text(&window, "tally"), "Line ended: 0 passed, 0 failed");
        QCOMPARE(QApplication::focusWidget(), stop);
        if (how == "Enter")
            QTest::keyClick(stop, Qt::Key_Return);
        else if (how == "Escape")
            QTest::keyClick(tile(window, 1), Qt::Key_Escape);
        else if (how == "close")
            window.close();
        else
            ::raise(SIGTERM);
        QVERIFY(dismissed.size() == 1 || dismissed.wait(2000));
        QVERIFY(!window.isVisible());
        QCOMPARE(line.exitCode(), 130);
    }

    // A unit still answering after its outcome: its tile says to remove
    // it, and the terminal's Enter for that bay is there, as the tile's Next
    // unit or Enter on the tile; the next unit in the fixture is then taken.
    void nextUnitFromTheTile_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("the tile's button") << false;
        QTest::newRow("Enter on the tile") << true;
    }
    void nextUnitFromTheTile()
    {
        QFETCH(bool, byKey);
        const QStringList ports{sim({})}; // the device stays
        LineSettings one = settings(ports, 0);
        one.leaveMs = 60000;
        Line line(one, out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        BayTile *bay = tile(window, 1);
        QPushButton *next = button(bay, "nextUnit");
        QVERIFY(!next->isVisible());
        QVERIFY(testing::waitFor([&] { return line.totalPassed() == 1; }, 20000));
        QVERIFY(testing::waitFor([&] { return bay->accessibleName().contains("remove unit 1: it still answers"); }, 5000));
        QVERIFY2(bay->accessibleName().endsWith(", Passed, unit 1; remove unit 1: it still answers; 1 passed, 0 failed"),
                 qPrintable(bay->accessibleName()));
        QVERIFY(text(bay, "detail").contains("remove unit 1"));
        QVERIFY(next->isVisible());
        if (byKey) {
            bay->setFocus();
            QTest::keyClick(bay, Qt::Key_Return);
        } else {
            next->click();
        }
        QVERIFY(testing::waitFor([&] { return line.bayView(1).unit == 2; }, 5000));
        QVERIFY(!bay->accessibleName().contains("remove"));
        QVERIFY(!next->isVisible());
        line.stop();
    }

    // The port goes away under a unit and comes back: the tile says so, its
    // wait counting up rather than a percentage standing still, then that
    // it is back, and the unit passes.
    void hiccupOnTheTile()
    {
        const QString link = dir.filePath("hiccup");
        sim({"--once", "--late", "1", "--hiccup-at", "2048:2200", "--link", link});
        const QStringList ports{link};
        LineSettings one = settings(ports, 1, 4096);
        one.reconnectMs = 8000;
        Line line(one, out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        BayTile *bay = tile(window, 1);
        QVERIFY(testing::waitFor([&] { return text(bay, "state").contains("Port lost"); }, 10000));
        QVERIFY2(QRegularExpression(", Port lost, unit 1; port lost at \\d+ %, waiting \\d s of 8; 0 passed")
                     .match(bay->accessibleName()).hasMatch(),
                 qPrintable(bay->accessibleName()));
        QVERIFY(!progress(window, 1)->isVisible());
        // The wait counts up while the port is away. Any second past 0 will
        // do: on a loaded machine (the sanitizer build on two cores) the
        // next look at the tile came only once it said 2 s.
        static const QRegularExpression counted("waiting [1-8] s of 8");
        QVERIFY2(testing::waitFor([&] { return counted.match(bay->accessibleName()).hasMatch(); }, 2100),
                 qPrintable(bay->accessibleName()));
        QVERIFY(text(bay, "state").contains("Port lost"));
        QVERIFY(testing::waitFor([&] { return bay->accessibleName().contains("back after "); }, 8000));
        QVERIFY2(QRegularExpression(", Updating, unit 1, \\d+ %(, \\d+ s left)?; back after \\d\\.\\d s; 0 passed")
                     .match(bay->accessibleName()).hasMatch(), qPrintable(bay->accessibleName()));
        QSignalSpy ended(&line, &Line::ended);
        QVERIFY(ended.wait(20000));
        QCOMPARE(text(bay, "state"), BayTile::wordsOf(BayView::Passed));
        QCOMPARE(text(bay, "counts"), "1 passed, 0 failed");
    }

    // A port another program holds: the bay cannot start, and its tile
    // says who holds it.
    void heldPortOnTheTile()
    {
        const QString port = sim({"--once"});
        QFile holder(port);
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QCOMPARE(::flock(holder.handle(), LOCK_EX | LOCK_NB), 0);
        Line line(settings({port}, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        BayTile *bay = tile(window, 1);
        QVERIFY(testing::waitFor([&] { return bay->accessibleName().contains("held by "); }, 5000));
        QVERIFY2(bay->accessibleName().contains(QStringLiteral("held by pid %1 (").arg(QCoreApplication::applicationPid())),
                 qPrintable(bay->accessibleName()));
        QVERIFY(text(bay, "detail").contains("held by"));
        line.stop();
    }

    // A bay that gave up while the others run on never says it waits for
    // a unit: one put there would never be updated.
    void endedBayAmongRunningOnes()
    {
        const QString held = sim({"--once"});
        QFile holder(held);
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QCOMPARE(::flock(holder.handle(), LOCK_EX | LOCK_NB), 0);
        Line line(settings({held, sim({"--once", "--late", "1"})}, 0), out, err);
        QVERIFY(line.start());
        QSignalSpy ended(&line, &Line::ended);
        StationWindow window(line);
        window.show();
        BayTile *bay = tile(window, 1);
        QVERIFY(testing::waitFor([&] { return bay->accessibleName().contains("held by "); }, 5000));
        QTRY_VERIFY2_WITH_TIMEOUT(text(bay, "state") != BayTile::wordsOf(BayView::Waiting),
                                  qPrintable(text(bay, "state")), 2000);
        QVERIFY(ended.isEmpty());
        QVERIFY2(
            bay->accessibleName().startsWith(QStringLiteral("Bay 1, %1, Ended, held by").arg(held)),
            qPrintable(bay->accessibleName()));
        line.stop();
    }

    // Only the focused bay's progress is told to a screen reader: the rest
    // would drown the outcomes.
    void progressToldOnlyInFocus()
    {
        const QStringList ports{sim({"--once", "--late", "1"}), sim({"--once", "--late", "1"})};
        Line line(settings(ports, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        tile(window, 2)->setFocus();
        QVERIFY(testing::waitFor([&] { return progress(window, 1)->value() > 0 && progress(window, 2)->value() > 0; }, 10000));
        QVERIFY(!progress(window, 1)->isTold());
        QVERIFY(progress(window, 2)->isTold());
        tile(window, 1)->setFocus();
        QVERIFY(progress(window, 1)->isTold());
        QVERIFY(!progress(window, 2)->isTold());
        QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(progress(window, 2));
        QCOMPARE(bar->role(), QAccessible::ProgressBar);
        QCOMPARE(bar->text(QAccessible::Name), "Bay 2 progress");
        QCOMPARE(bar->valueInterface()->currentValue().toInt(), progress(window, 2)->value());
        line.stop();
    }
};

// A screen as a station's: 1280x800.
int main(int argc, char **argv)
{
    QTemporaryDir screens;
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        QFile config(screens.filePath("screen.json"));
        if (!config.open(QIODevice::WriteOnly)
            || config.write(R"({"screens": [{"name": "station", "x": 0, "y": 0, "width": 1280,
                                "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96}]})")
                   < 0)
            return 2;
        config.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    }
    QApplication app(argc, argv);
    TestStationWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_stationwindow.moc"

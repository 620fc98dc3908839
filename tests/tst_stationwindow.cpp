#include "baytile.h"
#include "line.h"
#include "lineoutput.h"
#include "stationwindow.h"
#include "updateraccess.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <vector>

// The station window over a line of simulated devices, offscreen: what its
// tiles say and show, read from the widgets.
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
    LineSettings settings(const QStringList &ports, int count)
    {
        LineSettings s;
        s.file = testing::writeFile(dir, "fw.plk", testing::pattern(8192, 3));
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
    // Answers the question Stop asks, with Escape or a button, once it is up.
    static void answerStop(const QString &how, bool *asked)
    {
        auto *poll = new QTimer(QCoreApplication::instance());
        QObject::connect(poll, &QTimer::timeout, [=] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->objectName() != QLatin1String("stopQuestion"))
                return;
            poll->deleteLater();
            *asked = true;
            if (how == "Escape") {
                QTest::keyClick(box, Qt::Key_Escape);
                return;
            }
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == how)
                    button->click();
            }
        });
        poll->start(10);
    }

private slots:
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
    // counts, the header's tally and what a screen reader is given.
    void threeBays()
    {
        // The units stay in their bays until the line has ended.
        const QStringList stay{"--units", "2", "--away-ms", "60000"};
        const QStringList ports{sim(stay), sim(stay + QStringList{"--fail-unit", "1"}),
                                sim(stay + QStringList{"--late", "2"})};
        LineSettings three = settings(ports, 3);
        three.leaveMs = 60000;
        Line line(three, out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.show();
        QCOMPARE(tile(window, 1)->accessibleName(), "Bay 1, " + ports[0]);
        QCOMPARE(tile(window, 2)->focusPolicy(), Qt::TabFocus);
        QSignalSpy ended(&line, &Line::ended);
        QStringList said;
        connect(&line, &Line::outcome, this, [&](int, const QString &text) { said += text; });
        auto *progress = tile(window, 3)->findChild<QProgressBar *>("progress");
        QVERIFY(testing::waitFor([&] { return progress->value() > 0 && progress->value() < 100; }, 10000));
        QCOMPARE(text(tile(window, 3), "state"), BayTile::wordsOf(BayView::Updating));
        // STATION_SCREENSHOT=FILE keeps the window as it is now, for the README.
        if (qEnvironmentVariableIsSet("STATION_SCREENSHOT")
            && testing::waitFor([&] { return line.totalFailed() == 1 && line.totalPassed() == 1; }, 5000))
            window.grab().save(qEnvironmentVariable("STATION_SCREENSHOT"));
        QCOMPARE(tile(window, 3)->palette().color(QPalette::Window), BayTile::colourOf(BayView::Updating));
        QVERIFY(text(tile(window, 3), "detail").contains(" s left"));
        QVERIFY(ended.wait(30000));
        QCOMPARE(ended.first().first().toInt(), 1);
        for (int bay : {1, 3}) {
            QCOMPARE(text(tile(window, bay), "state"), QStringLiteral("\u2714 Passed"));
            QCOMPARE(tile(window, bay)->palette().color(QPalette::Window), BayTile::colourOf(BayView::Passed));
            QCOMPARE(text(tile(window, bay), "counts"), QStringLiteral("1 passed, 0 failed"));
        }
        BayTile *failed = tile(window, 2);
        QCOMPARE(text(failed, "state"), QStringLiteral("\u2718 Failed"));
        QCOMPARE(failed->palette().color(QPalette::Window), BayTile::colourOf(BayView::Failed));
        QVERIFY2(text(failed, "detail").contains("Device canncelled, please retry"), qPrintable(text(failed, "detail")));
        QCOMPARE(text(failed, "counts"), QStringLiteral("0 passed, 1 failed"));
        QVERIFY(failed->accessibleDescription().startsWith("Failed, unit "));
        QVERIFY(text(&window, "tally").startsWith("2 passed, 1 failed"));
        QVERIFY(text(&window, "image").startsWith("fw.plk, 8192 bytes, sha256 "));
        QCOMPARE(said.size(), 3);
        QVERIFY2(said.filter(QRegularExpression("^Bay 2: unit \\d failed: Device canncelled")).size() == 1,
                 qPrintable(said.join('\n')));
        // Large enough to read from a step away.
        QVERIFY(failed->findChild<QLabel *>("state")->font().pointSizeF() >= 2 * window.font().pointSizeF());
    }

    // A fixture's worth of bays fits a 1280x800 screen, each tile readable.
    void fitsTheScreen_data()
    {
        QTest::addColumn<int>("bays");
        QTest::newRow("one bay") << 1;
        QTest::newRow("four bays") << 4;
        QTest::newRow("sixteen bays") << 16;
    }
    void fitsTheScreen()
    {
        QFETCH(int, bays);
        QStringList ports; // not there yet: every bay waits for its port
        for (int bay = 1; bay <= bays; ++bay)
            ports << dir.filePath(QStringLiteral("absent-%1").arg(bay));
        Line line(settings(ports, 0), out, err);
        QVERIFY(line.start());
        StationWindow window(line);
        window.resize(1280, 800);
        window.show();
        const QSize needed = window.minimumSizeHint();
        QVERIFY2(needed.width() <= 1280 && needed.height() <= 800,
                 qPrintable(QStringLiteral("%1x%2").arg(needed.width()).arg(needed.height())));
        QCOMPARE(tile(window, bays)->findChild<QLabel *>("state")->text(), BayTile::wordsOf(BayView::Waiting));
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
        auto *progress = tile(window, 1)->findChild<QProgressBar *>("progress");
        auto *stop = window.findChild<QPushButton *>("stop");
        QVERIFY(testing::waitFor([&] { return progress->value() > 0; }, 10000));
        for (const QString how : {"Escape", "Continue"}) {
            bool asked = false;
            answerStop(how, &asked);
            stop->click();
            QVERIFY(asked);
            const int before = progress->value();
            QVERIFY2(testing::waitFor([&] { return progress->value() > before; }, 5000), qPrintable(how));
            QCOMPARE(ended.size(), 0);
        }
        bool asked = false;
        answerStop("Stop anyway", &asked);
        window.close(); // closing is Stop
        QVERIFY(asked);
        QVERIFY(ended.size() == 1 || ended.wait(5000));
        QCOMPARE(ended.first().first().toInt(), 130);
        QCOMPARE(text(tile(window, 1), "state"), QStringLiteral("\u25A0 Interrupted"));
    }
};

QTEST_MAIN(TestStationWindow)
#include "tst_stationwindow.moc"

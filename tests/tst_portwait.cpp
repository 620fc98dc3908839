#include "simrun.h"
#include "updateraccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <unistd.h>

using testing::pattern;

// Ports that come and go under an update: a USB hiccup, an adapter plugged
// in late, units that bring their own adapter. The device is mwire-sim
// behind a link that goes away with its terminal, as /dev/serial/by-id
// links do.
class TestPortWait : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QStringList updater(const QString &link, const QString &image, const QStringList &more = {})
    {
        return QStringList{"--port", link, "--file", image, "--download", "--timeout", "5"} + more;
    }

private slots:
    // The terminal goes away for a moment and comes back as another one; the
    // device kept its place. The image arrives whole, exactly once in order.
    void hiccup_data()
    {
        QTest::addColumn<QString>("at");
        QTest::newRow("while searching") << "search:600";
        QTest::newRow("mid-transfer") << "2048:600";
        QTest::newRow("after the end-of-image request") << "end:600";
    }
    void hiccup()
    {
        QFETCH(QString, at);
        const QByteArray image = pattern(4096, 51);
        const QString link = dir.filePath("hiccup-" + QString(QTest::currentDataTag()).replace(' ', '-'));
        const QString out = link + ".bin";
        Run run({"--link", link, "--hiccup-at", at}, out);
        run.startUpdater(updater(link, testing::writeFile(dir, "fw.plk", image), {"--json"}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains(QRegularExpression("Port \\S+ lost at \\d+ %, waiting for it")), qPrintable(result.err));
        QVERIFY2(result.err.contains(QRegularExpression("Port \\S+ back after \\d+\\.\\d s")), qPrintable(result.err));
        QVERIFY2(result.err.contains(", 1 reconnect"), qPrintable(result.err));
        const QJsonObject last = QJsonDocument::fromJson(result.out.last().toUtf8()).object();
        QCOMPARE(last.value("outcome").toString(), QStringLiteral("updated"));
        QCOMPARE(last.value("reconnects").toInt(), 1);
        QCOMPARE(last.value("bytes_covered").toInt(), 4096);
        int absent = 0, present = 0;
        for (const QString &line : result.out) {
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            if (event.value("event") == "port" && event.contains("present"))
                ++(event.value("present").toBool() ? present : absent);
        }
        QCOMPARE(absent, 1);
        QCOMPARE(present, 1);
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }

    // Back, but another device answers: nothing more goes to it. A station
    // counts the unit failed and waits for that device to leave, as after
    // any outcome, never taking it for the next unit.
    void anotherDeviceAnswers_data()
    {
        QTest::addColumn<bool>("station");
        QTest::newRow("an update") << false;
        QTest::newRow("a station") << true;
    }
    void anotherDeviceAnswers()
    {
        QFETCH(bool, station);
        auto first = std::make_unique<pty::Device>();
        const QString link = dir.filePath(QStringLiteral("another-%1").arg(station));
        QVERIFY(QFile::link(first->path, link));
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"}
                          + this->updater(link, testing::writeFile(dir, "fw.plk", pattern(64)),
                                          station ? QStringList{"--station", "--leave-seconds", "0.3"}
                                                  : QStringList()));
        std::unique_ptr<pty::Device> second;
        QByteArray toSecond; // the codes of the requests the second one got
        for (quint32 asked = 0; updater.state() != QProcess::NotRunning;) {
            pty::Device &line = second ? *second : *first;
            const QByteArray payload = pty::payloadOf(line.nextFrame(50));
            if (payload.size() != 8)
                continue;
            const quint8 code = quint8(payload[1]);
            if (second)
                toSecond += char(code);
            // Polled for three times its leave time and more, it is still there.
            if (toSecond.count('\x00') > 8)
                testing::signal(updater, SIGTERM);
            if (code == 0x00 || code == 0x01) // versions: 1.0, then 2.0 on the second
                line.respond(0x80 + code, second ? 0x02000100 : 0x01000100);
            else if (code == 0x03 || (code == 0x04 && asked < 16))
                line.respond(0x82, asked), asked += 4;
            else if (code == 0x04 && !second) { // pulled out, another one plugged in
                first.reset();
                QFile::remove(link);
                second = std::make_unique<pty::Device>();
                QVERIFY(QFile::link(second->path, link));
            }
        }
        const QString printed = QString::fromLocal8Bit(updater.readAllStandardOutput());
        QVERIFY2(printed.contains("another device answered on"), qPrintable(printed));
        QVERIFY(second);
        // The device query and the version query went to the second one,
        // and, while a station waits for it to leave, device queries alone.
        QVERIFY2(toSecond.startsWith(QByteArray("\x00\x01", 2)), toSecond.toHex().constData());
        QCOMPARE(toSecond.mid(2).count('\x00'), toSecond.size() - 2);
        if (!station) {
            QCOMPARE(updater.exitCode(), 2);
            QCOMPARE(toSecond.size(), 2);
            return;
        }
        QCOMPARE(updater.exitCode(), 1); // its one unit failed
        QVERIFY2(!printed.contains("unit 2"), qPrintable(printed));
        QVERIFY2(printed.contains("waiting for the device to leave") && !printed.contains("unit 1 is gone"),
                 qPrintable(printed));
        QVERIFY2(printed.contains("station: 1 units, 0 passed, 1 failed, 0 interrupted"), qPrintable(printed));
    }

    // A port that is not there at start is waited for, and used when it comes.
    void absentAtStart()
    {
        const QString link = dir.filePath("late");
        const QString out = link + ".bin";
        const QByteArray image = pattern(1024, 52);
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + this->updater(link, testing::writeFile(dir, "late.plk", image)));
        QByteArray printed;
        QVERIFY(testing::waitFor([&] { return (printed += updater.readAllStandardOutput()).contains("waiting for " + link.toLocal8Bit() + " to appear"); }, 5000));
        QTest::qWait(1000); // plugged in a second later
        Run run({"--link", link}, out);
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }

    // Four units, each with its own adapter, the third failing: the station
    // follows them all, and a lost port never ends it.
    void stationOfReplugs()
    {
        const QString link = dir.filePath("fixture");
        const QString out = dir.filePath("replug");
        const QString log = dir.filePath("replug.log");
        const QByteArray image = pattern(2048, 53);
        Run run({"--link", link, "--units", "4", "--fail-unit", "3", "--replug", "--away-ms", "500"}, out);
        run.startUpdater(updater(link, testing::writeFile(dir, "fw.plk", image),
                                 {"--station", "--count", "4", "--log", log}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out.last(), QStringLiteral("station: 4 units, 3 passed, 1 failed, 0 interrupted"));
        QCOMPARE(result.out.filter(QRegularExpression("^unit \\d: its port went away$")).size(), 3);
        for (int unit : {1, 2, 4})
            QCOMPARE(testing::received(out + '.' + QString::number(unit)), image);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count('\n'), 4);
    }
};

QTEST_GUILESS_MAIN(TestPortWait)
#include "tst_portwait.moc"

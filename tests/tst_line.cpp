#include "simrun.h"
#include "updateraccess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <memory>
#include <vector>

using testing::pattern;

// A line of bays: one updater process, a station on each of several ports,
// each port a simulated device of its own.
class TestLine : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static void stop(std::vector<Sim> &sims)
    {
        for (Sim &s : sims) {
            if (s.process->state() != QProcess::NotRunning) {
                s.process->kill();
                s.process->waitForFinished();
            }
        }
    }
    static QStringList portsOf(const std::vector<Sim> &sims)
    {
        QStringList ports;
        for (const Sim &s : sims)
            ports << "--port" << s.port;
        return ports;
    }
    void startLine(QProcess &updater, const QStringList &ports, const QString &image,
                   const QStringList &more = {})
    {
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen", "--station", "--download", "--file",
                                  image, "--leave-seconds", "1", "--timeout", "5"}
                          + ports + more);
    }
    static QList<QJsonObject> events(const QByteArray &out, const QString &kind)
    {
        QList<QJsonObject> found;
        for (const QByteArray &line : out.split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("event").toString() == kind)
                found += event;
        }
        return found;
    }
    static bool finished(QProcess &p, int ms)
    {
        return p.state() == QProcess::NotRunning || p.waitForFinished(ms);
    }

private slots:
    // Three bays: two of three units, bay 2's second unit cancelling, and
    // one whose port goes in its first unit's transfer and stays away. The
    // other units pass, each tally says so, the log has one line a unit, and
    // every event its bay.
    void threeBays()
    {
        const QByteArray image = pattern(8192, 31);
        const QString file = testing::writeFile(dir, "fw.plk", image);
        const QString log = dir.filePath("three.log");
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--units", "3", "--away-ms", "1500", "--out", dir.filePath("bay1")});
        sims.emplace_back(QStringList{"--units", "3", "--away-ms", "1500", "--fail-unit", "2"});
        sims.emplace_back(QStringList{"--hangup-at", "4096"});
        QProcess updater;
        startLine(updater, portsOf(sims), file,
                  {"--count", "7", "--json", "--log", log, "--reconnect-seconds", "0"});
        QVERIFY(finished(updater, 60000));
        const QByteArray out = updater.readAllStandardOutput();
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        stop(sims);
        QCOMPARE(updater.exitCode(), 1);
        for (int bay = 1; bay <= 3; ++bay) {
            const QString port = sims[size_t(bay - 1)].port;
            const QString tally = QStringLiteral("bay %1 %2: %3 units, %4 passed, %5 failed")
                                      .arg(bay).arg(port).arg(bay == 3 ? 1 : 3)
                                      .arg(bay == 1 ? 3 : bay == 2 ? 2 : 0).arg(bay == 1 ? 0 : 1);
            QVERIFY2(err.contains(tally), qPrintable(tally + "\n" + err));
        }
        QVERIFY2(err.contains("line: 7 units, 5 passed, 2 failed"), qPrintable(err));
        QVERIFY2(err.contains(QRegularExpression("bay 2 \\S+: unit \\d: try 1 failed|bay 2 \\S+: unit \\d failed")),
                 qPrintable(err));
        const QList<QJsonObject> results = events(out, "result");
        QCOMPARE(results.size(), 7);
        QSet<int> numbers;
        for (const QJsonObject &result : results) {
            const int bay = result.value("bay").toInt();
            QVERIFY(bay >= 1 && bay <= 3);
            QCOMPARE(result.value("port").toString(), sims[size_t(bay - 1)].port);
            numbers += result.value("unit").toInt();
            const QString outcome = result.value("outcome").toString();
            QCOMPARE(outcome, bay == 3 ? QStringLiteral("line-lost")
                              : outcome == "cancelled" && bay == 2 ? outcome : QStringLiteral("updated"));
        }
        QCOMPARE(numbers, (QSet<int>{1, 2, 3, 4, 5, 6, 7})); // over the whole line, each once
        for (const QByteArray &line : out.split('\n')) {
            if (!line.isEmpty())
                QVERIFY2(QJsonDocument::fromJson(line).object().contains("bay"), line.constData());
        }
        const QList<QJsonObject> tallies = events(out, "tally");
        QCOMPARE(tallies.size(), 1);
        QCOMPARE(tallies[0].value("passed").toInt(), 5);
        QCOMPARE(tallies[0].value("failed").toInt(), 2);
        QCOMPARE(tallies[0].value("bays").toArray().size(), 3);
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = records.readAll().split('\n');
        QCOMPARE(lines.size(), 8); // seven and the empty rest
        for (const QByteArray &line : lines.mid(0, 7))
            QCOMPARE(QJsonDocument::fromJson(line).object().value("event").toString(), QStringLiteral("result"));
        for (int unit = 1; unit <= 3; ++unit)
            QCOMPARE(testing::received(dir.filePath("bay1.%1").arg(unit)), image);
    }

    // A device that floods its line, beside one that is updated: the other
    // bay's image arrives whole, and the flood is never taken for a unit.
    void floodNextDoor()
    {
        const QByteArray image = pattern(16384, 77);
        const QString out = dir.filePath("flood-neighbour.bin");
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--flood"});
        sims.emplace_back(QStringList{"--once", "--out", out});
        QProcess updater;
        startLine(updater, portsOf(sims), testing::writeFile(dir, "fw.plk", image), {"--count", "1"});
        QVERIFY(finished(updater, 30000));
        const QString said = QString::fromLocal8Bit(updater.readAllStandardOutput());
        QVERIFY(sims[1].process->waitForFinished(5000));
        stop(sims);
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY2(said.contains(QRegularExpression("bay 2 \\S+: unit 1 passed")), qPrintable(said));
        QVERIFY2(!said.contains(QRegularExpression("bay 1 \\S+: unit")), qPrintable(said));
        QCOMPARE(testing::received(out), image);
    }

    // One device, two bays: each would write into the other's transfer.
    void onePortTwice_data()
    {
        QTest::addColumn<bool>("byLink");
        QTest::newRow("the same name") << false;
        QTest::newRow("a link and its terminal") << true;
    }
    void onePortTwice()
    {
        QFETCH(bool, byLink);
        pty::Device line;
        const QString link = dir.filePath(QStringLiteral("twice-%1").arg(byLink));
        QVERIFY(QFile::link(line.path, link));
        QProcess updater;
        startLine(updater, {"--port", line.path, "--port", byLink ? link : line.path},
                  testing::writeFile(dir, "fw.plk", pattern(64)));
        QVERIFY(finished(updater, 10000));
        QCOMPARE(updater.exitCode(), 64);
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains("pelkoupdate: bays 1 and 2 are one port"), qPrintable(err));
        QVERIFY(line.quietFor(100));
    }

    // A name that comes to mean a port another bay holds waits for it,
    // never writing into that bay's transfer.
    void laterOnAnotherBaysPort()
    {
        const QByteArray image = pattern(2048, 5); // 512 words, 3 ms late each: long enough to see
        const QString out = dir.filePath("later.bin");
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--once", "--out", out, "--late", "3"});
        const QString link = dir.filePath("later-link");
        QProcess updater;
        startLine(updater, QStringList{"--port", link} + portsOf(sims),
                  testing::writeFile(dir, "fw.plk", image), {"--count", "1"});
        QByteArray said;
        QVERIFY(testing::waitFor([&] { return (said += updater.readAllStandardOutput()).contains("bay 2"); }, 5000));
        QVERIFY(QFile::link(sims[0].port, link));
        QVERIFY(testing::waitFor([&] { return (said += updater.readAllStandardOutput()).contains("which another bay holds"); }, 5000));
        QVERIFY(finished(updater, 30000));
        said += updater.readAllStandardOutput();
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY2(!said.contains("bay 1 " + link.toLocal8Bit() + ": unit"), said.constData());
        QVERIFY(sims[0].process->waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }

    // A unit that cancels its first try passes on its second, and says so.
    void retryPasses()
    {
        const QByteArray image = pattern(4096, 9);
        const QString out = dir.filePath("retry.bin");
        const QString log = dir.filePath("retry.log");
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--once"});
        sims.emplace_back(QStringList{"--once", "--out", out, "--cancel-at", "1024", "--cancel-tries", "1"});
        QProcess updater;
        startLine(updater, portsOf(sims), testing::writeFile(dir, "fw.plk", image),
                  {"--count", "2", "--retries", "1", "--log", log, "--trace"});
        QVERIFY(finished(updater, 30000));
        const QString said = QString::fromLocal8Bit(updater.readAllStandardOutput());
        // Each bay's frames are marked with its bay.
        const QString traced = QString::fromLocal8Bit(updater.readAllStandardError());
        for (const QString &line : traced.split('\n')) {
            if (line.contains(" -> ") || line.contains(" <- "))
                QVERIFY2(line.startsWith("bay 1 " + sims[0].port + ": ") || line.startsWith("bay 2 " + sims[1].port + ": "),
                         qPrintable(line));
        }
        QVERIFY(sims[1].process->waitForFinished(5000)); // its image written
        stop(sims);
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY2(said.contains(QRegularExpression("bay 2 \\S+: unit \\d: try 1 failed \\(Device canncelled, please retry\\); trying again")),
                 qPrintable(said));
        QVERIFY2(said.contains(QRegularExpression("bay 2 \\S+: unit \\d passed on try 2 ")), qPrintable(said));
        QVERIFY2(said.contains("line: 2 units, 2 passed, 0 failed"), qPrintable(said));
        QCOMPARE(testing::received(out), image);
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        int secondTries = 0;
        for (const QByteArray &line : records.readAll().split('\n'))
            secondTries += QJsonDocument::fromJson(line).object().value("try").toInt() == 2 ? 1 : 0;
        QCOMPARE(secondTries, 1);
    }

    // SIGINT while one bay is mid-transfer ends every bay, each with its tally.
    void interruptEndsEveryBay()
    {
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--stall-at", "2048"});
        sims.emplace_back(QStringList{"--units", "3", "--away-ms", "60000"});
        QProcess updater;
        startLine(updater, portsOf(sims), testing::writeFile(dir, "fw.plk", pattern(8192)),
                  {"--timeout", "60"});
        QByteArray said;
        QVERIFY(testing::waitFor([&] {
            said += updater.readAllStandardOutput();
            return said.contains("bay 1 " + sims[0].port.toLocal8Bit() + ": progress 20%")
                   && said.contains(" passed ("); // bay 2's first unit; bay 1 never passes
        }, 10000));
        testing::signal(updater, SIGINT);
        QVERIFY(finished(updater, 10000));
        said += updater.readAllStandardOutput();
        stop(sims);
        QCOMPARE(updater.exitCode(), 130);
        QVERIFY2(said.contains("bay 1 " + sims[0].port.toLocal8Bit() + ": stopped by SIGINT: the device holds a partial image"),
                 said.constData());
        // The unit in hand is counted apart: interrupted, neither passed nor failed.
        QVERIFY2(said.contains("bay 1 " + sims[0].port.toLocal8Bit() + ": 1 units, 0 passed, 0 failed, 1 interrupted"), said.constData());
        QVERIFY2(said.contains("bay 2 " + sims[1].port.toLocal8Bit() + ": 1 units, 1 passed, 0 failed, 0 interrupted"), said.constData());
        QVERIFY2(said.contains("line: 2 units, 1 passed, 0 failed, 1 interrupted"), said.constData());
    }

    // A bay whose port can never be used ends at once, and the line says
    // why and ends as for a port that cannot be used, the other bay's units
    // passed or not.
    void bayThatCannotStart()
    {
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--once"});
        QProcess updater;
        startLine(updater, QStringList{"--port", "/dev/null"} + portsOf(sims),
                  testing::writeFile(dir, "fw.plk", pattern(1024, 4)), {"--count", "1", "--json"});
        QVERIFY(finished(updater, 20000));
        stop(sims);
        const QString said = QString::fromLocal8Bit(updater.readAllStandardError());
        QCOMPARE(updater.exitCode(), 3);
        QVERIFY2(said.contains("bay 1 /dev/null: 0 units, 0 passed, 0 failed, 0 interrupted; ended: Cannot open port "
                               "/dev/null: not a serial port"),
                 qPrintable(said));
        const QJsonObject first = events(updater.readAllStandardOutput(), "tally").value(0)
                                      .value("bays").toArray().at(0).toObject();
        QCOMPARE(first.value("exit_code").toInt(), 3);
        QVERIFY(first.value("reason").toString().contains("not a serial port"));
    }

    // A log under a file-size limit (ulimit -f, systemd's LimitFSIZE) that
    // takes one record: the write that crosses it is said, the units in
    // hand end with their results, the tally closes, no line is left torn.
    void logLimitMidLine()
    {
        const QString log = dir.filePath("limited.log");
        QFile::remove(log);
        std::vector<Sim> sims;
        sims.emplace_back(QStringList{"--units", "2", "--away-ms", "1500"});
        sims.emplace_back(QStringList{"--units", "2", "--away-ms", "1500"});
        QProcess updater;
        updater.setChildProcessModifier([] {
            const rlimit limit{1500, 1500};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        startLine(updater, portsOf(sims), testing::writeFile(dir, "fw.plk", pattern(2048, 3)),
                  {"--count", "4", "--log", log, "--db", "none"});
        QVERIFY(finished(updater, 30000));
        stop(sims);
        const QString said = QString::fromLocal8Bit(updater.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 3);
        QVERIFY2(err.contains("pelkoupdate: cannot write the log " + log + ": File too large"), qPrintable(err));
        QVERIFY2(said.contains(QRegularExpression("line: \\d units")), qPrintable(said));
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QByteArray written = records.readAll();
        QVERIFY(written.endsWith('\n'));
        for (const QByteArray &line : written.split('\n').mid(0, written.count('\n')))
            QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
    }

    // A signal while bay 1's unit is found but not yet sent a word, and bay
    // 2 waits for its port: one unit, one result, one record with its bay,
    // counted in the tally as interrupted; the waiting bay has no result.
    void talliesAgreeWithRecords()
    {
        pty::Device line;
        const QString log = dir.filePath("agree.log");
        QProcess updater;
        startLine(updater, {"--port", line.path, "--port", dir.filePath("not-plugged-in")},
                  testing::writeFile(dir, "fw.plk", pattern(256)),
                  {"--json", "--log", log, "--timeout", "60"});
        QByteArray said;
        while (updater.state() != QProcess::NotRunning && !said.contains("unit 1: device found")) {
            said += updater.readAllStandardError();
            const QByteArray payload = pty::payloadOf(line.nextFrame(20));
            // It answers the search and the version query, never the start.
            if (payload.size() == 8 && quint8(payload[1]) <= 0x01)
                line.respond(0x80 + quint8(payload[1]), 0x01000100);
        }
        QVERIFY(testing::waitFor([&] { return (said += updater.readAllStandardError()).contains("to appear"); }, 5000));
        testing::signal(updater, SIGINT);
        QVERIFY(finished(updater, 10000));
        said += updater.readAllStandardError();
        const QByteArray out = updater.readAllStandardOutput();
        QCOMPARE(updater.exitCode(), 130);
        const QList<QJsonObject> results = events(out, "result");
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].value("unit").toInt(), 1);
        QCOMPARE(results[0].value("bay").toInt(), 1);
        QCOMPARE(results[0].value("outcome").toString(), QStringLiteral("interrupted"));
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = records.readAll().split('\n');
        QCOMPARE(lines.size(), 2); // one and the empty rest
        QCOMPARE(QJsonDocument::fromJson(lines[0]).object(), results[0]);
        const QJsonObject tally = events(out, "tally").value(0);
        QCOMPARE(tally.value("passed").toInt() + tally.value("failed").toInt() + tally.value("interrupted").toInt(), 1);
        QCOMPARE(tally.value("interrupted").toInt(), 1);
        QCOMPARE(tally.value("bays").toArray().at(0).toObject().value("interrupted").toInt(), 1);
        QVERIFY2(said.contains("line: 1 units, 0 passed, 0 failed, 1 interrupted"), said.constData());
    }
};

QTEST_MAIN(TestLine)
#include "tst_line.moc"

#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using testing::pattern;

// What a program reads of a scripted update: every line of standard output
// a JSON object of the schema, and the image proven by its digest.
class TestJsonEvents : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void wholeFailedCancelled_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("whole") << QStringList() << 0 << "updated";
        QTest::newRow("failed: the device stalls") << QStringList{"--stall-at", "2048"} << 2 << "no-progress";
        QTest::newRow("cancelled") << QStringList{"--cancel-at", "2048"} << 1 << "cancelled";
    }
    void wholeFailedCancelled()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        const QByteArray image = pattern(8192, 31);
        const QString sha256 = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        Run run(simOptions);
        const QString path = testing::writeFile(dir, "fw.plk", image);
        run.startUpdater({"--port", run.port, "--file", path, "--download", "--json", "--timeout", "0.5"});
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        QStringList events;
        QJsonObject last;
        for (const QString &line : result.out) {
            QJsonParseError error;
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
            QCOMPARE(event.value("schema").toInt(), 2);
            QVERIFY2(event.value("time").toString().endsWith('Z'), qPrintable(line));
            QCOMPARE(event.value("run").toString().size(), 16);
            QVERIFY2(event.value("unit").isNull() || event.value("unit").isUndefined(), qPrintable(line)); // not a station
            QVERIFY2(!line.contains("\"\""), qPrintable(line)); // null, never ""
            events += event.value("event").toString();
            if (events.last() == "image") {
                QCOMPARE(event.value("path").toString(), path);
                QCOMPARE(event.value("size").toInt(), 8192);
                QCOMPARE(event.value("sha256").toString(), sha256);
            }
            if (events.last() == "device")
                QCOMPARE(event.value("firmware").toString(), QStringLiteral("01.00"));
            last = event;
        }
        QCOMPARE(events.first(), QStringLiteral("port"));
        QCOMPARE(events.mid(1, 2), (QStringList{"status", "image"}));
        QVERIFY(events.contains("device") && events.contains("progress"));
        QCOMPARE(events.last(), QStringLiteral("result"));
        QCOMPARE(last.value("outcome").toString(), outcome);
        QCOMPARE(last.value("exit_code").toInt(), exitCode);
        QCOMPARE(last.value("sha256").toString(), sha256);
        QCOMPARE(last.value("file_sha256").toString(), sha256);
        QCOMPARE(last.value("bytes_covered").toInt(), exitCode == 0 ? 8192 : 2048);
        // What the log of a station holds, for one update too.
        QCOMPARE(last.value("port").toString(), run.port);
        QCOMPARE(last.value("image").toString(), path);
        QCOMPARE(last.value("firmware").toString(), QStringLiteral("01.00"));
        QCOMPARE(last.value("hardware").toString(), QStringLiteral("01.00"));
        QVERIFY(last.contains("unit") && last.value("unit").isNull());
        QVERIFY(last.contains("bay") && last.value("bay").isNull()); // one port
        QCOMPARE(last.value("unaligned_offsets").toInt(-1), 0);
        QVERIFY(last.value("line").toObject().contains("frames_sent"));
        // The people's lines went to standard error.
        QVERIFY2(result.err.contains("image " + path + ": 8192 bytes, sha256 " + sha256), qPrintable(result.err));
    }

    // --expect-sha256: the image proven before anything is sent.
    void expectedImage_data()
    {
        QTest::addColumn<QString>("expected");
        QTest::newRow("the image's digest") << "image";
        QTest::newRow("the whole file's digest, as sha256sum prints it") << "file";
        QTest::newRow("another image") << "other";
    }
    void expectedImage()
    {
        QFETCH(QString, expected);
        const QByteArray image = pattern(4096, 41);
        const QByteArray file = QByteArray(16, 'h') + image;
        const QString sha256 = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        const QString fileSha256 = QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex();
        const QString other = QCryptographicHash::hash("other", QCryptographicHash::Sha256).toHex();
        pty::Device line;
        QProcess updater;
        const QString path = testing::writeFile(dir, "fw.pelk", file);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file", path, "--download",
                       "--timeout", "0.5", "--expect-sha256",
                       expected == "image" ? sha256.toUpper() : expected == "file" ? fileSha256 : other});
        if (expected != "other") {
            QCOMPARE(line.nextFrame(5000), pty::hex("7eff50000000000000" "97"));
            QVERIFY(updater.waitForFinished(10000));
            QCOMPARE(updater.exitCode(), 2); // nobody answers here
            return;
        }
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 3);
        QVERIFY(line.quietFor(100));
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains(path + " has SHA-256 " + fileSha256 + " as a whole file and " + sha256
                              + " as the image after its header; neither is the expected " + other),
                 qPrintable(err));
        // Both were printed before the refusal.
        const QString out = QString::fromLocal8Bit(updater.readAllStandardOutput());
        QVERIFY2(out.contains("sha256 " + sha256 + "; the file's sha256 " + fileSha256), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestJsonEvents)
#include "tst_jsonevents.moc"

#include "simrun.h"
#include "updateraccess.h"

#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>
#include <QTest>

using A = UpdaterAccess;
using testing::padded;
using testing::pattern;

namespace {
const QString updated = QStringLiteral("Firmware is updated");

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static void toReady(pelkoUpdate &w, const QString &version = {})
    {
        QVERIFY(testing::waitFor([&] { return A::state(w) == StateReady; }, 5000));
        if (!version.isEmpty())
            QCOMPARE(A::status(w), version);
        A::download(w);
    }

private slots:
    void initTestCase() { QVERIFY(QFile::exists(qEnvironmentVariable("MWIRE_SIM_BIN"))); }

    // The simulator's help tells every option its synopsis names, on
    // standard output; a bad option is still a bad command line.
    void simulatorHelp()
    {
        QProcess help;
        help.start(qEnvironmentVariable("MWIRE_SIM_BIN"), {"--help"});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
        QProcess bad;
        bad.start(qEnvironmentVariable("MWIRE_SIM_BIN"), {"--no-such-option"});
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 64);
        QVERIFY(bad.readAllStandardOutput().isEmpty());
        const QString synopsis = QString::fromLocal8Bit(bad.readAllStandardError());
        int options = 0;
        for (const QRegularExpressionMatch &option : QRegularExpression("--[a-z-]+").globalMatch(synopsis)) {
            if (option.captured() == "--no-such-option")
                continue;
            ++options;
            QVERIFY2(text.contains("  " + option.captured() + ' '), qPrintable(option.captured()));
        }
        QVERIFY(options > 20);
    }

    void images_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::newRow("one word") << "fw.plk" << 4;
        QTest::newRow("not whole words") << "fw.plk" << 6;
        QTest::newRow("exactly one block") << "fw.pelk" << 1024;
        QTest::newRow("not whole blocks") << "fw.pelk" << 1500;
        QTest::newRow("64 KiB raw") << "fw.plk" << 65536;
        QTest::newRow("64 KiB headed, odd tail") << "fw.pelk" << 65536 + 3;
    }
    void images()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        const QString out = dir.filePath("received-" + QString::number(size));
        Sim sim({"--once", "--out", out, "--firmware", "2.0a", "--hardware", "3.4"});
        QVERIFY(!sim.port.isEmpty());
        const QByteArray image = pattern(size, 5);
        const QString header = name.endsWith(".pelk") ? QStringLiteral("HEADER-16-BYTES!") : QString();
        const auto w = testing::windowOn(sim.port);
        A::choose(*w, testing::writeFile(dir, name, header.toLatin1() + image));
        toReady(*w, QStringLiteral("Firm V02.0a, hardware V03.04, click Download"));
        QVERIFY(testing::waitFor([&] { return A::status(*w) == updated; }, 60000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
        QCOMPARE(sim.process->exitCode(), 0);
        QCOMPARE(testing::received(out), padded(image));
        QVERIFY(sim.summary().contains(QStringLiteral("bad checksums 0")));
        // The device went away after its report: the report stays.
        QTRY_VERIFY_WITH_TIMEOUT(!A::portOpen(*w), 5000);
        QCOMPARE(A::status(*w), updated);
    }

    void emptyFile()
    {
        Sim sim({"--once"});
        const auto w = testing::windowOn(sim.port);
        A::choose(*w, testing::writeFile(dir, "empty.plk", QByteArray()));
        toReady(*w);
        QCOMPARE(A::status(*w), QStringLiteral("File is Vacant"));
        QCOMPARE(A::state(*w), qint32(StateReady));
    }

    // Faults the device or the line can have, and what the user sees.
    void faults_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("completes");
        QTest::newRow("silent at first") << QStringList{"--silent", "3"} << updated << true;
        QTest::newRow("answers late") << QStringList{"--late", "230"} << updated << true;
        QTest::newRow("noise between frames") << QStringList{"--noise"} << updated << true;
        QTest::newRow("answers byte by byte") << QStringList{"--split"} << updated << true;
        QTest::newRow("paced line") << QStringList{"--baud", "460800"} << updated << true;
        QTest::newRow("baud 0, unpaced as by default") << QStringList{"--baud", "0"} << updated << true;
        QTest::newRow("cancels") << QStringList{"--cancel-at", "512"} << "Device canncelled, please retry" << false;
        QTest::newRow("stalls") << QStringList{"--stall-at", "512"} << "device time out, re-start this program" << false;
        QTest::newRow("hangs up") << QStringList{"--hangup-at", "512"} << "Port .* lost: .*download stopped.*" << false;
    }
    void faults()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, status);
        QFETCH(bool, completes);
        // Slow devices get small images, to keep the suite quick.
        const int size = options.contains("--late") ? 32 : options.contains("--split") ? 512 : 8192;
        const QByteArray image = pattern(size, 9);
        const QString out = dir.filePath("faults.bin");
        QFile::remove(out);
        Sim sim(QStringList{"--once", "--out", out} + options);
        const auto w = testing::windowOn(sim.port);
        A::choose(*w, testing::writeFile(dir, "fw.plk", image));
        if (options.contains("--silent"))
            QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), QStringLiteral("finding device..."), 2000);
        toReady(*w);
        const QRegularExpression expected(QRegularExpression::anchoredPattern(status));
        QVERIFY2(testing::waitFor([&] { return expected.match(A::told(*w)).hasMatch(); }, 30000),
                 qPrintable(A::told(*w)));
        if (completes) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
            QCOMPARE(sim.process->exitCode(), 0);
            QCOMPARE(testing::received(out), image);
            return;
        }
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::fileEnabled(*w));
        QCOMPARE(A::state(*w), options.contains("--stall-at") ? qint32(StateSendData)
                                                                : qint32(StateFindDevice));
        if (!options.contains("--stall-at")) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
            QCOMPARE(sim.process->exitCode(), 1);
            QVERIFY(sim.summary().contains("no complete image"));
        }
        // The window stays usable to close; a transfer left hanging asks first.
        w->show();
        if (options.contains("--stall-at"))
            testing::answerEndQuestion(true);
        A::ui(*w).pushButtonCancel->click();
        QVERIFY(!w->isVisible());
    }

    // The file is swapped under the updater between File and Download.
    void fileChangedBeforeDownload_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("deleted") << "deleted";
        QTest::newRow("truncated") << "truncated";
        QTest::newRow("replaced by an empty one") << "empty";
        QTest::newRow("rewritten, same size") << "rewritten";
        QTest::newRow("rewritten, under a script") << "scripted";
    }
    void fileChangedBeforeDownload()
    {
        QFETCH(QString, change);
        const QByteArray image = pattern(3000, 4);
        const QString out = dir.filePath("changed.bin");
        Sim sim({"--once", "--out", out});
        const auto w = testing::windowOn(sim.port);
        // A script has no File button to point at.
        struct Script : UpdateObserver
        {
            void statusShown(const QString &) override {}
            void deviceFound() override {}
            void readyForDownload(qint32) override {}
            void wordSent(quint32) override {}
            void endOfImageSent(quint32) override {}
            void ended(Outcome) override {}
        } script;
        if (change == "scripted")
            w->setObserver(&script);
        const QString again = change == "scripted" ? "start again with the new file" : "choose it again with File";
        const QString path = testing::writeFile(dir, "fw.plk", image);
        A::choose(*w, path);
        QVERIFY(testing::waitFor([&] { return A::state(*w) == StateReady; }, 5000));
        const QDateTime chosen = QFileInfo(path).lastModified();
        if (change == "deleted") {
            QVERIFY(QFile::remove(path));
        } else {
            if (change == "truncated")
                QVERIFY(QFile::resize(path, 1000));
            else
                testing::writeFile(dir, "fw.plk", change == "empty" ? QByteArray() : pattern(3000, 7));
            QFile file(path); // written within the same clock tick or not: later
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(chosen.addSecs(1), QFileDevice::FileModificationTime));
        }
        A::download(*w);
        QCOMPARE(A::told(*w), path + " changed after it was chosen; " + again);
        QCOMPARE(A::status(*w), "fw.plk changed; " + again);
        w->setObserver(nullptr);
        QVERIFY(A::fileEnabled(*w));
        QVERIFY(!A::downloadEnabled(*w));

        // Chosen again, the file as it is now goes over whole.
        testing::writeFile(dir, "fw.plk", image);
        A::choose(*w, path);
        QVERIFY(testing::waitFor([&] { return A::state(*w) == StateReady; }, 5000));
        A::download(*w);
        QVERIFY(testing::waitFor([&] { return sim.finished(); }, 20000));
        QCOMPARE(A::status(*w), updated);
        QCOMPARE(testing::received(out), image);
    }

    // Files of every awkward size and kind: refused at File, or a clear end.
    void awkwardFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("outcome");
        for (const char *suffix : {"plk", "pelk"}) {
            const bool headed = QByteArray(suffix) == "pelk";
            for (int size : {0, 1, 15, 16, 17}) {
                QString outcome = updated;
                if (size == 0 || (headed && size == 16))
                    outcome = QStringLiteral("File is Vacant");
                else if (headed && size < 16)
                    outcome = QStringLiteral("is shorter than its 16-byte header");
                QTest::addRow("%d bytes, %s", size, suffix)
                    << QStringLiteral("fw%1.%2").arg(size).arg(suffix) << qint64(size) << outcome;
            }
        }
        QTest::newRow("sparse, over 2 GiB") << "huge.plk" << (qint64(3) << 30) << "is too large for the device";
        QTest::newRow("a folder") << "folder.plk" << qint64(-1) << "is not a regular file";
        QTest::newRow("a fifo") << "fifo.plk" << qint64(-2) << "is not a regular file";
    }
    void awkwardFiles()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, outcome);
        const QString path = dir.filePath(name);
        QByteArray bytes;
        if (size == -1) {
            QVERIFY(QDir(dir.path()).mkpath(name));
        } else if (size == -2) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (size > 1 << 20) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        } else {
            bytes = pattern(int(size), 2);
            testing::writeFile(dir, name, bytes);
        }
        const QString out = dir.filePath(name + ".received");
        Sim sim({"--once", "--out", out});
        const auto w = testing::windowOn(sim.port);
        A::choose(*w, path);
        if (!A::fileEnabled(*w)) { // accepted: the rest is the update's to tell
            QVERIFY(testing::waitFor([&] { return A::state(*w) == StateReady; }, 5000));
            A::download(*w);
        }
        QVERIFY2(testing::waitFor([&] { return A::status(*w).endsWith(outcome); }, 10000),
                 qPrintable(A::status(*w)));
        if (outcome != updated)
            return;
        QVERIFY(testing::waitFor([&] { return sim.finished(); }, 5000));
        QCOMPARE(testing::received(out), padded(bytes.mid(name.endsWith(".pelk") ? 16 : 0)));
    }

    // Only one program may have a port at a time; the second one is told.
    void portHeldByAnother()
    {
        Sim sim({"--once"});
        const auto first = testing::windowOn(sim.port);
        A::choose(*first, testing::writeFile(dir, "fw.plk", pattern(64)));
        QVERIFY(A::portOpen(*first));
        QProcess second;
        second.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                     {"-platform", "offscreen", "--port", sim.port, "--file",
                      dir.filePath("fw.plk"), "--download"});
        QVERIFY(testing::waitFor([&] { return second.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(second.exitCode(), 3);
        const QString error = QString::fromLocal8Bit(second.readAllStandardError());
        QVERIFY2(error.contains("Cannot open port " + sim.port + ": "), qPrintable(error));
    }

    // As a user outside the device's group: the reason and what to do.
    void portTheUserMayNotOpen_data()
    {
        QTest::addColumn<bool>("groupMayOpen");
        QTest::newRow("device of a group") << true;
        QTest::newRow("device of its owner only") << false;
    }
    void portTheUserMayNotOpen()
    {
        QFETCH(bool, groupMayOpen);
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to act as another user");
        Sim sim({"--once"});
        const QByteArray port = QFile::encodeName(sim.port);
        QCOMPARE(::chown(port.constData(), 0, 20), 0); // group dialout's number on Debian
        QCOMPARE(::chmod(port.constData(), groupMayOpen ? 0660 : 0600), 0);
        QTemporaryDir shared(QDir::tempPath() + "/pelko-XXXXXX");
        QFile::setPermissions(shared.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                 | QFile::ReadOther | QFile::ExeOther);
        const QString file = testing::writeFile(shared, "fw.plk", pattern(64));
        QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther);
        QProcess updater;
        updater.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                  qEnvironmentVariable("PELKOUPDATE_BIN"), "-platform", "offscreen",
                                  "--port", sim.port, "--file", file, "--download"});
        QVERIFY(testing::waitFor([&] { return updater.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(updater.exitCode(), 3);
        const QString error = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(error.contains("Permission denied"), qPrintable(error));
        QVERIFY2(error.contains(groupMayOpen ? "not in the group dialout" : "may not read and write"),
                 qPrintable(error));
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("unknown") << QStringList{"--frob"};
        QTest::newRow("missing value") << QStringList{"--late"};
        QTest::newRow("not a number") << QStringList{"--silent", "many"};
        QTest::newRow("bad version") << QStringList{"--firmware", "7"};
        QTest::newRow("version part past two hex digits") << QStringList{"--firmware", "1.100"};
    }
    void badOptions()
    {
        QFETCH(QStringList, options);
        QProcess sim;
        sim.start(qEnvironmentVariable("MWIRE_SIM_BIN"), options);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 64);
        QVERIFY(sim.readAllStandardError().startsWith("mwire-sim: "));
        QVERIFY(sim.readAllStandardOutput().isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"

#include "lineoutput.h"
#include "scriptedupdate.h"
#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>

using testing::pattern;

class TestScriptedUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(qEnvironmentVariable("MWIRE_SIM_BIN")));
        QVERIFY(QFile::exists(qEnvironmentVariable("PELKOUPDATE_BIN")));
    }

    void updated()
    {
        const QByteArray image = pattern(4096, 1);
        const QString path = testing::writeFile(dir, "fw.plk", image);
        const QString out = dir.filePath("updated.bin");
        Run run({"--firmware", "1.2", "--hardware", "0.9"}, out);
        run.startUpdater({"--port", run.port, "--file", path, "--download"});
        Result result = run.result();
        QCOMPARE(result.exitCode, 0);
        const QString sha256 = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        QStringList expected{run.port + "  " + path,
                             "image " + path + ": 4096 bytes, sha256 " + sha256 + "; the file's sha256 " + sha256, "get Version Info",
                             "Firm V01.02, hardware V00.09, click Download",
                             "Please wait, in progressing..."};
        QCOMPARE(result.out.mid(0, expected.size()), expected);
        for (int decile = 10; decile <= 100; decile += 10) {
            const QString progress = result.out.value(expected.size() + decile / 10 - 1);
            QVERIFY2(QRegularExpression(QStringLiteral("^progress %1% \\(\\d+ of 4096 bytes, \\d+ B/s, "
                                                       "(\\d+|\\?) s left\\)$").arg(decile))
                         .match(progress).hasMatch(),
                     qPrintable(progress));
        }
        expected = result.out.mid(0, expected.size() + 10) + QStringList{"Firmware is updated"};
        QCOMPARE(result.out.mid(0, expected.size()), expected);
        QCOMPARE(result.out.size(), expected.size() + 3);
        QCOMPARE(result.out.last(), QStringLiteral("line: frames sent 1028, received 1028, noise bytes "
                                                   "dropped 0, frames ignored 0, checksums differing 0"));
        result.out.removeLast();
        QCOMPARE(result.out.takeLast(), "image 4096 bytes, sha256 " + sha256);
        QVERIFY2(QRegularExpression("^sent 1024 words, 4096 of 4096 image bytes covered, in "
                                    "\\d+\\.\\d{3} s, \\d+ bytes/s$")
                     .match(result.out.last()).hasMatch(),
                 qPrintable(result.out.last()));
        QVERIFY(!result.err.contains("pelkoupdate:"));
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(run.sim.exitCode(), 0);
        QCOMPARE(testing::received(out), image);
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        QTest::newRow("device cancels") << QStringList{"--cancel-at", "512"} << "fw.plk" << ""
                                        << 1 << "Device canncelled, please retry";
        QTest::newRow("device stalls") << QStringList{"--stall-at", "512"} << "fw.plk" << ""
                                       << 2 << "no progress for 0.5 s while waiting for the device to ask for the next word";
        QTest::newRow("device never answers") << QStringList{"--silent", "1000000"} << "fw.plk" << ""
                                              << 2 << "no progress for 0.5 s while waiting for the device to answer the device query";
        QTest::newRow("line unplugged, no reconnect") << QStringList{"--hangup-at", "512"} << "fw.plk" << "--reconnect-seconds 0"
                                                      << 2 << "lost";
        QTest::newRow("line unplugged, not back") << QStringList{"--hangup-at", "512"} << "fw.plk" << "--reconnect-seconds 0.5"
                                                  << 2 << "not back within 0.5 s";
        QTest::newRow("empty file") << QStringList() << "empty.plk" << "" << 3 << "File is Vacant";
        QTest::newRow("a .pelk that is its header alone") << QStringList() << "header.pelk" << "" << 3
                                                         << "File is Vacant";
        QTest::newRow("missing file") << QStringList() << "missing.plk" << "" << 3
                                      << "No such file or directory";
        QTest::newRow("a port that is no serial port") << QStringList() << "fw.plk" << "/dev/null" << 3
                                                       << "Cannot open port /dev/null: not a serial port";
        QTest::newRow("no such port, waited for") << QStringList() << "fw.plk" << "/dev/pelko-no-such-port"
                                                  << 2 << "no progress for 0.5 s while waiting for /dev/pelko-no-such-port to appear";
        QTest::newRow("a file name that would forge lines")
            << QStringList{"--cancel-at", "512"} << "x\nFirmware is updated\n\x1b[2J.plk" << "" << 1
            << "Device canncelled, please retry";
    }
    void failures()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QString, file);
        QFETCH(QString, port);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        testing::writeFile(dir, "fw.plk", pattern(4096));
        testing::writeFile(dir, "empty.plk", QByteArray());
        testing::writeFile(dir, "header.pelk", QByteArray(16, 'H'));
        if (file.startsWith("x\n"))
            testing::writeFile(dir, file, pattern(4096));
        Run run(simOptions);
        QStringList more;
        if (port.startsWith("--")) // options of the updater's own
            more = port.split(' '), port.clear();
        run.startUpdater(QStringList{"--port", port.isEmpty() ? run.port : port, "--file",
                                     dir.filePath(file), "--download", "--timeout", "0.5"} + more);
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains("pelkoupdate: ") && result.err.contains(error),
                 qPrintable(result.err));
        QVERIFY(result.out.size() >= 2);
        const QStringList closing = result.out.mid(result.out.size() - 3);
        QVERIFY2(std::any_of(closing.begin(), closing.end(), [](const QString &line) { return line.startsWith("sent "); }),
                 qPrintable(result.out.join('\n')));
        QVERIFY(result.out.last().startsWith("line: frames sent "));
        QVERIFY(!result.out.contains("Firmware is updated"));
        QVERIFY(!result.out.join('\n').contains('\x1b'));
        // The program's own texts come in lines, never joined by a "\n" shown.
        if (!file.startsWith("x\n"))
            QVERIFY2(!(result.out.join('\n') + result.err).contains("\\n"), qPrintable(result.err));
        if (port == "/dev/null") // who else has it open says nothing of a port it is not
            QVERIFY2(!result.err.contains("open: close it first"), qPrintable(result.err));
        if (file.startsWith("x\n"))
            QVERIFY2(result.out.join('\n').contains("x\\nFirmware is updated\\n\\x1b[2J.plk"), qPrintable(result.out.join('\n')));
    }

    // One process per port, each with its own device and image.
    void twoAtOnce()
    {
        const QByteArray imageA = pattern(16384, 11);
        const QByteArray imageB = pattern(12000, 22);
        const QString outA = dir.filePath("a.bin");
        const QString outB = dir.filePath("b.bin");
        Run a({}, outA);
        Run b({"--noise"}, outB);
        a.startUpdater({"--port", a.port, "--file", testing::writeFile(dir, "a.plk", imageA), "--download"});
        b.startUpdater({"--port", b.port, "--file", testing::writeFile(dir, "b.plk", imageB), "--download"});
        QCOMPARE(a.result().exitCode, 0);
        QCOMPARE(b.result().exitCode, 0);
        QVERIFY(a.sim.waitForFinished(5000) && b.sim.waitForFinished(5000));
        QCOMPARE(testing::received(outA), imageA);
        QCOMPARE(testing::received(outB), imageB);
    }

    // A device that goes astray at or after the end: the outcome and the
    // closing lines say what it holds, never more.
    void astrayAtTheEnd_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("asks for a garbled offset") << "garbled" << 4
            << "pelkoupdate: Device asked for 16779264, image ends at 4096: stopped";
        QTest::newRow("skips to the end") << "skips" << 5
            << "pelkoupdate: Firmware is updated; the device confirmed, but never asked for 4088 image bytes";
        QTest::newRow("asks for no word") << "none" << 5
            << "the device confirmed, but never asked for 4096 image bytes";
        QTest::newRow("asks 2 for 0, then every word") << "shifted" << 5
            << "pelkoupdate: Firmware is updated; the device confirmed, but never asked for 4 image bytes "
               "and asked 1 unaligned offset";
        QTest::newRow("ends the image a byte past its end") << "past-end" << 5
            << "pelkoupdate: Firmware is updated; the device confirmed, but asked 1 unaligned offset";
        QTest::newRow("asks for every other word") << "alternate" << 5
            << "the device ended the image with 2048 image bytes never asked for";
        QTest::newRow("cancels after the end") << "cancels" << 1
            << "pelkoupdate: Device canncelled, please retry";
        QTest::newRow("never confirms") << "silent" << 2
            << "confirm the image; the whole image was sent; the device did not confirm it";
        QTest::newRow("SIGTERM while it checks") << "signal" << 143
            << "stopped by SIGTERM: the whole image was sent; the device did not confirm it";
    }
    void astrayAtTheEnd()
    {
        QFETCH(QString, device);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        pty::Device line;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file",
                       testing::writeFile(dir, "fw.plk", pattern(4096)), "--download", "--timeout", "1"});
        QByteArray requests;
        quint32 next = 0;
        QElapsedTimer running;
        running.start();
        while (updater.state() != QProcess::NotRunning && running.elapsed() < 10000) {
            const QByteArray payload = pty::payloadOf(line.nextFrame(20));
            if (payload.size() != 8)
                continue;
            const quint8 code = quint8(payload[1]);
            requests += char(code);
            if (code == 0x00 || code == 0x01)
                line.respond(0x80 + code, 0x01000100);
            else if (code == 0x03 || code == 0x04) {
                next = code == 0x03 ? (device == "none" ? 4096 : device == "shifted" ? 2 : 0)
                                    : next == 2 ? 4 : next + (device == "alternate" ? 8 : 4);
                if (next == 4096 && device == "past-end")
                    next = 4097;
                if (next == 8 && device == "garbled")
                    next = 0x01000800; // a line error in the high byte
                else if (next == 8 && device == "skips")
                    next = 4096;
                line.respond(0x82, next);
            } else if (code == 0x05 && device == "signal")
                testing::signal(updater, SIGTERM);
            else if (code == 0x05 && device != "silent")
                line.respond(device == "cancels" ? 0x84 : 0x83);
        }
        QVERIFY(updater.state() == QProcess::NotRunning || updater.waitForFinished(3000));
        QCOMPARE(updater.exitCode(), exitCode);
        QCOMPARE(requests.contains('\x05'), device != "garbled");
        const QString printed = QString::fromLocal8Bit(updater.readAllStandardOutput() + updater.readAllStandardError());
        QVERIFY2(printed.contains(said), qPrintable(printed));
        // The progress lines claim no more than was covered.
        if (device == "skips" || device == "none")
            QVERIFY2(!printed.contains("progress "), qPrintable(printed));
        if (device == "shifted")
            QVERIFY2(printed.contains(", 1 unaligned offset (garbled, covering nothing)")
                         && printed.contains("sent 1024 words, 4092 of 4096 image bytes covered"),
                     qPrintable(printed));
    }

    // A reader that stops reading (head, a closed pipe) never stops the update.
    void readerGoesAway()
    {
        const QByteArray image = pattern(65536, 3);
        const QString out = dir.filePath("piped.bin");
        Run run({}, out);
        QProcess shell;
        shell.start("bash", {"-c", "\"$@\" | head -n 2; exit \"${PIPESTATUS[0]}\"", "bash",
                             qEnvironmentVariable("PELKOUPDATE_BIN"), "-platform", "offscreen",
                             "--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image),
                             "--download"});
        QVERIFY(shell.waitForFinished(60000));
        QCOMPARE(shell.readAllStandardOutput().count('\n'), 2);
        QCOMPARE(shell.exitCode(), 0);
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }

    // The window closed by hand under a script: a closing line that says
    // what the device holds, as for a signal.
    void closedByHand_data()
    {
        QTest::addColumn<int>("words");
        QTest::addColumn<QString>("said");
        QTest::newRow("before the transfer") << -1 << "window closed before the transfer began";
        QTest::newRow("mid-transfer") << 1 << "window closed: the device holds a partial image";
        QTest::newRow("after the end of image")
            << 2 << "window closed: the whole image was sent; the device did not confirm it";
    }
    void closedByHand()
    {
        QFETCH(int, words);
        QFETCH(QString, said);
        pty::Device line;
        auto w = testing::windowOn(line);
        FILE *printed = std::tmpfile();
        LineOutput out(fileno(printed));
        LineOutput err(fileno(printed));
        ScriptedUpdate script(*w, 5000, out, err);
        w->show();
        script.start(testing::writeFile(dir, "fw.plk", pattern(8)));
        QVERIFY(!line.nextFrame().isEmpty());
        if (words >= 0) {
            line.respond(0x80);
            QVERIFY(!line.nextFrame().isEmpty());
            line.respond(0x81);
            QVERIFY(!line.nextFrame().isEmpty()); // the start request, the script's click
            for (int i = 0; i < words; ++i) {
                line.respond(0x82, 4 * i);
                QVERIFY(!line.nextFrame().isEmpty());
            }
            if (words == 2) {
                line.respond(0x82, 8);
                QCOMPARE(pty::payloadOf(line.nextFrame()).mid(1, 1), QByteArray("\x05"));
            }
        }
        w->close();
        QTRY_VERIFY(!w->isVisible());
        QCOMPARE(script.exitCode(), 130);
        QVERIFY(line.quietFor(300));
        std::rewind(printed);
        QByteArray text(4096, 0);
        text.resize(qsizetype(std::fread(text.data(), 1, size_t(text.size()), printed)));
        std::fclose(printed);
        QVERIFY2(text.contains(said.toLatin1() + '\n'), text.constData());
        QVERIFY2(text.contains("\nsent "), text.constData());
    }

    // A reader that takes nothing (a pager, a stalled logger): the update
    // ends on time and exactly, and says how many lines it could not write.
    void stuckReader()
    {
        const QByteArray image = pattern(16384, 12);
        const QString out = dir.filePath("stuck.bin");
        Run run({}, out);
        int stuck[2];
        QVERIFY(::pipe(stuck) == 0);
        run.updater.setChildProcessModifier([&] {
            ::dup2(stuck[1], 2);
            ::close(stuck[0]);
        });
        QElapsedTimer clock;
        clock.start();
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image),
                          "--download", "--trace", "--timeout", "2"});
        const Result result = run.result();
        const qint64 took = clock.elapsed();
        ::close(stuck[0]);
        ::close(stuck[1]);
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(took < 5000, qPrintable(QString::number(took)));
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
        QVERIFY2(QRegularExpression("bytes/s; \\d+ lines not written, the reader did not take them$")
                     .match(result.out.value(result.out.size() - 3)).hasMatch(),
                 qPrintable(result.out.join('\n')));
    }

    // Ctrl-C, kill, a closed terminal: the update stops where it is, with a
    // summary, and the device never hears that a partial image is complete.
    void stoppedBySignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("midTransfer");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("SIGINT mid-transfer") << SIGINT << true << 130;
        QTest::newRow("SIGTERM mid-transfer") << SIGTERM << true << 143;
        QTest::newRow("SIGHUP mid-transfer") << SIGHUP << true << 129;
        QTest::newRow("SIGTERM before the transfer") << SIGTERM << false << 143;
    }
    void stoppedBySignal()
    {
        QFETCH(int, signal);
        QFETCH(bool, midTransfer);
        QFETCH(int, exitCode);
        const QString out = dir.filePath("signalled.bin");
        QFile::remove(out);
        Run run(midTransfer ? QStringList{"--baud", "115200"} : QStringList{"--silent", "1000000"}, out);
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", pattern(16384)),
                          "--download"});
        QByteArray printed;
        const QByteArray mark = midTransfer ? "progress 10%" : "  ";
        QVERIFY(testing::waitFor([&] { return (printed += run.updater.readAllStandardOutput()).contains(mark); },
                                 10000));
        testing::signal(run.updater, signal);
        QVERIFY(run.updater.waitForFinished(3000));
        QCOMPARE(run.updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.updater.exitCode(), exitCode);
        printed += run.updater.readAllStandardOutput();
        const QString name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
        QVERIFY2(printed.contains(midTransfer ? "stopped by " + name.toLatin1() + ": the device holds a partial image"
                                              : "stopped by " + name.toLatin1() + " before the transfer began"),
                 printed.constData());
        QVERIFY2(QRegularExpression(midTransfer ? "sent \\d+ words, [1-9]\\d* of 16384 image bytes covered"
                                                : "sent 0 words, 0 of 16384 image bytes covered")
                     .match(QString::fromLatin1(printed)).hasMatch(),
                 printed.constData());
        run.sim.terminate(); // it holds its side of the line open
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(run.sim.exitCode(), 1);
        QVERIFY(run.sim.readAllStandardOutput().contains("no complete image"));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("--download without --file") << QStringList{"--download"};
        QTest::newRow("zero timeout") << QStringList{"--file", "x.plk", "--download", "--timeout", "0"};
        QTest::newRow("negative timeout") << QStringList{"--file", "x.plk", "--download", "--timeout", "-3"};
        QTest::newRow("timeout not a number") << QStringList{"--file", "x.plk", "--download", "--timeout", "soon"};
    }
    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + arguments);
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 64);
        QVERIFY(updater.readAllStandardOutput().isEmpty());
        QVERIFY(updater.readAllStandardError().contains("pelkoupdate: "));
    }
};

QTEST_MAIN(TestScriptedUpdate)
#include "tst_scriptedupdate.moc"

#include "lineoutput.h"
#include "scriptedupdate.h"
#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

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

    // A driver that wakes the updater with nothing to read (and a stale
    // errno) and refuses writes now and then, as ptys and USB adapters do:
    // the exact image all the same. A real hang-up still ends it at once.
    void troubledDriver_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<int>("readEvery");
        QTest::addColumn<int>("writeEvery");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("reads that find nothing") << QStringList() << 3 << 0 << 0;
        QTest::newRow("writes refused") << QStringList() << 0 << 3 << 0;
        QTest::newRow("both, noisy device answering in pieces")
            << QStringList{"--noise", "--split-us", "20"} << 5 << 4 << 0;
        QTest::newRow("both, and the line hangs up") << QStringList{"--hangup-at", "2048"} << 5 << 4 << 2;
    }
    void troubledDriver()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(int, readEvery);
        QFETCH(int, writeEvery);
        QFETCH(int, exitCode);
        if (qEnvironmentVariable("LINESHIM").isEmpty())
            QSKIP("the line-fault shim is built on Linux only");
        const QByteArray image = pattern(simOptions.contains("--split-us") ? 4096 : 16384, 6);
        const QString out = dir.filePath("troubled.bin");
        QFile::remove(out);
        Run run(simOptions, out);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_PRELOAD", qEnvironmentVariable("LINESHIM"));
        env.insert("LINESHIM_PORT", run.port);
        env.insert("LINESHIM_READ_EVERY", QString::number(readEvery));
        env.insert("LINESHIM_WRITE_EVERY", QString::number(writeEvery));
        // A sanitized updater must let the shim come first.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image),
                          "--download", "--timeout", "5"},
                         env);
        const Result result = run.result();
        QVERIFY2(result.exitCode == exitCode, qPrintable(result.out.join('\n') + result.err));
        QVERIFY(run.sim.waitForFinished(5000));
        if (exitCode == 0) {
            QCOMPARE(testing::received(out), image);
            return;
        }
        QVERIFY2(result.err.contains("lost: the line hung up"), qPrintable(result.err));
        QVERIFY(!result.out.contains("Firmware is updated"));
        QVERIFY(run.sim.readAllStandardOutput().contains("no complete image"));
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

    // A device that keeps talking but moves nothing: --timeout still ends it.
    void noProgress_data()
    {
        QTest::addColumn<QByteArray>("chatter");
        QTest::newRow("frames of another tag") << pty::response(0x80, 0, 0x51);
        QTest::newRow("an unknown code") << pty::response(0x85);
        QTest::newRow("its version again") << pty::response(0x81, 0x01000100);
        QTest::newRow("the same word again") << pty::response(0x82, 508);
    }
    void noProgress()
    {
        QFETCH(QByteArray, chatter);
        pty::Device line;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file",
                       testing::writeFile(dir, "fw.plk", pattern(4096)), "--download", "--timeout", "1"});
        QElapsedTimer sinceChatter, running;
        running.start();
        quint32 next = 0;
        bool chatting = false;
        while (updater.state() != QProcess::NotRunning && running.elapsed() < 10000) {
            const QByteArray payload = pty::payloadOf(line.nextFrame(20));
            const int code = payload.size() == 8 ? quint8(payload[1]) : -1;
            if (code == 0x00)
                line.respond(0x80);
            else if (code == 0x01)
                line.respond(0x81, 0x01000100);
            else if (!chatting && (code == 0x03 || code == 0x04)) {
                next += code == 0x04 ? 4 : 0;
                chatting = next == 512;
                if (!chatting)
                    line.respond(0x82, next);
                sinceChatter.start();
            }
            if (chatting && sinceChatter.elapsed() >= 100) {
                line.write(chatter);
                sinceChatter.start();
            }
        }
        QVERIFY(updater.state() == QProcess::NotRunning || updater.waitForFinished(1000));
        QVERIFY2(running.elapsed() < 5000, qPrintable(QString::number(running.elapsed())));
        QCOMPARE(updater.exitCode(), 2);
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains("no progress for 1 s while waiting for the device to ask for the next word"),
                 qPrintable(err));
        // Words sent again are counted apart from the image they cover.
        const QString out = QString::fromLocal8Bit(updater.readAllStandardOutput());
        QVERIFY2(QRegularExpression("sent \\d+ words, 512 of 4096 image bytes covered").match(out).hasMatch(),
                 qPrintable(out));
        if (chatter == pty::response(0x82, 508))
            QVERIFY2(!out.contains("sent 128 words"), qPrintable(out));
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

    // Standard streams closed by a cron job or a careless script: what the
    // program opens later (the X connection, the port) must not take their
    // numbers. Under Xvfb when it is installed, and headless.
    void closedStreams_data()
    {
        QTest::addColumn<QString>("closed");
        QTest::addColumn<bool>("display");
        for (bool display : {false, true}) {
            for (const char *closed : {">&-", "2>&-", "<&- >&- 2>&-"})
                QTest::addRow("%s, %s", closed, display ? "Xvfb" : "headless") << closed << display;
        }
    }
    void closedStreams()
    {
        QFETCH(QString, closed);
        QFETCH(bool, display);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        QProcess xvfb;
        if (display) {
            if (QStandardPaths::findExecutable("Xvfb").isEmpty())
                QSKIP("Xvfb is not installed");
            // It writes its display's number once it takes connections.
            xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
            QVERIFY(xvfb.waitForReadyRead(10000));
            env.insert("DISPLAY", ":" + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
        }
        const QByteArray image = pattern(4096, 13);
        const QString out = dir.filePath("closed.bin");
        QFile::remove(out);
        Run run({}, out);
        QProcess shell;
        shell.setProcessEnvironment(env);
        shell.start("bash", {"-c", "exec " + closed + "; exec \"$@\"", "bash",
                             qEnvironmentVariable("PELKOUPDATE_BIN"), "--port", run.port, "--file",
                             testing::writeFile(dir, "fw.plk", image), "--download", "--trace",
                             "--timeout", "3"});
        QVERIFY(shell.waitForFinished(20000));
        xvfb.terminate();
        xvfb.waitForFinished(5000);
        QCOMPARE(shell.exitCode(), 0);
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
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

    // Over ssh to a box with no screen, or with a display named that is not
    // there (a stale DISPLAY, a Wayland session gone): all but the window
    // works, the window says why it cannot, and nothing aborts.
    void noDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");
        const QString none = "pelkoupdate: no display to show the window on";
        for (const QString display : {"", "DISPLAY=:93", "WAYLAND_DISPLAY=wayland-93"}) {
            const QByteArray nameBytes = display.isEmpty() ? "no display" : display.toLatin1();
            const char *name = nameBytes.constData();
            QTest::addRow("%s: --help", name) << QStringList{"--help"} << display << 0 << "";
            QTest::addRow("%s: --version", name) << QStringList{"--version"} << display << 0 << "";
            QTest::addRow("%s: the window", name) << QStringList() << display << 69 << none;
            QTest::addRow("%s: the station window", name)
                << QStringList{"--station", "--file", "fw.plk", "--port", "a", "--port", "b"} << display << 69 << none;
            QTest::addRow("%s: an update", name) << QStringList{"--download"} << display << 0 << "";
        }
        QTest::newRow("--help-all") << QStringList{"--help-all"} << "" << 0 << "";
        QTest::newRow("a bad option") << QStringList{"--frob"} << "" << 64
                                      << "pelkoupdate: Unknown option 'frob'.\nTry 'pelkoupdate --help'.\n";
        QTest::newRow("stale DISPLAY, -platform xcb") << QStringList{"-platform", "xcb"} << "DISPLAY=:93" << 69 << none;
        QTest::newRow("stale DISPLAY, -platform xcb, an update")
            << QStringList{"-platform", "xcb", "--download"} << "DISPLAY=:93" << 0 << "";
        QTest::newRow("-platform bogus") << QStringList{"-platform", "bogus"} << "" << 64
                                         << "pelkoupdate: there is no platform 'bogus'";
        QTest::newRow("-platform bogus, --help") << QStringList{"-platform", "bogus", "--help"} << "" << 0 << "";
    }
    void noDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, exitCode);
        QFETCH(QString, err);
        const QByteArray image = pattern(1024, 9);
        const QString out = dir.filePath("headless.bin");
        Run run({}, out);
        if (arguments.contains("--download"))
            arguments += QStringList{"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image)};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(name);
        if (!display.isEmpty())
            env.insert(display.section('=', 0, 0), display.section('=', 1));
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"), arguments);
        QVERIFY(updater.waitForFinished(30000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), exitCode);
        const QString printedErr = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.isEmpty() ? printedErr.isEmpty() : printedErr.startsWith(err), qPrintable(printedErr));
        if (arguments.contains("--download")) {
            QVERIFY(run.sim.waitForFinished(5000));
            QCOMPARE(testing::received(out), image);
        }
    }

    // A display that is there but cannot be used: --download goes offscreen,
    // the window alone ends with the reason, both within moments.
    void unusableDisplay_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("download");
        for (const char *server : {"closes", "refuses", "never answers"}) {
            QTest::addRow("an X server that %s: an update", server) << QString(server) << true;
            QTest::addRow("an X server that %s: the window", server) << QString(server) << false;
        }
    }
    void unusableDisplay()
    {
        QFETCH(QString, server);
        QFETCH(bool, download);
        QDir().mkpath("/tmp/.X11-unix");
        int number = 90;
        while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        const QByteArray path = QStringLiteral("/tmp/.X11-unix/X%1").arg(number).toLatin1();
        const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listening, 8) == 0);
        QList<int> kept{listening};
        QSocketNotifier accepting(listening, QSocketNotifier::Read);
        connect(&accepting, &QSocketNotifier::activated, [&] {
            const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (server == "closes") {
                ::close(client);
                return;
            }
            if (server == "refuses") { // the setup reply of a server without our cookie
                const QByteArray reply = QByteArray("\0\x15\x0b\0\0\0\x06\0", 8)
                                         + QByteArray("No protocol specified\n\0\0", 24);
                QCOMPARE(::write(client, reply.constData(), size_t(reply.size())), ssize_t(reply.size()));
            }
            kept += client;
        });
        const QByteArray image = pattern(1024, 12);
        const QString out = dir.filePath("display.bin");
        Run run({}, out);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(name);
        env.insert("DISPLAY", QStringLiteral(":%1").arg(number));
        QProcess updater;
        updater.setProcessEnvironment(env);
        QStringList arguments{"--port", run.port};
        if (download)
            arguments += QStringList{"--file", testing::writeFile(dir, "fw.plk", image), "--download"};
        QElapsedTimer took;
        took.start();
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"), arguments);
        // The event loop runs, so the server of our own answers as it should.
        QVERIFY(testing::waitFor([&] { return updater.state() == QProcess::NotRunning; }, 20000));
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QCOMPARE(updater.exitCode(), download ? 0 : 69);
        if (download) {
            QVERIFY(run.sim.state() == QProcess::NotRunning || run.sim.waitForFinished(5000));
            QCOMPARE(testing::received(out), image);
        } else {
            QVERIFY2(err.startsWith(QStringLiteral("pelkoupdate: no display to show the window on (DISPLAY=:%1: the X server ").arg(number)),
                     qPrintable(err));
            QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
        }
        for (int fd : kept)
            ::close(fd);
        ::unlink(path.constData());
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

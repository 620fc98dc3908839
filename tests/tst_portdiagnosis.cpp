#include "portdiagnosis.h"
#include "ptydevice.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using portdiagnosis::System;

// Each check once, against trees and nodes of the test's own: nothing here
// depends on what this machine runs.
class TestPortDiagnosis : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // A /proc of the test's own with the programs named running.
    System withPrograms(const QStringList &programs)
    {
        System system;
        system.proc = dir.filePath("proc-" + programs.join('-'));
        system.udevData = dir.filePath("udev");
        system.uid = 0;
        for (int i = 0; i < programs.size(); ++i) {
            const QString pid = system.proc + '/' + QString::number(100 + i);
            QDir().mkpath(pid);
            QFile comm(pid + "/comm");
            if (!comm.open(QIODevice::WriteOnly) || comm.write(programs[i].toLatin1() + '\n') < 0)
                qFatal("cannot write %s", qPrintable(comm.fileName()));
        }
        return system;
    }
    static QString problem(const QList<portdiagnosis::Finding> &findings, const QString &check)
    {
        for (const portdiagnosis::Finding &finding : findings) {
            if (finding.check == check)
                return finding.problem;
        }
        return "not checked";
    }

private slots:
    void services_data()
    {
        QTest::addColumn<QStringList>("programs");
        QTest::addColumn<bool>("ignoredByModemManager");
        QTest::addColumn<QString>("check");
        QTest::addColumn<QString>("problem");
        QTest::newRow("nothing running") << QStringList{"bash"} << false << "brltty" << "";
        QTest::newRow("brltty, a port it does not claim") << QStringList{"bash", "brltty"} << false << "brltty" << "";
        QTest::newRow("ModemManager") << QStringList{"ModemManager"} << false << "ModemManager"
                                      << "ModemManager is running and may send modem commands to PORT: "
                                         "sudo systemctl stop ModemManager, or mark the adapter "
                                         "ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule";
        QTest::newRow("ModemManager told to leave the port alone")
            << QStringList{"ModemManager"} << true << "ModemManager" << "";
    }
    void services()
    {
        QFETCH(QStringList, programs);
        QFETCH(bool, ignoredByModemManager);
        QFETCH(QString, check);
        QFETCH(QString, problem);
        pty::Device line; // a character device with a number, as a serial port has
        const System system = withPrograms(programs);
        struct stat node{};
        QVERIFY(::stat(QFile::encodeName(line.path).constData(), &node) == 0);
        QDir().mkpath(system.udevData);
        QFile record(QStringLiteral("%1/c%2:%3").arg(system.udevData).arg(major(node.st_rdev)).arg(minor(node.st_rdev)));
        QVERIFY(record.open(QIODevice::WriteOnly));
        record.write(ignoredByModemManager ? "E:ID_MM_DEVICE_IGNORE=1\n" : "E:ID_SERIAL=x\n");
        record.close();
        QCOMPARE(TestPortDiagnosis::problem(portdiagnosis::diagnose(line.path, system), check),
                 QString(problem).replace("PORT", line.path));
    }

    // brltty is named only for an adapter its own rules would take, and the
    // way out that keeps it for a braille display comes first.
    void brlttyClaims_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<bool>("localCopyWithoutIt");
        QTest::addColumn<bool>("named");
        QTest::newRow("a CH340 its rules name") << true << 0x1a86 << false << true;
        QTest::newRow("an adapter its rules do not name") << true << 0x10c4 << false << false;
        QTest::newRow("a built-in UART") << false << 0 << false << false;
        QTest::newRow("a local copy of the rules without it") << true << 0x1a86 << true << false;
    }
    void brlttyClaims()
    {
        QFETCH(bool, usb);
        QFETCH(int, vendor);
        QFETCH(bool, localCopyWithoutIt);
        QFETCH(bool, named);
        pty::Device line;
        System system = withPrograms({"brltty"});
        const QString packaged = dir.filePath(QStringLiteral("rules-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const QString local = packaged + "-local";
        QDir().mkpath(packaged);
        QDir().mkpath(local);
        QFile rules(packaged + "/85-brltty.rules");
        QVERIFY(rules.open(QIODevice::WriteOnly));
        rules.write("# Device: 1A86:7523\nENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"\n");
        rules.close();
        if (localCopyWithoutIt)
            QVERIFY(QFile::copy(packaged + "/85-brltty.rules", local + "/85-brltty.rules")
                    && QFile(local + "/85-brltty.rules").resize(0));
        system.udevRules = {local, packaged};
        PortIdentity port("ttyUSB0", line.path);
        port.usb = usb;
        port.vendorId = quint16(vendor);
        port.productId = 0x7523;
        const QString problem = TestPortDiagnosis::problem(portdiagnosis::diagnose(line.path, system, port), "brltty");
        QCOMPARE(!problem.isEmpty(), named);
        if (named) {
            QVERIFY2(problem.contains("take USB adapters 1a86:7523 like " + line.path), qPrintable(problem));
            QVERIFY2(problem.indexOf("delete the line with ENV{PRODUCT}==\"1a86/7523/*\"")
                         < problem.indexOf("sudo apt remove brltty"),
                     qPrintable(problem));
        }
    }

    // The one holding the lock is named, not merely the first with the
    // device open.
    void lockHolder()
    {
        pty::Device line;
        const System system = withPrograms({"minicom", "pelkoupdate"}); // pids 100 and 101
        QDir().mkpath(system.proc + "/100/fd");
        QVERIFY(QFile::link(line.path, system.proc + "/100/fd/3"));
        QCOMPARE(portdiagnosis::lockHolder(line.path, system.proc).pid, 100); // open, no lock seen
        struct stat node{};
        QVERIFY(::stat(QFile::encodeName(line.path).constData(), &node) == 0);
        QFile locks(system.proc + "/locks");
        QVERIFY(locks.open(QIODevice::WriteOnly));
        locks.write(QStringLiteral("1: POSIX  ADVISORY  WRITE 77 00:1f:12 0 EOF\n"
                                   "2: FLOCK  ADVISORY  WRITE 101 %1:%2:%3 0 EOF\n"
                                   "2: -> FLOCK  ADVISORY  WRITE 100 %1:%2:%3 0 EOF\n")
                        .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                        .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                        .arg(node.st_ino)
                        .toLatin1());
        locks.close();
        const portdiagnosis::Holder holder = portdiagnosis::lockHolder(line.path, system.proc);
        QCOMPARE(holder.pid, 101);
        QCOMPARE(holder.name, QStringLiteral("pelkoupdate"));
    }

    // The node's group may use it, and the user is not in that group.
    void access_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<QString>("problem");
        QTest::newRow("the group may, the user is not in it") << 0660 << false
            << "you are not in the group GROUP that may use PATH: sudo adduser $USER GROUP, then log out and in again";
        QTest::newRow("the group may, the user is in it") << 0660 << true << "";
        QTest::newRow("only its owner may") << 0600 << true << "you may not read and write PATH (mode 600, group GROUP)";
        QTest::newRow("anyone may") << 0666 << false << "";
    }
    void access()
    {
        QFETCH(int, mode);
        QFETCH(bool, inGroup);
        QFETCH(QString, problem);
        const QString path = dir.filePath("ttyFAKE");
        QFile node(path);
        QVERIFY(node.open(QIODevice::WriteOnly));
        node.close();
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        struct stat info{};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
        System system = withPrograms({});
        system.uid = info.st_uid + 4242; // someone else, never root
        system.groups = {inGroup ? uint(info.st_gid) : uint(info.st_gid) + 4242};
        const QString group = QFileInfo(path).group();
        QCOMPARE(TestPortDiagnosis::problem(portdiagnosis::diagnose(path, system), "access"),
                 QString(problem).replace("PATH", path).replace("GROUP", group));
    }

    // Who else has a node open says nothing of it as a port unless it is
    // one: /dev/null and a file are none, a terminal is.
    void notASerialPort()
    {
        pty::Device line;
        QVERIFY(portdiagnosis::isSerialPort(line.path));
        QVERIFY(!portdiagnosis::isSerialPort("/dev/null"));
        // Terminals of the system's own: a typo for ttyS0 must not write
        // frames to the console.
        for (const char *system : {"/dev/ptmx", "/dev/tty", "/dev/console", "/dev/tty0", "/dev/tty1"}) {
            if (QFile::exists(system))
                QVERIFY2(!portdiagnosis::isSerialPort(system), system);
        }
        QFile file(dir.filePath("plain"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const QString &path : {QStringLiteral("/dev/null"), file.fileName()}) {
            const QList<portdiagnosis::Finding> found = portdiagnosis::diagnose(path, System::current());
            QCOMPARE(found.size(), 1);
            QCOMPARE(found[0].check, QStringLiteral("port"));
            QCOMPARE(found[0].problem, path + " is not a serial port");
        }
    }

    // Another program of the test's own holds the port open.
    void holder()
    {
        pty::Device line;
        System system = System::current();
        QCOMPARE(TestPortDiagnosis::problem(portdiagnosis::diagnose(line.path, system), "holders"), QString());
        QProcess other;
        other.setStandardInputFile(line.path);
        other.start("sleep", {"30"});
        QVERIFY(other.waitForStarted());
        const QString found = TestPortDiagnosis::problem(portdiagnosis::diagnose(line.path, system), "holders");
        const qint64 pid = other.processId();
        other.kill();
        other.waitForFinished();
        QCOMPARE(found, QStringLiteral("pid %1 (sleep) has %2 open: close it first")
                            .arg(pid).arg(line.path));
    }
};

QTEST_GUILESS_MAIN(TestPortDiagnosis)
#include "tst_portdiagnosis.moc"

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
        QTest::newRow("brltty") << QStringList{"bash", "brltty"} << false << "brltty"
                                << "brltty (a braille display service) is running and takes USB serial "
                                   "adapters (CH340, CP210x, FTDI) for itself: sudo apt remove brltty, "
                                   "then plug the adapter in again";
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

#include "updateraccess.h"

#include <QProcess>
#include <QTest>

using A = UpdaterAccess;
using testing::pattern;

namespace {
const QString updated = QStringLiteral("Firmware is updated");

QByteArray padded(const QByteArray &image)
{
    return image + QByteArray((4 - image.size() % 4) % 4, '\xff');
}

// The simulated device, as a process of its own.
class Sim
{
public:
    explicit Sim(const QStringList &arguments)
    {
        process.start(qEnvironmentVariable("MWIRE_SIM_BIN"), arguments);
        if (process.waitForReadyRead(5000))
            path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Sim()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool finished() const { return process.state() == QProcess::NotRunning; }
    QString summary() { return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(); }

    QProcess process;
    QString path;
};
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
        QTest::newRow("16-byte pelk: empty image") << "fw.pelk" << 0;
    }
    void images()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        const QString out = dir.filePath("received-" + QString::number(size));
        Sim sim({"--once", "--out", out, "--firmware", "2.10", "--hardware", "3.4"});
        QVERIFY(!sim.path.isEmpty());
        const QByteArray image = pattern(size, 5);
        const QString header = name.endsWith(".pelk") ? QStringLiteral("HEADER-16-BYTES!") : QString();
        const auto w = testing::windowOn(sim.path);
        A::choose(*w, testing::writeFile(dir, name, header.toLatin1() + image));
        toReady(*w, QStringLiteral("Firm V02.0a, hardware V03.04, click Download"));
        QVERIFY(testing::waitFor([&] { return A::status(*w) == updated; }, 60000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
        QCOMPARE(sim.process.exitCode(), 0);
        QFile received(out);
        QVERIFY(received.open(QIODevice::ReadOnly));
        QCOMPARE(received.readAll(), padded(image));
        QVERIFY(sim.summary().contains(QStringLiteral("bad checksums 0")));
        // The device went away after its report: the report stays.
        QTRY_VERIFY_WITH_TIMEOUT(!A::portOpen(*w), 5000);
        QCOMPARE(A::status(*w), updated);
    }

    void emptyFile()
    {
        Sim sim({"--once"});
        const auto w = testing::windowOn(sim.path);
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
        QTest::newRow("answers in pieces") << QStringList{"--split"} << updated << true;
        QTest::newRow("cancels") << QStringList{"--cancel-at", "512"} << "Device canncelled, please retry" << false;
        QTest::newRow("stalls") << QStringList{"--stall-at", "512"} << "device time out, re-start this program" << false;
        QTest::newRow("hangs up") << QStringList{"--hangup-at", "512"} << "Port .* lost: .*download stopped.*" << false;
    }
    void faults()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, status);
        QFETCH(bool, completes);
        const bool late = options.contains("--late");
        const QByteArray image = pattern(late ? 64 : 8192, 9);
        const QString out = dir.filePath("faults.bin");
        QFile::remove(out);
        Sim sim(QStringList{"--once", "--out", out} + options);
        const auto w = testing::windowOn(sim.path);
        A::choose(*w, testing::writeFile(dir, "fw.plk", image));
        if (options.contains("--silent"))
            QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), QStringLiteral("finding device..."), 2000);
        toReady(*w);
        const QRegularExpression expected(QRegularExpression::anchoredPattern(status));
        QVERIFY2(testing::waitFor([&] { return expected.match(A::status(*w)).hasMatch(); }, 30000),
                 qPrintable(A::status(*w)));
        if (completes) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
            QCOMPARE(sim.process.exitCode(), 0);
            QFile received(out);
            QVERIFY(received.open(QIODevice::ReadOnly));
            QCOMPARE(received.readAll(), image);
            return;
        }
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::fileEnabled(*w));
        QCOMPARE(A::state(*w), options.contains("--stall-at") ? qint32(StateSendData)
                                                                : qint32(StateFindDevice));
        if (!options.contains("--stall-at")) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.finished(), 5000);
            QCOMPARE(sim.process.exitCode(), 1);
            QVERIFY(sim.summary().contains("no complete image"));
        }
        // The window stays usable to close.
        w->show();
        A::ui(*w).pushButtonCancel->click();
        QVERIFY(!w->isVisible());
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("unknown") << QStringList{"--frob"};
        QTest::newRow("missing value") << QStringList{"--late"};
        QTest::newRow("not a number") << QStringList{"--silent", "many"};
        QTest::newRow("bad version") << QStringList{"--firmware", "7"};
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

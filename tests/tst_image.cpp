#include "updateraccess.h"

#include <QTest>

using pty::hex;
using A = UpdaterAccess;
using testing::pattern;
using testing::writeFile;

class TestImage : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<pelkoUpdate> window;

    // The image side of File and Download, without a port.
    pelkoUpdate &prepared(const QString &path)
    {
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        window = std::make_unique<pelkoUpdate>();
        A::fileName(*window) = path;
        A::loadImage(*window);
        if (A::prepareImage(*window))
            A::readOffset(*window) = 0;
        return *window;
    }
    static QByteArray wordAt(pelkoUpdate &w, int offset)
    {
        unsigned char word[4];
        if (A::wordAt(w, offset, word) != ImageWord::Ready)
            return "end";
        return QByteArray(reinterpret_cast<const char *>(word), 4);
    }

private slots:
    void cleanup() { window.reset(); }

    void suffixRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<int>("firstByte");
        QTest::newRow("fw.pelk has a header") << "fw.pelk" << 84 << 16;
        QTest::newRow("fw.plk is raw") << "fw.plk" << 100 << 0;
        // Letter case does not matter: FAT media and Windows write FW.PELK.
        QTest::newRow("FW.PELK has a header") << "FW.PELK" << 84 << 16;
        QTest::newRow("x.Pelk has a header") << "x.Pelk" << 84 << 16;
        QTest::newRow("fw.pelk.bak is raw") << "fw.pelk.bak" << 100 << 0;
        QTest::newRow("folder x.pelk, file without suffix") << "x.pelk/fw" << 100 << 0;
        QTest::newRow("no suffix at all") << "firmware" << 100 << 0;
    }
    void suffixRule()
    {
        QFETCH(QString, name);
        QFETCH(int, imageSize);
        QFETCH(int, firstByte);
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(dir.filePath(name)).path()));
        const QByteArray bytes = pattern(100);
        pelkoUpdate &w = prepared(writeFile(dir, name, bytes));
        QCOMPARE(A::imageSize(w), imageSize);
        QCOMPARE(wordAt(w, 0), bytes.mid(firstByte, 4));
    }

    void headedImageInBlocks()
    {
        const QByteArray bytes = pattern(1040);
        pelkoUpdate &w = prepared(writeFile(dir, "fw.pelk", bytes));
        QCOMPARE(A::imageSize(w), 1024);
        QCOMPARE(A::file(w).pos(), 16);
        QCOMPARE(wordAt(w, 0), bytes.mid(16, 4));
        QCOMPARE(A::readOffset(w), 1024);
        QCOMPARE(wordAt(w, 1020), bytes.mid(1036, 4));
        QCOMPARE(wordAt(w, 1024), QByteArray("end"));
    }

    void rawImageInBlocks()
    {
        const QByteArray bytes = pattern(2048);
        pelkoUpdate &w = prepared(writeFile(dir, "fw.plk", bytes));
        QCOMPARE(wordAt(w, 0), bytes.mid(0, 4));
        for (int offset = 4; offset <= 1020; offset += 4)
            QCOMPARE(wordAt(w, offset), bytes.mid(offset, 4));
        QCOMPARE(A::file(w).pos(), 1024); // the block served all of them
        QCOMPARE(wordAt(w, 6), bytes.mid(4, 4));
        QCOMPARE(wordAt(w, 1024), bytes.mid(1024, 4));
        QCOMPARE(A::readOffset(w), 2048);
        QCOMPARE(wordAt(w, 1020), bytes.mid(1020, 4)); // an earlier block: read again
        QCOMPARE(A::readOffset(w), 1024);
        QCOMPARE(wordAt(w, 0x10), bytes.mid(0x10, 4));
        QCOMPARE(wordAt(w, 2048), QByteArray("end"));
    }

    // Asked first for an offset past 0: its own block is read.
    void firstOffsetAnywhere()
    {
        const QByteArray bytes = pattern(2048);
        pelkoUpdate &w = prepared(writeFile(dir, "fw.pelk", bytes));
        QCOMPARE(wordAt(w, 1500), bytes.mid(16 + 1500, 4));
        QCOMPARE(A::readOffset(w), 2032);
        QCOMPARE(wordAt(w, 8), bytes.mid(16 + 8, 4));
        QCOMPARE(A::readOffset(w), 1024);
    }

    // The end of the largest image must still be a positive 32-bit offset.
    void largestImage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plk, 2^31 - 4 bytes") << "big.plk" << (qint64(1) << 31) - 4 << true;
        QTest::newRow("plk, 2^31 - 3 bytes") << "big.plk" << (qint64(1) << 31) - 3 << false;
        QTest::newRow("plk, 2^31 - 1 bytes") << "big.plk" << (qint64(1) << 31) - 1 << false;
        QTest::newRow("pelk, 2^31 - 1 image bytes") << "big.pelk" << (qint64(1) << 31) + 15 << false;
    }
    void largestImage()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        QFile sparse(dir.filePath(name));
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(size));
        sparse.close();
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        pelkoUpdate w;
        A::fileName(w) = sparse.fileName();
        QCOMPARE(A::openImage(w), accepted);
        if (!accepted)
            QCOMPARE(A::told(w), sparse.fileName() + " is too large for the device");
        QFile::remove(sparse.fileName());
    }

    // A 16-byte pelk is its header and nothing else: as vacant as an empty
    // file, however many bytes the file has.
    void headerOnlyPelk()
    {
        pelkoUpdate &w = prepared(writeFile(dir, "fw.pelk", pattern(16)));
        QCOMPARE(A::imageSize(w), 0);
        QCOMPARE(A::status(w), QStringLiteral("File is Vacant"));
        QVERIFY(!A::file(w).isOpen());
        QVERIFY(!A::prepareImage(w)); // tested again on every try
    }

    void emptyFileIsVacant()
    {
        const QString path = writeFile(dir, "fw.pelk", QByteArray());
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        pelkoUpdate w;
        A::fileName(w) = path;
        QVERIFY(A::openImage(w));
        A::state(w) = StateReady;
        A::ui(w).pushButtonDownload->setEnabled(true);
        A::download(w);
        QCOMPARE(A::status(w), QStringLiteral("File is Vacant"));
        QVERIFY(!A::file(w).isOpen());
        QCOMPARE(A::state(w), qint32(StateReady));

        // Filled since: the next Download reopens it, positioned past the header.
        writeFile(dir, "fw.pelk", pattern(40));
        QVERIFY(A::prepareImage(w));
        QCOMPARE(A::imageSize(w), 24);
        QCOMPARE(A::file(w).pos(), 16);
    }

    void emptyRawFile()
    {
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        pelkoUpdate w;
        A::fileName(w) = writeFile(dir, "fw.plk", QByteArray());
        QVERIFY(A::openImage(w));
        QCOMPARE(A::imageSize(w), 0);
        QVERIFY(!A::prepareImage(w));
        QCOMPARE(A::status(w), QStringLiteral("File is Vacant"));
        QVERIFY(!A::prepareImage(w)); // tested again on every try
        QVERIFY(!A::file(w).isOpen());
    }

    void fileDialog()
    {
        pty::Device line;
        const auto w = testing::windowOn(line);
        const QString path = writeFile(dir, "fw.pelk", pattern(40));
        QString caption;
        QStringList filters;
        testing::answerFileDialog(path, &caption, &filters);
        A::ui(*w).pushButtonOK->click();
        QCOMPARE(caption, QStringLiteral("Open firmware"));
        QCOMPARE(filters, QStringList{"Pelko Files (*.plk *.pelk)"});
        QCOMPARE(A::fileName(*w), path);
        QCOMPARE(A::status(*w), line.path + "  " + path);
        QVERIFY(!A::fileEnabled(*w));
        QCOMPARE(A::imageSize(*w), 24);
        QCOMPARE(line.nextFrame(), hex("7eff50000000000000" "97"));
    }

    void cancelledFileDialog()
    {
        pty::Device line;
        const auto w = testing::windowOn(line);
        testing::answerFileDialog(QString());
        A::ui(*w).pushButtonOK->click();
        QVERIFY(A::fileName(*w).isEmpty());
        QCOMPARE(A::status(*w), line.path + "  file not available");
        QVERIFY(A::fileEnabled(*w));
        QVERIFY(!A::port(*w).isOpen());
        QVERIFY(line.quietFor(300));
    }

    void fileThatCannotBeOpened_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "gone.pelk" << "No such file or directory";
        QTest::newRow("pelk shorter than its header") << "short.pelk" << "shorter than its 16-byte header";
    }
    void fileThatCannotBeOpened()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        if (name.startsWith("short"))
            writeFile(dir, name, pattern(15));
        pty::Device line;
        const auto w = testing::windowOn(line);
        const QString path = dir.filePath(name);
        A::choose(*w, path);
        QVERIFY2(A::told(*w).contains(path) && A::told(*w).contains(reason),
                 qPrintable(A::status(*w)));
        QVERIFY(A::fileEnabled(*w));
        QVERIFY(!A::port(*w).isOpen());
        QVERIFY(!A::timerRunning(*w));
        QVERIFY(line.quietFor(100));
    }
};

QTEST_MAIN(TestImage)
#include "tst_image.moc"

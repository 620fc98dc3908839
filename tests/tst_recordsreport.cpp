#include "pgserver.h"
#include "recordschema.h"
#include "recordsreport.h"
#include "recordstore.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QXmlStreamReader>

namespace {
const QString firstImage = "48b1a824c0de" + QString(52, '1');
const QString secondImage = "77aa00bb11cc" + QString(52, '2');
const QString hostilePort = "a \"b\",c\nd";
const QString formulaSerial = "=1+2";

QJsonObject unit(const QString &run, int number, const QString &station, const QString &image,
                 const QString &started, const QString &outcome, const QString &reason = {})
{
    QJsonObject result{{"run", run},
                       {"unit", number},
                       {"try", 1},
                       {"bay", QJsonValue::Null},
                       {"port", "ttyUSB0"},
                       {"station", station},
                       {"host", "bench-3"},
                       {"tool_version", "1.0.0"},
                       {"image", image == firstImage ? "/srv/fw.pelk" : "/srv/other.pelk"},
                       {"sha256", image},
                       {"outcome", outcome},
                       {"exit_code", outcome == "updated" ? 0 : 1},
                       {"started", started},
                       {"seconds", 3.25},
                       {"image_size", 16384}};
    if (!reason.isEmpty())
        result["reason"] = reason;
    return result;
}

// Three runs: two stations on one image, then another image.
QList<QJsonObject> units()
{
    QJsonObject hostile =
        unit("c", 1, "line-a", secondImage, "2026-12-11T18:00:00.000Z", "updated");
    hostile["port"] = hostilePort;
    hostile["adapter"] = QJsonObject{{"serial", formulaSerial}};
    return {unit("a", 1, "line-a", firstImage, "2026-12-09T06:00:00.000Z", "updated"),
            unit("a", 2, "line-a", firstImage, "2026-12-09T06:01:00.000Z", "cancelled",
                 "Device canncelled, please retry"),
            unit("a", 3, "line-a", firstImage, "2026-12-09T06:02:00.000Z", "updated"),
            unit("a", 4, "line-a", firstImage, "2026-12-09T06:03:00.000Z", "interrupted"),
            unit("b", 1, "line-b", firstImage, "2026-12-10T13:00:00.000Z", "updated"),
            unit("b", 2, "line-b", firstImage, "2026-12-10T13:01:00.000Z", "no-progress"),
            hostile};
}

// RFC 4180, as a spreadsheet reads it.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"')
            field += text[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            rows.last() << std::exchange(field, QString());
        else if (!quoted && c == '\n')
            rows.last() << std::exchange(field, QString()), rows.append(QStringList());
        else
            field += c;
    }
    rows.removeLast();
    return rows;
}
} // namespace

// --records read back from databases of the test's own, in every format.
class TestRecordsReport : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    PgServer server;
    QString file;

    struct Report
    {
        int code = -1;
        QString out;
        QString err;
    };
    static Report report(const RecordsQuery &query)
    {
        QBuffer out;
        QBuffer err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        const int code = writeRecordsReport(query, &out, &err);
        return {code, QString::fromUtf8(out.data()), QString::fromUtf8(err.data())};
    }
    RecordsQuery query(const QString &format) const
    {
        RecordsQuery query;
        query.db = file;
        query.format = format;
        return query;
    }
    static bool keep(const QString &dbName, const QList<QJsonObject> &results)
    {
        RecordStore store;
        QString error;
        bool kept = store.open(dbName, &error);
        for (const QJsonObject &one : results)
            kept = kept && store.add(one, &error);
        if (!error.isEmpty())
            qWarning() << error;
        return kept;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
        file = dir.filePath("units.sqlite");
        QVERIFY(keep(file, units()));
    }

    void table()
    {
        const Report table = report(query("table"));
        QCOMPARE(table.code, 0);
        const QStringList lines = table.out.split('\n', Qt::SkipEmptyParts);
        const QStringList expected{
            R"(^image\s+station\s+units\s+passed\s+failed\s+interrupted\s+yield$)",
            R"(^48b1a824c0de fw\.pelk\s+line-a\s+4\s+2\s+1\s+1\s+66\.7 %$)",
            R"(^48b1a824c0de fw\.pelk\s+line-b\s+2\s+1\s+1\s+0\s+50\.0 %$)",
            R"(^77aa00bb11cc other\.pelk\s+line-a\s+1\s+1\s+0\s+0\s+100\.0 %$)",
            R"(^all\s+7\s+4\s+2\s+1\s+66\.7 %$)"};
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression(expected[i]).match(lines[i]).hasMatch(),
                     qPrintable(lines[i]));
    }

    void filters_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("units"); // run:unit
        QTest::newRow("all") << ""
                             << ""
                             << "" << QStringList{"a:1", "a:2", "a:3", "a:4", "b:1", "b:2", "c:1"};
        QTest::newRow("since a day") << "2026-12-10"
                                     << ""
                                     << "" << QStringList{"b:1", "b:2", "c:1"};
        QTest::newRow("since a time with its offset") << "2026-12-11T19:30:00+02:00"
                                                      << ""
                                                      << "" << QStringList{"c:1"};
        QTest::newRow("a station") << ""
                                   << "line-b"
                                   << "" << QStringList{"b:1", "b:2"};
        QTest::newRow("an image by its first digits") << ""
                                                      << ""
                                                      << "77AA00BB11CC" << QStringList{"c:1"};
        QTest::newRow("an image and a station")
            << ""
            << "line-a" << firstImage << QStringList{"a:1", "a:2", "a:3", "a:4"};
        QTest::newRow("a station not there") << ""
                                             << "line-z"
                                             << "" << QStringList{};
    }
    void filters()
    {
        QFETCH(QString, since);
        QFETCH(QString, station);
        QFETCH(QString, image);
        QFETCH(QStringList, units);
        RecordsQuery asked = query("json");
        asked.since = since;
        asked.station = station;
        asked.image = image;
        const Report json = report(asked);
        QCOMPARE(json.code, 0);
        QStringList found;
        for (const QString &line : json.out.split('\n', Qt::SkipEmptyParts)) {
            const QJsonObject row = QJsonDocument::fromJson(line.toUtf8()).object();
            found << row["run"].toString() + ':' + QString::number(row["unit"].toInt());
        }
        QCOMPARE(found, units);
    }

    void jsonKeepsValuesAsTheyWere()
    {
        const Report json = report(query("json"));
        const QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 7);
        const QJsonObject hostile = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        QCOMPARE(hostile["port"].toString(), hostilePort);
        QCOMPARE(hostile["adapter_serial"].toString(), formulaSerial);
        QCOMPARE(hostile["unit"], QJsonValue(1));
        QCOMPARE(hostile["seconds"], QJsonValue(3.25));
        QCOMPARE(hostile["started"], QJsonValue("2026-12-11T18:00:00.000Z"));
        QVERIFY(hostile["operator"].isNull());
        QCOMPARE(hostile.size(), int(recordschema::columns.size()));
    }

    void csvQuotesWhatItMust()
    {
        const Report csv = report(query("csv"));
        QCOMPARE(csv.code, 0);
        const QList<QStringList> rows = parseCsv(csv.out);
        QCOMPARE(rows.size(), 8);
        QStringList header;
        for (const auto &column : recordschema::columns)
            header << column.name;
        QCOMPARE(rows.first(), header);
        for (const QStringList &row : rows)
            QCOMPARE(row.size(), header.size());
        const QStringList hostile = rows.last();
        QCOMPARE(hostile[header.indexOf("port")], hostilePort);
        // A spreadsheet would run it: led by a quote, it stays text.
        QCOMPARE(hostile[header.indexOf("adapter_serial")], "'" + formulaSerial);
        QCOMPARE(hostile[header.indexOf("operator")], "");
        QCOMPARE(hostile[header.indexOf("seconds")], "3.25");
    }

    void junitSuitePerRun()
    {
        const Report junit = report(query("junit"));
        QCOMPARE(junit.code, 0);
        QXmlStreamReader xml(junit.out);
        QStringList suites;
        QStringList failures;
        int cases = 0;
        int skipped = 0;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const auto attributes = xml.attributes();
            if (xml.name() == u"testsuite")
                suites << QString("%1 %2/%3/%4")
                              .arg(attributes.value("name"), attributes.value("tests"),
                                   attributes.value("failures"), attributes.value("skipped"));
            cases += xml.name() == u"testcase";
            skipped += xml.name() == u"skipped";
            if (xml.name() == u"failure")
                failures << attributes.value("message").toString();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(suites, (QStringList{"run a 4/1/1", "run b 2/1/0", "run c 1/0/0"}));
        QCOMPARE(cases, 7);
        QCOMPARE(skipped, 1);
        QCOMPARE(failures,
                 (QStringList{"cancelled: Device canncelled, please retry", "no-progress"}));
    }

    void junitStaysXmlWithControlCharacters()
    {
        const QString dbName = dir.filePath("control.sqlite");
        QJsonObject odd = unit("x\x01", 1, "line\x1b[2J", firstImage, "2026-12-09T06:00:00.000Z",
                               "cancelled", "stuck\x02 here");
        QVERIFY(keep(dbName, {odd}));
        RecordsQuery asked;
        asked.db = dbName;
        asked.format = "junit";
        QXmlStreamReader xml(report(asked).out);
        int failures = 0;
        while (!xml.atEnd())
            failures +=
                xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"failure";
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(failures, 1);
    }

    void readsWhileAStationKeeps()
    {
        // The station's log and its lock files are there while it runs.
        const QString dbName = dir.filePath("running.sqlite");
        RecordStore station;
        QString error;
        QVERIFY2(station.open(dbName, &error), qPrintable(error));
        QVERIFY(station.add(units().first(), &error));
        RecordsQuery asked;
        asked.db = dbName;
        asked.format = "json";
        const Report running = report(asked);
        QCOMPARE(running.code, 0);
        QCOMPARE(running.out.count('\n'), 1);
        QVERIFY(station.add(units().last(), &error));
        QCOMPARE(report(asked).out.count('\n'), 2);
    }

    void badQueries_data()
    {
        QTest::addColumn<QString>("db");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("said");
        QTest::newRow("a format not known") << ""
                                            << ""
                                            << ""
                                            << "xml"
                                            << "--format";
        QTest::newRow("not a date") << ""
                                    << "yesterday"
                                    << ""
                                    << "table"
                                    << "--since";
        QTest::newRow("not a digest") << ""
                                      << ""
                                      << "fw.pelk"
                                      << "table"
                                      << "--image";
        QTest::newRow("too few digits") << ""
                                        << ""
                                        << "48b1a"
                                        << "table"
                                        << "--image";
        QTest::newRow("no database") << "none"
                                     << ""
                                     << ""
                                     << "table"
                                     << "keeps no records";
        QTest::newRow("a password") << "postgresql://ana:s3cr3t@db/records"
                                    << ""
                                    << ""
                                    << "table"
                                    << ".pgpass";
    }
    void badQueries()
    {
        QFETCH(QString, db);
        QFETCH(QString, since);
        QFETCH(QString, image);
        QFETCH(QString, format);
        QFETCH(QString, said);
        const Report refused = report({db, since, QString(), image, format});
        QCOMPARE(refused.code, 64);
        QVERIFY2(refused.err.contains(said), qPrintable(refused.err));
        QVERIFY(!refused.err.contains("s3cr3t"));
        QVERIFY(refused.out.isEmpty());
    }

    void missingDatabases()
    {
        RecordsQuery asked;
        asked.db = dir.filePath("absent.sqlite");
        const Report absent = report(asked);
        QCOMPARE(absent.code, 3);
        QVERIFY2(absent.err.contains("no such file"), qPrintable(absent.err));
        QVERIFY(!QFile::exists(dir.filePath("absent.sqlite")));
        // Nothing recorded on this machine yet is an empty report.
        const Report none = report(RecordsQuery());
        QCOMPARE(none.code, 0);
        QCOMPARE(none.out, "no records\n");
        QVERIFY2(none.err.contains("no records yet"), qPrintable(none.err));
    }

    void serverWithSpooledRecords()
    {
        QString error;
        QVERIFY2(server.start("local all all trust\n", &error), qPrintable(error));
        const QString dbName = server.dbName(PgServer::superuser, "postgres");
        QList<QJsonObject> all = units();
        QVERIFY(keep(dbName, all.mid(0, 4)));
        QVERIFY2(server.stop(&error), qPrintable(error));
        QVERIFY(keep(dbName, all.mid(4))); // spooled: the server is away
        RecordsQuery asked;
        asked.db = dbName;
        asked.format = "table";
        const Report away = report(asked);
        QCOMPARE(away.code, 3);
        QVERIFY2(away.err.contains("database away: cannot read " + dbName), qPrintable(away.err));
        QVERIFY2(away.err.contains("3 of the records asked for are waiting"), qPrintable(away.err));
        QCOMPARE(away.err.count('\n'), 2);
        QVERIFY2(server.start("local all all trust\n", &error), qPrintable(error));
        const Report back = report(asked);
        QCOMPARE(back.code, 0);
        QVERIFY2(back.err.contains("3 of these records are not on the server yet"),
                 qPrintable(back.err));
        QVERIFY2(back.out.contains(QRegularExpression(R"(\nall\s+7\s+4\s+2\s+1\s+66\.7 %\n)")),
                 qPrintable(back.out));
    }
};

QTEST_GUILESS_MAIN(TestRecordsReport)
#include "tst_recordsreport.moc"

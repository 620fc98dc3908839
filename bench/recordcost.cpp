// A benchmark, not a test: what keeping one unit's record costs the line's
// event loop (RecordStore::add, on the caller's thread), for an SQLite file
// and for PostgreSQL through the spool, with the server there and away; set
// against a 16 KiB unit's time at 57600 baud. Prints Markdown table rows.
//   recordcost [RECORDS [UNIT_SECONDS [BAYS]]]
// The databases live in a directory under the current one, so that they sit
// on the disk a station would use (not a tmpfs).

#include "pgserver.h"
#include "recordstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace {
QJsonObject result(int unit)
{
    return {{"run", "0123456789abcdef"},
            {"unit", unit},
            {"try", 1},
            {"bay", unit % 16 + 1},
            {"port", "ttyUSB0"},
            {"adapter", QJsonObject{{"vid", "0403"},
                                    {"pid", "6001"},
                                    {"serial", "A50285BI"},
                                    {"usb_path", "pci-0000:00:14.0-usb-0:1.2:1.0"}}},
            {"station", "line-a"},
            {"host", "bench-3"},
            {"operator", "ana"},
            {"tool_version", "1.0.0"},
            {"image", "/srv/fw.pelk"},
            {"sha256", QString(64, 'a')},
            {"file_sha256", QString(64, 'b')},
            {"firmware", "01.00"},
            {"hardware", "01.00"},
            {"firmware_after", "02.00"},
            {"outcome", "updated"},
            {"exit_code", 0},
            {"reconnects", 0},
            {"started", "2026-12-09T10:00:00.000Z"},
            {"ended", "2026-12-09T10:00:15.450Z"},
            {"seconds", 15.45},
            {"words_sent", 4096},
            {"bytes_covered", 16384},
            {"image_size", 16384}};
}

struct Cost
{
    double mean = 0;
    double p99 = 0;
    double max = 0;
};

// Each add() timed alone; the loop runs between them, as a line's does, so
// the courier's signals are taken as they come.
Cost measure(const QString &dbName, int records, QString *error)
{
    RecordStore store;
    if (!store.open(dbName, error))
        return {};
    QList<double> ms;
    for (int unit = 1; unit <= records; ++unit) {
        QElapsedTimer timer;
        timer.start();
        if (!store.add(result(unit), error))
            return {};
        ms.append(timer.nsecsElapsed() / 1e6);
        QCoreApplication::processEvents();
    }
    store.close();
    std::sort(ms.begin(), ms.end());
    return {std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size(),
            ms[qMin(ms.size() - 1, ms.size() * 99 / 100)], ms.last()};
}

// While one unit is updated, each of the other bays ends about one unit and
// keeps its record on the loop the unit shares: what that unit waits is
// the sum of those records' costs, bays times the mean (bays times the p99
// if every one of them were slow).
void row(const QString &what, const Cost &cost, double unitSeconds, int bays)
{
    const double share = 100.0 * bays * cost.mean / 1000 / unitSeconds;
    const double worst = 100.0 * bays * cost.p99 / 1000 / unitSeconds;
    std::printf(
        "| record cost to the line's loop, %s: mean / p99 / max | %.2f / %.2f / %.2f ms |\n",
        qPrintable(what), cost.mean, cost.p99, cost.max);
    std::printf(
        "| %d bays, %s: time added to each %.2f s unit (at p99) | %.2f %% (%.2f %%), %s 1 %% |\n",
        bays, qPrintable(what), unitSeconds, share, worst, worst < 1 ? "under" : "OVER");
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int records = arguments.size() > 1 ? arguments[1].toInt() : 500;
    // A 16 KiB unit paced at 57600 baud, alone (make bench's line rows).
    const double unitSeconds = arguments.size() > 2 ? arguments[2].toDouble() : 15.45;
    const int bays = arguments.size() > 3 ? arguments[3].toInt() : 16;
    QTemporaryDir dir(QDir::currentPath() + "/recordcost-XXXXXX");
    qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
    PgServer server;
    QString error;
    if (!server.start("local all all trust\n", &error)) {
        std::fprintf(stderr, "recordcost: %s\n", qPrintable(error));
        return 1;
    }
    const QString postgres = server.dbName(PgServer::superuser, "postgres");
    row("SQLite file", measure(dir.filePath("units.sqlite"), records, &error), unitSeconds, bays);
    row("PostgreSQL through the spool", measure(postgres, records, &error), unitSeconds, bays);
    server.stop();
    row("PostgreSQL away (spooled)", measure(postgres, records, &error), unitSeconds, bays);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "recordcost: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}

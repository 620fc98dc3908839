#ifndef RECORDSREPORT_H
#define RECORDSREPORT_H

#include <QString>

class QIODevice;

// What --records is asked for.
struct RecordsQuery
{
    QString db;      // as --db; empty: the default database
    QString since;   // YYYY-MM-DD (from local midnight) or an ISO 8601 time; empty: all
    QString station; // empty: every station
    QString image;   // the image's SHA-256, or its first 6 or more hex digits; empty: all
    QString format = QStringLiteral("table"); // table, json, csv, junit
};

// false, with the reason, for a query that cannot be asked (a date that is
// not one, a format not known, --db none): exit 64, before anything runs.
bool checkRecordsQuery(const RecordsQuery &query, QString *error);

// Reads the units asked for and writes them to out in the query's format;
// notes and errors (the database away, records still in the spool) go to
// err. From PostgreSQL the report is the server's rows with the records of
// this machine's spool that have not reached it yet, which are newer. Returns
// the exit code: 0; 3 when the database cannot be read (a file that is not
// there or not a database, a server that cannot be reached); 64 for a query
// checkRecordsQuery refuses.
int writeRecordsReport(const RecordsQuery &query, QIODevice *out, QIODevice *err);

#endif

#ifndef RECORDFORMATS_H
#define RECORDFORMATS_H

#include <QJsonObject>
#include <QList>

class QIODevice;

// The units read back, written for people (table) and for tools (json, csv,
// junit). Each row is keyed by the units table's columns, oldest first.
namespace recordformats {

// Per image and station: units, passed (outcome "updated"), failed,
// interrupted (neither passed nor failed) and the yield, passed of passed
// and failed.
void table(const QList<QJsonObject> &rows, QIODevice *out);
// One JSON object a unit, a line each.
void jsonLines(const QList<QJsonObject> &rows, QIODevice *out);
// A header and one line a unit; text quoted, a NULL left empty, and a text
// a spreadsheet would take for a formula (= + - @) led by a '.
void csv(const QList<QJsonObject> &rows, QIODevice *out);
// A test suite per run, a test case per unit; a failed unit is a failure
// with its outcome and reason, an interrupted one skipped.
void junit(const QList<QJsonObject> &rows, QIODevice *out);

} // namespace recordformats

#endif

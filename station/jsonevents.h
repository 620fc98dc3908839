#ifndef JSONEVENTS_H
#define JSONEVENTS_H

#include "portidentity.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The events of a scripted update as JSON Lines: one object per event, each
// with "schema", "event", "time" (UTC, ISO 8601 with ms) and "run" (one id
// per process, so a log appended by several runs tells them apart). A value
// that is not known is null, never "".
namespace jsonevents {

constexpr int schema = 2;

// Random, one per process.
QString runId();
QString now();
// null for an empty text.
QJsonValue text(const QString &value);
QJsonValue digest(const QByteArray &sha256);

QJsonObject port(const PortIdentity &port);
QJsonObject image(const QString &path, qint64 size, const QByteArray &sha256,
                  const QByteArray &fileSha256);
QJsonObject device(const QString &firmware, const QString &hardware);
QJsonObject progress(qint64 covered, qint64 size, qint64 bytesPerSecond, qint64 secondsLeft);
QJsonObject status(const QString &text);
QJsonObject tally(int passed, int failed, int interrupted, int exitCode);

// Who and what made a record: for a quality engineer, which station, host,
// operator and tool version, and the adapter the unit was found on.
struct Provenance
{
    QString station;
    QString host;
    QString operatorName;
    QString toolVersion;
};

struct Result
{
    // updated, confirmed-partial, cancelled, no-progress, line-lost, unusable,
    // refused, stopped, interrupted, closed
    QString outcome;
    int exitCode = 0;
    double seconds = 0;
    qint64 wordsSent = 0;
    qint64 bytesCovered = 0;
    qint64 imageSize = 0;
    QString imagePath;
    QByteArray sha256;
    QByteArray fileSha256;
    QString port;
    QString firmware; // as the device reported it before the update
    QString hardware;
    QString firmwareAfter; // as it answered once restarted, when that was asked
    QString reason; // why it did not pass, as told; empty when it did
    QString started; // UTC, ISO 8601 with ms
    QString ended;
    Provenance provenance;
    PortIdentity adapter; // the port the unit was found on
    QJsonObject line; // the line's quality counts
};
// vid, pid, serial and usb_path of a port; each null where it has none.
QJsonObject adapter(const PortIdentity &port);
// The same object on standard output and in a station's log.
QJsonObject result(const Result &result);

// The object as one line, without its newline; "time" and "run" are added
// where the event has none yet.
QByteArray line(QJsonObject event);

} // namespace jsonevents

#endif

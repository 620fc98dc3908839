#ifndef JSONEVENTS_H
#define JSONEVENTS_H

#include "portidentity.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The events of a scripted update as JSON Lines: one object per event, each
// with "schema" and "event", for programs that read the outcome.
namespace jsonevents {

constexpr int schema = 1;

QJsonObject port(const PortIdentity &port);
QJsonObject image(const QString &path, qint64 size, const QByteArray &sha256,
                  const QByteArray &fileSha256);
QJsonObject device(const QString &firmware, const QString &hardware);
QJsonObject progress(qint64 covered, qint64 size, qint64 bytesPerSecond, qint64 secondsLeft);
QJsonObject status(const QString &text);

struct Result
{
    QString outcome; // updated, cancelled, no-progress, line-lost, unusable, refused, stopped, closed
    int exitCode = 0;
    double seconds = 0;
    qint64 wordsSent = 0;
    qint64 bytesCovered = 0;
    qint64 imageSize = 0;
    QByteArray sha256;
    QJsonObject line; // the line's quality counts
    int unit = 0;     // in a station, the unit's number; else 0
};
QJsonObject result(const Result &result);

// The object as one line, without its newline.
QByteArray line(const QJsonObject &event);

} // namespace jsonevents

#endif

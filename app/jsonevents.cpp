#include "jsonevents.h"

#include <QJsonDocument>

namespace jsonevents {

namespace {
QJsonObject event(const char *name)
{
    return QJsonObject{{QStringLiteral("schema"), schema},
                       {QStringLiteral("event"), QLatin1String(name)}};
}
} // namespace

QJsonObject port(const PortIdentity &port)
{
    QJsonObject object = event("port");
    object.insert(QStringLiteral("name"), port.name);
    object.insert(QStringLiteral("location"), port.location);
    object.insert(QStringLiteral("description"), port.description);
    object.insert(QStringLiteral("manufacturer"), port.manufacturer);
    object.insert(QStringLiteral("serial"), port.serialNumber);
    object.insert(QStringLiteral("usb"), port.usb ? QJsonValue(portidentity::usbId(port)) : QJsonValue());
    return object;
}

QJsonObject image(const QString &path, qint64 size, const QByteArray &sha256,
                  const QByteArray &fileSha256)
{
    QJsonObject object = event("image");
    object.insert(QStringLiteral("path"), path);
    object.insert(QStringLiteral("size"), size);
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(sha256.toHex()));
    object.insert(QStringLiteral("file_sha256"), QString::fromLatin1(fileSha256.toHex()));
    return object;
}

QJsonObject device(const QString &firmware, const QString &hardware)
{
    QJsonObject object = event("device");
    object.insert(QStringLiteral("firmware"), firmware);
    object.insert(QStringLiteral("hardware"), hardware);
    return object;
}

QJsonObject progress(qint64 covered, qint64 size, qint64 bytesPerSecond, qint64 secondsLeft)
{
    QJsonObject object = event("progress");
    object.insert(QStringLiteral("covered"), covered);
    object.insert(QStringLiteral("size"), size);
    object.insert(QStringLiteral("bytes_per_second"), bytesPerSecond);
    object.insert(QStringLiteral("seconds_left"),
                  secondsLeft >= 0 ? QJsonValue(secondsLeft) : QJsonValue());
    return object;
}

QJsonObject status(const QString &text)
{
    QJsonObject object = event("status");
    object.insert(QStringLiteral("text"), text);
    return object;
}

QJsonObject result(const Result &result)
{
    QJsonObject object = event("result");
    if (result.unit > 0)
        object.insert(QStringLiteral("unit"), result.unit);
    object.insert(QStringLiteral("outcome"), result.outcome);
    object.insert(QStringLiteral("exit_code"), result.exitCode);
    object.insert(QStringLiteral("seconds"), qRound64(result.seconds * 1000) / 1000.0);
    object.insert(QStringLiteral("words_sent"), result.wordsSent);
    object.insert(QStringLiteral("bytes_covered"), result.bytesCovered);
    object.insert(QStringLiteral("image_size"), result.imageSize);
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(result.sha256.toHex()));
    object.insert(QStringLiteral("line"), result.line);
    return object;
}

QByteArray line(const QJsonObject &event)
{
    return QJsonDocument(event).toJson(QJsonDocument::Compact);
}

} // namespace jsonevents

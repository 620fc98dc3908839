#include "jsonevents.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace jsonevents {

namespace {
QJsonObject event(const char *name)
{
    return QJsonObject{{QStringLiteral("schema"), schema},
                       {QStringLiteral("event"), QLatin1String(name)},
                       {QStringLiteral("time"), now()}};
}
} // namespace

QString runId()
{
    static const QString id =
        QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, QLatin1Char('0'));
    return id;
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QJsonValue text(const QString &value)
{
    return value.isEmpty() ? QJsonValue() : QJsonValue(value);
}

QJsonValue digest(const QByteArray &sha256)
{
    return sha256.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(sha256.toHex()));
}

QJsonObject port(const PortIdentity &port)
{
    QJsonObject object = event("port");
    object.insert(QStringLiteral("name"), text(port.name));
    object.insert(QStringLiteral("location"), text(port.location));
    object.insert(QStringLiteral("description"), text(port.description));
    object.insert(QStringLiteral("manufacturer"), text(port.manufacturer));
    object.insert(QStringLiteral("serial"), text(port.serialNumber));
    object.insert(QStringLiteral("usb"), port.usb ? text(portidentity::usbId(port)) : QJsonValue());
    object.insert(QStringLiteral("usb_path"), port.usbPath.isEmpty() ? QJsonValue()
                                                                     : QJsonValue(QStringLiteral("usb-path:") + port.usbPath));
    return object;
}

QJsonObject image(const QString &path, qint64 size, const QByteArray &sha256,
                  const QByteArray &fileSha256)
{
    QJsonObject object = event("image");
    object.insert(QStringLiteral("path"), text(path));
    object.insert(QStringLiteral("size"), size);
    object.insert(QStringLiteral("sha256"), digest(sha256));
    object.insert(QStringLiteral("file_sha256"), digest(fileSha256));
    return object;
}

QJsonObject device(const QString &firmware, const QString &hardware)
{
    QJsonObject object = event("device");
    object.insert(QStringLiteral("firmware"), text(firmware));
    object.insert(QStringLiteral("hardware"), text(hardware));
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

QJsonObject tally(int passed, int failed, int interrupted, int exitCode)
{
    QJsonObject object = event("tally");
    object.insert(QStringLiteral("passed"), passed);
    object.insert(QStringLiteral("failed"), failed);
    object.insert(QStringLiteral("interrupted"), interrupted);
    object.insert(QStringLiteral("exit_code"), exitCode);
    return object;
}

QJsonObject adapter(const PortIdentity &port)
{
    const auto hex = [&](quint16 id) {
        return port.usb ? QJsonValue(QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'))) : QJsonValue();
    };
    return QJsonObject{{QStringLiteral("vid"), hex(port.vendorId)},
                       {QStringLiteral("pid"), hex(port.productId)},
                       {QStringLiteral("serial"), port.usb ? text(port.serialNumber) : QJsonValue()},
                       {QStringLiteral("usb_path"), text(port.usbPath)}};
}

QJsonObject result(const Result &result)
{
    QJsonObject object = event("result");
    object.insert(QStringLiteral("run"), runId()); // a record's key, with its unit
    object.insert(QStringLiteral("outcome"), result.outcome);
    object.insert(QStringLiteral("exit_code"), result.exitCode);
    object.insert(QStringLiteral("port"), text(result.port));
    object.insert(QStringLiteral("firmware"), text(result.firmware));
    object.insert(QStringLiteral("hardware"), text(result.hardware));
    object.insert(QStringLiteral("firmware_after"), text(result.firmwareAfter));
    object.insert(QStringLiteral("reason"), text(result.reason));
    object.insert(QStringLiteral("adapter"), adapter(result.adapter));
    object.insert(QStringLiteral("started"), text(result.started));
    object.insert(QStringLiteral("ended"), text(result.ended));
    object.insert(QStringLiteral("station"), text(result.provenance.station));
    object.insert(QStringLiteral("host"), text(result.provenance.host));
    object.insert(QStringLiteral("operator"), text(result.provenance.operatorName));
    object.insert(QStringLiteral("tool_version"), text(result.provenance.toolVersion));
    object.insert(QStringLiteral("image"), text(result.imagePath));
    object.insert(QStringLiteral("sha256"), digest(result.sha256));
    object.insert(QStringLiteral("file_sha256"), digest(result.fileSha256));
    object.insert(QStringLiteral("seconds"), qRound64(result.seconds * 1000) / 1000.0);
    object.insert(QStringLiteral("words_sent"), result.wordsSent);
    object.insert(QStringLiteral("bytes_covered"), result.bytesCovered);
    object.insert(QStringLiteral("image_size"), result.imageSize);
    object.insert(QStringLiteral("line"), result.line);
    return object;
}

QByteArray line(QJsonObject event)
{
    if (!event.contains(QLatin1String("time")))
        event.insert(QStringLiteral("time"), now());
    event.insert(QStringLiteral("run"), runId());
    return QJsonDocument(event).toJson(QJsonDocument::Compact);
}

} // namespace jsonevents

// Draws the application icon and writes it as PNG files (one per size, for
// the desktop file) and as a Windows .ico with the same seven images.
//   makeicon OUTDIR
#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <vector>

namespace {

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);

    // The device: a chip with pins on two sides.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x9a, 0xa3, 0xad));
    for (int i = 0; i < 4; ++i) {
        p.drawRect(QRectF(6, 30 + i * 20, 16, 8));
        p.drawRect(QRectF(106, 30 + i * 20, 16, 8));
    }
    p.setBrush(QColor(0x1f, 0x3a, 0x5f));
    p.drawRoundedRect(QRectF(18, 14, 92, 100), 12, 12);

    // The firmware going in: a bright arrow into the chip.
    QPainterPath arrow;
    arrow.moveTo(52, 26);
    arrow.lineTo(76, 26);
    arrow.lineTo(76, 62);
    arrow.lineTo(94, 62);
    arrow.lineTo(64, 96);
    arrow.lineTo(34, 62);
    arrow.lineTo(52, 62);
    arrow.closeSubpath();
    p.setBrush(QColor(0x3d, 0xd6, 0x5c));
    p.drawPath(arrow);

    // The bus: a bar under the arrow.
    p.setBrush(QColor(0xff, 0xc1, 0x07));
    p.drawRoundedRect(QRectF(34, 100, 60, 6), 3, 3);
    return image.convertToFormat(QImage::Format_ARGB32);
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico whose images are PNG-compressed 32-bit images.
QByteArray ico(const std::vector<std::pair<int, QByteArray>> &images)
{
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (const auto &[size, data] : images) {
        s << quint8(size >= 256 ? 0 : size) << quint8(size >= 256 ? 0 : size) << quint8(0)
          << quint8(0) << quint16(1) << quint16(32) << quint32(data.size()) << offset;
        offset += quint32(data.size());
    }
    for (const auto &image : images)
        s.writeRawData(image.second.constData(), int(image.second.size()));
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeicon OUTDIR\n");
        return 64;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    std::vector<std::pair<int, QByteArray>> images;
    for (int size : {128, 96, 64, 48, 32, 24, 16}) {
        images.emplace_back(size, png(drawIcon(size)));
        if (!writeFile(dir.filePath(QStringLiteral("pelkoupdate-%1.png").arg(size)),
                       images.back().second))
            return 1;
    }
    return writeFile(dir.filePath(QStringLiteral("pelkoupdate.ico")), ico(images)) ? 0 : 1;
}

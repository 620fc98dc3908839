#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {
constexpr int headerSize = 16;
} // namespace

bool pelkoUpdate::hasHeader() const
{
    return firmwareFile.fileName().section(QLatin1Char('.'), -1, -1) == QLatin1String("pelk");
}

// Opens the chosen file and sizes its image; says on the status line why a
// file cannot be used.
bool pelkoUpdate::openImage()
{
    firmwareFile.setFileName(fileName);
    // A fifo would block the window in open(), a device node never ends:
    // only a regular file (or a link to one) holds an image.
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile()) {
        showStatus(QStringLiteral("%1 is not a regular file").arg(fileName));
        return false;
    }
    if (!firmwareFile.open(QIODevice::ReadOnly)) {
        showStatus(QStringLiteral("Cannot open %1: %2").arg(fileName, firmwareFile.errorString()));
        return false;
    }
    // An empty file of either kind is let through: Download tells it is vacant.
    const qint64 fileSize = firmwareFile.size();
    const qint64 size = fileSize == 0 ? 0 : fileSize - (hasHeader() ? headerSize : 0);
    if (size < 0 || size > std::numeric_limits<qint32>::max()) {
        showStatus(size < 0 ? QStringLiteral("%1 is shorter than its 16-byte header").arg(fileName)
                            : QStringLiteral("%1 is too large for the device").arg(fileName));
        firmwareFile.close();
        return false;
    }
    imageSize = static_cast<qint32>(size);
    chosenSize = fileSize;
    chosenTime = info.lastModified();
    return true;
}

// The path still names the file as it was when it was opened.
bool pelkoUpdate::imageUnchanged() const
{
    const QFileInfo info(fileName);
    return info.isFile() && info.size() == chosenSize && info.lastModified() == chosenTime;
}

bool pelkoUpdate::positionImage()
{
    if (firmwareFile.seek(hasHeader() ? headerSize : 0))
        return true;
    showStatus(QStringLiteral("Cannot read %1: %2").arg(fileName, firmwareFile.errorString()));
    return false;
}

bool pelkoUpdate::prepareImage()
{
    if (firmwareFile.isOpen()) {
        if (!imageUnchanged()) {
            // Deleted, replaced or rewritten since File: what would go out is
            // not what the user chose. Let them choose again.
            showStatus(QStringLiteral("%1 changed after it was chosen; choose it again with File")
                           .arg(fileName));
            firmwareFile.close();
            ui->pushButtonOK->setEnabled(true);
            ui->pushButtonDownload->setEnabled(false);
            return false;
        }
        if (!positionImage())
            return false;
    } else if (!openImage() || !positionImage()) {
        return false;
    }
    if (firmwareFile.size() == 0) {
        showStatus(QStringLiteral("File is Vacant"));
        firmwareFile.close();
        return false;
    }
    return true;
}

// The file no longer holds the image that was chosen: stop rather than send
// the device an image that is cut short or grown.
ImageWord pelkoUpdate::fileChanged()
{
    restAfterFailure(QStringLiteral("%1 changed after it was chosen, download stopped")
                         .arg(fileName));
    return ImageWord::Failed;
}

ImageWord pelkoUpdate::imageWordAt(int offset, unsigned char word[4])
{
    if (offset >= readOffset) {
        if (firmwareFile.atEnd()) {
            if (readOffset == imageSize)
                return ImageWord::EndOfImage;
            return fileChanged();
        }
        if (offset == readOffset) {
            const qint64 count =
                firmwareFile.read(reinterpret_cast<char *>(block.data()), block.size());
            if (count <= 0) {
                restAfterFailure(QStringLiteral("Cannot read %1: %2, stopped")
                                     .arg(fileName, firmwareFile.errorString()));
                return ImageWord::Failed;
            }
            if (count > imageSize - readOffset)
                return fileChanged();
            // Past the image the device gets erased-flash bytes, never
            // leftovers of the block before.
            std::fill(block.begin() + count, block.end(), 0xFF);
            readOffset += static_cast<qint32>(count);
        }
    }
    std::copy_n(block.begin() + (quint32(offset) & 0x3FC), 4, word);
    return ImageWord::Ready;
}

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
    // Unbuffered: each block read asks the file itself, so a file cut short
    // under the transfer is noticed in the block being read.
    if (!firmwareFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        showStatus(QStringLiteral("Cannot open %1: %2").arg(fileName, firmwareFile.errorString()));
        return false;
    }
    // An empty file of either kind is let through: Download tells it is vacant.
    const qint64 fileSize = firmwareFile.size();
    const qint64 size = fileSize == 0 ? 0 : fileSize - (hasHeader() ? headerSize : 0);
    // The device asks by 32-bit offset, and the end of the image (rounded up
    // to a whole word) must still be a positive one.
    if (size < 0 || size > std::numeric_limits<qint32>::max() - 3) {
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
    restAfterFailure(
        QStringLiteral("%1 changed after it was chosen, download stopped").arg(fileName));
    return ImageWord::Failed;
}

// The device chooses the offsets, in any order; each gets the image's own
// word. The block held serves the offsets it covers without file access, any
// other offset has its own block read first.
ImageWord pelkoUpdate::imageWordAt(int offset, unsigned char word[4])
{
    const quint32 at = quint32(offset);
    const quint32 imageEnd = (quint32(imageSize) + 3) & ~3u;
    if (at >= imageEnd) {
        // Grown since it was chosen: what went out was not the whole file.
        if (firmwareFile.size() != chosenSize)
            return fileChanged();
        return ImageWord::EndOfImage;
    }
    const quint32 start = at & ~quint32(block.size() - 1);
    const bool held =
        readOffset > 0 && start == (quint32(readOffset - 1) & ~quint32(block.size() - 1));
    if (!held && !readBlock(start))
        return ImageWord::Failed;
    std::copy_n(block.begin() + (at & 0x3FC), 4, word);
    return ImageWord::Ready;
}

// Reads the block of the image that starts at start; readOffset becomes the
// offset just past it.
bool pelkoUpdate::readBlock(quint32 start)
{
    const qint64 position = (hasHeader() ? headerSize : 0) + qint64(start);
    const qint64 wanted = std::min<qint64>(block.size(), imageSize - qint64(start));
    if (firmwareFile.pos() != position && !firmwareFile.seek(position)) {
        restAfterFailure(QStringLiteral("Cannot read %1: %2, stopped")
                             .arg(fileName, firmwareFile.errorString()));
        return false;
    }
    const qint64 count = firmwareFile.read(reinterpret_cast<char *>(block.data()), wanted);
    if (count < 0) {
        restAfterFailure(QStringLiteral("Cannot read %1: %2, stopped")
                             .arg(fileName, firmwareFile.errorString()));
        return false;
    }
    if (count < wanted) {
        fileChanged();
        return false;
    }
    // Past the image the device gets erased-flash bytes, never leftovers of
    // the block before.
    std::fill(block.begin() + count, block.end(), 0xFF);
    readOffset = static_cast<qint32>(start + count);
    return true;
}

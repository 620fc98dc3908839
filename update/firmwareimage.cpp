#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

#include <QCryptographicHash>
#include <QFileDialog>
#include <QDateTime>
#include <QFileInfo>
#include <QHashFunctions>

#include <algorithm>
#include <limits>

namespace {
constexpr int headerSize = 16;
} // namespace

void pelkoUpdate::on_pushButtonOK_clicked()
{
    if (!offeredFile.isEmpty()) {
        fileName = offeredFile;
        offeredFile.clear();
        return startUpdate();
    }
    fileName = QFileDialog::getOpenFileName(this, tr("Open firmware"), QString(),
                                            tr("Pelko Files (*.plk *.pelk)"));
    // The window is the active one again, with the focus where it was, so
    // a screen reader follows on from here.
    activateWindow();
    raise();
    takeBackFocus();
    if (fileName.isEmpty())
        return;
    startUpdate();
}

void pelkoUpdate::chooseFile(const QString &path)
{
    fileName = path;
    startUpdate();
}

void pelkoUpdate::offerFile(const QString &path)
{
    offeredFile = fileName = path;
    nameWindow();
    showStatus(QStringLiteral("choose the port, then press File"),
               QStringLiteral("%1: choose the port, then press File").arg(path));
    ui->comboBoxPort->setFocus(Qt::OtherFocusReason);
}

bool pelkoUpdate::hasHeader() const
{
    // FAT media and Windows users write FW.PELK: its header is a header all the same.
    return firmwareFile.fileName().section(QLatin1Char('.'), -1, -1).compare(
               QLatin1String("pelk"), Qt::CaseInsensitive) == 0;
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
        showStatus(QStringLiteral("%1 is not a regular file").arg(shownFileName()),
                   QStringLiteral("%1 is not a regular file").arg(fileName));
        return false;
    }
    // Unbuffered: each block read asks the file itself, so a file cut short
    // under the transfer is noticed in the block being read.
    if (!firmwareFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        showStatus(QStringLiteral("Cannot open %1: %2").arg(shownFileName(), firmwareFile.errorString()),
                   QStringLiteral("Cannot open %1: %2").arg(fileName, firmwareFile.errorString()));
        return false;
    }
    // An empty file of either kind is let through: Download tells it is vacant.
    const qint64 fileSize = firmwareFile.size();
    const qint64 size = fileSize == 0 ? 0 : fileSize - (hasHeader() ? headerSize : 0);
    // The device asks by 32-bit offset, and the end of the image (rounded up
    // to a whole word) must still be a positive one.
    if (size < 0 || size > std::numeric_limits<qint32>::max() - 3) {
        const QString text = size < 0 ? QStringLiteral("%1 is shorter than its 16-byte header")
                                      : QStringLiteral("%1 is too large for the device");
        showStatus(text.arg(shownFileName()), text.arg(fileName));
        firmwareFile.close();
        return false;
    }
    imageSize = static_cast<qint32>(size);
    chosenSize = fileSize;
    chosenTime = info.lastModified();
    return true;
}

// One read of the whole image when it is chosen: a digest of each block, so
// that every block read again for the device is checked against what was
// chosen, and the image's SHA-256 for the people who must prove what went out.
bool pelkoUpdate::fingerprintImage()
{
    blockDigests.clear();
    blockDigests.reserve(size_t((qint64(imageSize) + block.size() - 1) / block.size()));
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    QCryptographicHash wholeFile(QCryptographicHash::Sha256);
    if (hasHeader() && chosenSize > 0) {
        const QByteArray header = firmwareFile.read(headerSize);
        if (header.size() != headerSize)
            return cannotRead(header.size() < 0 ? firmwareFile.errorString()
                                                : QStringLiteral("it shrank while read"));
        wholeFile.addData(header);
    }
    if (!positionImage())
        return false;
    for (qint64 start = 0; start < imageSize; start += block.size()) {
        const qint64 wanted = std::min<qint64>(block.size(), imageSize - start);
        const qint64 count = firmwareFile.read(reinterpret_cast<char *>(block.data()), wanted);
        if (count != wanted)
            return cannotRead(count < 0 ? firmwareFile.errorString()
                                        : QStringLiteral("it shrank while read"));
        const QByteArrayView bytes(reinterpret_cast<const char *>(block.data()), count);
        sha256.addData(bytes);
        wholeFile.addData(bytes);
        blockDigests.push_back(qHashBits(block.data(), size_t(count), 0));
    }
    imageSha256 = sha256.result();
    fileSha256 = wholeFile.result();
    readOffset = 0;
    return true;
}

bool pelkoUpdate::cannotRead(const QString &why)
{
    showStatus(QStringLiteral("Cannot read %1: %2").arg(shownFileName(), why),
               QStringLiteral("Cannot read %1: %2").arg(fileName, why));
    return false;
}

// A station proves which image went out: one that is not the image named
// is refused before the port is opened. The digest named may be the image's
// or the whole file's, which is what sha256sum prints for a .pelk.
bool pelkoUpdate::imageExpected()
{
    if (observer)
        observer->imageChosen(imageSize, imageSha256, fileSha256);
    // A row of devices would find each unit only to refuse it at Download.
    if (vacantRefused && imageSize == 0) {
        showStatus(QStringLiteral("File is Vacant"),
                   QStringLiteral("File is Vacant: %1 holds no image").arg(fileName));
        firmwareFile.close();
        return false;
    }
    if (expectedSha256.isEmpty() || expectedSha256 == imageSha256 || expectedSha256 == fileSha256)
        return true;
    const QString image = QString::fromLatin1(imageSha256.toHex());
    const QString file = QString::fromLatin1(fileSha256.toHex());
    const QString expected = QString::fromLatin1(expectedSha256.toHex());
    showStatus(QStringLiteral("%1 is not the image expected").arg(shownFileName()),
               image == file ? QStringLiteral("%1 has SHA-256 %2, not the expected %3")
                                   .arg(fileName, image, expected)
                             : QStringLiteral("%1 has SHA-256 %2 as a whole file and %3 as the "
                                              "image after its header; neither is the expected %4")
                                   .arg(fileName, file, image, expected));
    firmwareFile.close();
    return false;
}

bool pelkoUpdate::loadImage()
{
    if (openImage() && fingerprintImage())
        return true;
    firmwareFile.close();
    return false;
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
    showStatus(QStringLiteral("Cannot read %1: %2").arg(shownFileName(), firmwareFile.errorString()),
               QStringLiteral("Cannot read %1: %2").arg(fileName, firmwareFile.errorString()));
    return false;
}

bool pelkoUpdate::prepareImage()
{
    if (firmwareFile.isOpen()) {
        if (!imageUnchanged()) {
            // Deleted, replaced or rewritten since File: what would go out is
            // not what the user chose. Let them choose again.
            // A person chooses it again with File; a script has no button.
            const QString again = observer ? QStringLiteral("start again with the new file")
                                           : QStringLiteral("choose it again with File");
            showStatus(QStringLiteral("%1 changed; %2").arg(shownFileName(), again),
                       QStringLiteral("%1 changed after it was chosen; %2").arg(fileName, again));
            firmwareFile.close();
            ui->pushButtonOK->setEnabled(true);
            ui->pushButtonDownload->setEnabled(false);
            return false;
        }
        if (!positionImage())
            return false;
    } else if (!loadImage() || !positionImage()) {
        return false;
    }
    // A .pelk that is only its header holds no image either: the device
    // would be told an image of nothing is complete.
    if (imageSize == 0) {
        showStatus(QStringLiteral("File is Vacant"));
        firmwareFile.close();
        return false;
    }
    return true;
}

void pelkoUpdate::readFailed()
{
    const QString text = QStringLiteral("Cannot read %1: %2, stopped");
    restAfterFailure(QStringLiteral("Read error in %1, stopped").arg(shownFileName()),
                     text.arg(fileName, firmwareFile.errorString()));
}

// The file no longer holds the image that was chosen: stop rather than send
// the device an image that is cut short or grown.
ImageWord pelkoUpdate::fileChanged()
{
    restAfterFailure(QStringLiteral("%1 changed, download stopped").arg(shownFileName()),
                     QStringLiteral("%1 changed after it was chosen, download stopped").arg(fileName));
    return ImageWord::Failed;
}

// The device chooses the offsets, in any order; each gets the image's own
// word. The block held serves the offsets it covers without file access, any
// other offset has its own block read first.
ImageWord pelkoUpdate::imageWordAt(int offset, unsigned char word[4])
{
    const quint32 at = quint32(offset);
    if (at >= quint32(imageSize)) {
        // The device asks just past the image, by byte or by whole word, to
        // end it. Anything further is a garbled offset, not the end: telling
        // the device its image is complete would be a lie.
        if (at > ((quint32(imageSize) + 3) & ~3u) + 3)
            return offsetPastEnd(at);
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

ImageWord pelkoUpdate::offsetPastEnd(quint32 offset)
{
    const QString text = QStringLiteral("Device asked for %1, image ends at %2: stopped");
    restAfterFailure(QStringLiteral("Asked for %1, past the end %2").arg(offset).arg(imageSize),
                     text.arg(offset).arg(imageSize), UpdateObserver::Outcome::Refused);
    return ImageWord::Failed;
}

// Reads the block of the image that starts at start; readOffset becomes the
// offset just past it. Once the image is fingerprinted, a block that differs
// from the one chosen is never served.
bool pelkoUpdate::readBlock(quint32 start)
{
    const qint64 position = (hasHeader() ? headerSize : 0) + qint64(start);
    const qint64 wanted = std::min<qint64>(block.size(), imageSize - qint64(start));
    if (firmwareFile.pos() != position && !firmwareFile.seek(position)) {
        readFailed();
        return false;
    }
    const qint64 count = firmwareFile.read(reinterpret_cast<char *>(block.data()), wanted);
    if (count < 0) {
        readFailed();
        return false;
    }
    if (count < wanted) {
        fileChanged();
        return false;
    }
    const size_t index = start / block.size();
    if (index < blockDigests.size()
        && qHashBits(block.data(), size_t(count), 0) != blockDigests[index]) {
        fileChanged();
        return false;
    }
    // Past the image the device gets erased-flash bytes, never leftovers of
    // the block before.
    std::fill(block.begin() + count, block.end(), 0xFF);
    readOffset = static_cast<qint32>(start + count);
    return true;
}

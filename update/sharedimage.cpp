#include "pelkoupdate.h"

#include <QFileInfo>

// One image for several windows (the bays of a line): read and digested once,
// each window then reads its own blocks through a handle of its own and still
// checks each one against the digests taken when it was chosen.

bool pelkoUpdate::holdImage(const QString &path)
{
    fileName = path;
    if (loadImage() && imageExpected())
        return true;
    firmwareFile.close();
    return false;
}

bool pelkoUpdate::shareImage(const pelkoUpdate &holder)
{
    fileName = holder.fileName;
    if (!openImage())
        return false;
    if (chosenSize != holder.chosenSize || chosenTime != holder.chosenTime) {
        showStatus(QStringLiteral("%1 changed; start again").arg(shownFileName()),
                   QStringLiteral("%1 changed while the bays were set up; start again").arg(fileName));
        firmwareFile.close();
        return false;
    }
    blockDigests = holder.blockDigests;
    imageSha256 = holder.imageSha256;
    fileSha256 = holder.fileSha256;
    readOffset = 0;
    return true;
}

void pelkoUpdate::startWithImage()
{
    showStatus(portAndFileText());
    nameWindow();
    openAndFind();
}

#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

// What the device asked for, word by word, and what its confirmation proves:
// only a word asked for is known to be in it.

// Only a word the device asked for is known to be in it: a device that
// confirms an image it skipped parts of has not been updated as a whole. A
// sound device asks by whole words; an offset between two is a garbled one
// (the frame's checksum is a single byte), and what the device made of the
// word it got for it is anyone's guess: it covers nothing.
void pelkoUpdate::noteAsked(quint32 offset)
{
    if (offset % 4 != 0) {
        ++unalignedAsked;
        return;
    }
    const size_t word = offset / 4;
    if (word < wordsAsked.size() && !wordsAsked[word]) {
        wordsAsked[word] = true;
        bytesAsked += qMin<qint64>(4, qint64(imageSize) - qint64(word) * 4);
    }
}

// The image ends where its last byte does, or its last whole word: an end
// asked for between the two is as garbled as an offset between two words.
void pelkoUpdate::noteEndAsked(quint32 offset)
{
    const quint32 end = quint32(imageSize);
    if (offset != end && offset != ((end + 3) & ~3u))
        ++unalignedAsked;
}

void pelkoUpdate::confirmed()
{
    const QString text = QStringLiteral("Firmware is updated");
    const qint64 neverAsked = imageSize - bytesAsked;
    state = StateFindDevice;
    ui->pushButtonDownload->setEnabled(false);
    if (neverAsked <= 0 && unalignedAsked == 0) {
        showStatus(text);
        return notifyEnded(UpdateObserver::Outcome::Updated);
    }
    QStringList doubts;
    if (neverAsked > 0)
        doubts += QStringLiteral("never asked for %1 image bytes").arg(neverAsked);
    if (unalignedAsked > 0)
        doubts += QStringLiteral("asked %1 unaligned offset%2").arg(unalignedAsked).arg(unalignedAsked > 1 ? "s" : "");
    showStatus(text, QStringLiteral("%1; the device confirmed, but %2")
                         .arg(text, doubts.join(QStringLiteral(" and "))));
    notifyEnded(UpdateObserver::Outcome::ConfirmedPartial);
}

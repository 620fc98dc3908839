#include "scriptedupdate.h"

#include "jsonevents.h"
#include "lineoutput.h"
#include "portdiagnosis.h"
#include "printable.h"

#include <QMetaObject>
#include <QPushButton>
#include "signalcatcher.h"

#include <algorithm>


ScriptedUpdate::ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, LineOutput &out,
                               LineOutput &err, bool json)
    : dialog(dialog), out(out), err(err), human(json ? err : out), json(json), silence(silenceMs)
{
    noProgressTimer.setSingleShot(true);
    noProgressTimer.setInterval(silenceMs);
    connect(&noProgressTimer, &QTimer::timeout, this, &ScriptedUpdate::noProgress);
    connect(&dialog, &QDialog::finished, this, &ScriptedUpdate::closedByHand);
    dialog.setObserver(this);
    // An image of nothing is told before the port is opened: a script that
    // waits for its device first would end on the wait, never saying why.
    dialog.refuseVacantImage();
}

ScriptedUpdate::~ScriptedUpdate()
{
    dialog.setObserver(nullptr);
}


void ScriptedUpdate::start(const QString &path, const PortIdentity &port)
{
    imagePath = path;
    portName = port.name;
    if (!station)
        startedAt = QDateTime::currentDateTimeUtc();
    if (!port.name.isEmpty())
        emitEvent(jsonevents::port(port));
    if (boundsTheFirstWait())
        noProgressTimer.start(silence);
    dialog.chooseFile(path);
}

void ScriptedUpdate::startHeld(const QString &path, const PortIdentity &port)
{
    imagePath = path;
    imageSize = dialog.heldImageSize();
    imageSha256 = dialog.heldImageSha256();
    fileSha256 = dialog.heldFileSha256();
    portName = port.name;
    if (!port.name.isEmpty())
        emitEvent(jsonevents::port(port));
    dialog.startWithImage();
}

// A line is one line: a name with a newline or an escape in it must not
// forge another line or steer the terminal.
void ScriptedUpdate::print(LineOutput &stream, const QString &line)
{
    const QByteArray text = printable(bay > 0 ? inBay(line) : line).toLocal8Bit();
    (finished ? stream.closingLine(text) : stream.line(text));
}

// "bay 2 ttyUSB1: ..." after the program's name, where a line has one.
QString ScriptedUpdate::inBay(const QString &line) const
{
    static const QString program = QStringLiteral("pelkoupdate: ");
    const bool named = line.startsWith(program);
    return QStringLiteral("%1bay %2 %3: %4")
        .arg(named ? program : QString())
        .arg(bay)
        .arg(bayPort, named ? line.mid(program.size()) : line);
}

// In a station every event says which unit it belongs to (null for the
// station's own).
void ScriptedUpdate::emitEvent(QJsonObject event)
{
    if (!json)
        return;
    if (station && !event.contains(QLatin1String("unit")))
        event.insert(QStringLiteral("unit"), unit > 0 ? QJsonValue(unit) : QJsonValue());
    if (bay > 0) {
        event.insert(QStringLiteral("bay"), bay);
        if (!event.contains(QLatin1String("port")))
            event.insert(QStringLiteral("port"), bayPort);
    }
    (finished ? out.closingLine(jsonevents::line(event)) : out.line(jsonevents::line(event)));
}

// The window repeats some texts every 200 ms while it waits; a log wants
// each once.
void ScriptedUpdate::statusShown(const QString &text)
{
    if (finished || text == lastStatus)
        return;
    lastStatus = text;
    print(human, text);
    emitEvent(jsonevents::status(text));
}

// Which image goes out, before a byte of it does.
void ScriptedUpdate::imageChosen(qint32 size, const QByteArray &sha256, const QByteArray &fileSha256)
{
    imageSize = size;
    imageSha256 = sha256;
    this->fileSha256 = fileSha256;
    print(human, QStringLiteral("image %1: %2 bytes, sha256 %3; the file's sha256 %4")
                     .arg(imagePath)
                     .arg(size)
                     .arg(QString::fromLatin1(sha256.toHex()), QString::fromLatin1(fileSha256.toHex())));
    emitEvent(jsonevents::image(imagePath, size, sha256, fileSha256));
}

void ScriptedUpdate::deviceVersion(const QString &firmwareVersion, const QString &hardwareVersion)
{
    emitEvent(jsonevents::device(firmwareVersion, hardwareVersion));
    if (verifying) {
        firmwareAfter = firmwareVersion;
        return;
    }
    firmware = firmwareVersion;
    hardware = hardwareVersion;
}

void ScriptedUpdate::progressed(const char *next)
{
    waitingFor = next;
    if (!finished && !verifying)
        noProgressTimer.start(silence);
}

// The unit is in hand from here on: when, and on which adapter, is kept for
// its record.
void ScriptedUpdate::deviceFound()
{
    if (!startedAt.isValid())
        startedAt = QDateTime::currentDateTimeUtc();
    if (!verifying && adapter.name.isEmpty())
        adapter = portidentity::identityOf(currentPort());
    progressed("the device's version");
}

// As a person would: a click on the button, once the event in hand is done.
void ScriptedUpdate::readyForDownload(qint32 size)
{
    if (verifying)
        return restartAnswered();
    if (finished)
        return;
    progressed("the device to ask for the first word");
    auto *download = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonDownload"));
    QMetaObject::invokeMethod(download, &QPushButton::click, Qt::QueuedConnection);
    clock.start();
    imageSize = size;
    covered.assign(size_t((qint64(size) + 3) / 4), false);
    wordsSent = 0;
    bytesCovered = 0;
    unalignedOffsets = 0;
    nextDecile = 10;
    downloading = true;
    endSent = false;
}

// Only a word not sent before is progress: a device that asks for the same
// word again and again moves nothing.
void ScriptedUpdate::wordSent(quint32 offset)
{
    ++wordsSent;
    endSent = false;
    // An offset between two words is a garbled one: served, never counted.
    if (offset % 4 != 0) {
        ++unalignedOffsets;
        return;
    }
    const size_t word = offset / 4;
    if (word < covered.size() && !covered[word]) {
        covered[word] = true;
        bytesCovered += std::min<qint64>(4, imageSize - qint64(word) * 4);
        progressed("the device to ask for the next word");
    }
    // Of the image covered, not of the offset asked: a device may ask in any order.
    printProgress(imageSize > 0 ? int(bytesCovered * 100 / imageSize) : 100);
    progressEvent(false);
}

// A few a second at most: a reader wants the way, not every word.
void ScriptedUpdate::progressEvent(bool last)
{
    if (!last && sinceProgressEvent.isValid() && sinceProgressEvent.elapsed() < 250)
        return;
    sinceProgressEvent.start();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 rate = seconds > 0 ? qRound64(bytesCovered / seconds) : 0;
    const qint64 left = rate > 0 ? qRound64(double(imageSize - bytesCovered) / rate) : -1;
    progressNoted(bytesCovered, imageSize, left);
    if (json)
        emitEvent(jsonevents::progress(bytesCovered, imageSize, rate, left));
}

// The device decides when the image ends; what it never asked for is said,
// and the progress line never claims more than was covered.
void ScriptedUpdate::endOfImageSent(quint32 offset)
{
    const quint32 end = quint32(imageSize);
    if (offset != end && offset != ((end + 3) & ~3u))
        ++unalignedOffsets; // an end between the last byte and the last word: garbled
    endSent = true;
    printProgress(imageSize > 0 ? int(bytesCovered * 100 / imageSize) : 100);
    progressEvent(true);
    progressed("the device to confirm the image");
    if (bytesCovered < imageSize)
        print(human, QStringLiteral("the device ended the image with %1 image bytes never asked for")
                       .arg(imageSize - bytesCovered));
}

// A line at every tenth of the way, with the rate so far and what it says
// of the rest.
void ScriptedUpdate::printProgress(int percent)
{
    if (percent < nextDecile || nextDecile > 100)
        return;
    const int decile = std::min(percent, 100) / 10 * 10;
    nextDecile = decile + 10;
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 rate = seconds > 0 ? qRound64(bytesCovered / seconds) : 0;
    const QString left = rate > 0
                             ? QString::number(qRound64(double(imageSize - bytesCovered) / rate))
                             : QStringLiteral("?");
    print(human, QStringLiteral("progress %1% (%2 of %3 bytes, %4 B/s, %5 s left)")
                   .arg(decile)
                   .arg(bytesCovered)
                   .arg(imageSize)
                   .arg(rate)
                   .arg(left));
}

#include "pelkoupdate.h"

#include "framecodec.h"
#include "portdiagnosis.h"
#include "ui_pelkoupdate.h"

#include <algorithm>

// The File action once a name is chosen. Nothing is sent unless both the file
// and the port could be opened; otherwise File stays enabled for another try.
void pelkoUpdate::startUpdate()
{
    showStatus(portAndFileText());
    nameWindow();
    if (!loadImage() || !imageExpected()) {
        setWindowTitle(QStringLiteral("pelkoUpdate"));
        notifyEnded(UpdateObserver::Outcome::Unusable);
        return;
    }
    openAndFind();
}

void pelkoUpdate::openAndFind()
{
    portWaitTimer.stop();
    // A port named by what it is, or a link, may not be plugged in yet.
    bool held = false;
    const QString port = resolvedPort(&held);
    if (!ui->comboBoxPort->currentText().isEmpty() && port.isEmpty())
        return awaitPort(held);
    if (!openPort(port)) {
        firmwareFile.close();
        notifyEnded(UpdateObserver::Outcome::Unusable);
        return;
    }
    beginFinding();
}

void pelkoUpdate::on_pushButtonDownload_clicked()
{
    if (state != StateReady)
        return;
    if (!prepareImage()) {
        notifyEnded(UpdateObserver::Outcome::Unusable);
        return;
    }
    showStatus(QStringLiteral("Please wait, in progressing..."));
    // The transfer is the step now: the focus on its progress, where Enter
    // does nothing, and the outcome's move to End is a change a screen
    // reader tells. Once is enough: a second press would start over.
    ui->progressBarDownload->setFocus(Qt::OtherFocusReason);
    ui->pushButtonDownload->setEnabled(false);
    state = StateStartDownload;
    readOffset = 0;
    wordsAsked.assign(size_t((qint64(imageSize) + 3) / 4), false);
    bytesAsked = 0;
    unalignedAsked = 0;
    sendNextRequest();
}

void pelkoUpdate::sendNextRequest()
{
    std::array<unsigned char, payloadSize> payload{frameTag};
    switch (state) {
    case StateFindDevice:
        payload[1] = ReqFindDevice;
        break;
    case StateGetVersion:
        payload[1] = ReqGetVersion;
        break;
    case StateStartDownload:
        payload[1] = ReqStartDownload;
        break;
    case StateEndOfImage:
        payload[1] = ReqEndOfImage;
        break;
    case StateSendData:
        switch (imageWordAt(requestedOffset, &payload[2])) {
        case ImageWord::Ready:
            payload[1] = ReqData;
            payload[6] = static_cast<unsigned char>(requestedOffset & 0xFF);
            noteAsked(quint32(requestedOffset));
            if (observer)
                observer->wordSent(quint32(requestedOffset));
            break;
        case ImageWord::EndOfImage:
            state = StateEndOfImage;
            payload[1] = ReqEndOfImage;
            noteEndAsked(quint32(requestedOffset));
            if (observer)
                observer->endOfImageSent(quint32(requestedOffset));
            break;
        case ImageWord::Failed:
            return;
        }
        break;
    default:
        return;
    }
    sendFrame(payload.data(), payloadSize);
}

// Only a frame the procedure acts on stops the timer: a stray or late frame
// must neither end the search for the device nor silence the time-outs.
void pelkoUpdate::handleResponse(const unsigned char *frame)
{
    const unsigned char *payload = frame + 2;
    if (leaving && frame[1] == deviceMark) {
        // Whatever the unit just updated says, it is still there: keep
        // polling, go no further.
        if (observer)
            observer->deviceStillThere();
    } else if (frame[1] != deviceMark || payload[0] != frameTag) {
        trace.ignored(-1);
        return;
    } else if (actsOn(payload[1])) {
        retryTimer.stop();
        act(payload);
    } else {
        trace.ignored(state);
    }
    if (!rxLampTimer.isActive()) {
        ui->label_rx->setPixmap(ledOnPixmap);
        rxLampTimer.start();
    }
}

// After the end-of-image request a device that checks the image may still
// cancel it, or ask again for words it found wanting.
bool pelkoUpdate::actsOn(unsigned char code) const
{
    const bool transferring = state == StateStartDownload || state == StateSendData
                              || state == StateEndOfImage;
    switch (code) {
    case RspDeviceFound:
        return state == StateFindDevice;
    case RspVersion:
        return state == StateGetVersion;
    case RspDataRequest:
    case RspCancelled:
        return transferring;
    case RspUpdated:
        return state == StateEndOfImage;
    default:
        return false;
    }
}

void pelkoUpdate::act(const unsigned char *payload)
{
    switch (payload[1]) {
    case RspDeviceFound:
        state = StateGetVersion;
        showStatus(QStringLiteral("get Version Info"));
        if (observer)
            observer->deviceFound();
        sendNextRequest();
        break;
    case RspVersion:
        if (resuming)
            return resumeTransfer(payload);
        std::copy(payload + 2, payload + 6, versionBytes.begin());
        state = StateReady;
        ui->pushButtonDownload->setEnabled(true);
        showStatus(QString::asprintf("Firm V%2.2x.%2.2x, hardware V%2.2x.%2.2x, click Download",
                                     payload[5], payload[4], payload[3], payload[2]));
        focusStep(ui->pushButtonDownload, ui->labelStatusBar->text());
        if (observer) {
            observer->deviceVersion(QString::asprintf("%2.2x.%2.2x", payload[5], payload[4]),
                                    QString::asprintf("%2.2x.%2.2x", payload[3], payload[2]));
            observer->readyForDownload(imageSize);
        }
        break;
    case RspDataRequest:
        requestedOffset = static_cast<qint32>(quint32(payload[2]) | quint32(payload[3]) << 8
                                              | quint32(payload[4]) << 16
                                              | quint32(payload[5]) << 24);
        state = StateSendData;
        sendNextRequest();
        break;
    case RspUpdated:
        confirmed();
        break;
    case RspCancelled:
        showStatus(QStringLiteral("Device canncelled, please retry"));
        state = StateFindDevice;
        ui->pushButtonDownload->setEnabled(false);
        notifyEnded(UpdateObserver::Outcome::Cancelled);
        break;
    }
}

void pelkoUpdate::timeout()
{
    switch (state) {
    case StateFindDevice:
        sendNextRequest();
        if (leaving)
            break;
        // Silent for 5 s: look once for what may stand in the way, and tell
        // it in the tooltip.
        if (findingHint.isEmpty() && findingFor.isValid() && findingFor.elapsed() >= 5000) {
            const QStringList inTheWay = portdiagnosis::inTheWay(portPath);
            findingHint = QStringLiteral("finding device...")
                          + (inTheWay.isEmpty() ? QStringLiteral(" (nothing seen in the way on this "
                                                                 "machine: is the device powered "
                                                                 "and wired?)")
                                                : QStringLiteral("; ") + inTheWay.join(QStringLiteral("; ")));
        }
        showStatus(QStringLiteral("finding device..."), findingHint);
        break;
    case StateGetVersion:
        showStatus(QStringLiteral("Get device version failed"));
        break;
    case StateStartDownload:
    case StateSendData:
    case StateEndOfImage:
        showStatus(QStringLiteral("device time out, re-start this program"));
        ui->pushButtonDownload->setEnabled(false);
        break;
    default:
        break;
    }
}

void pelkoUpdate::awaitLeave()
{
    leaving = true;
    state = StateFindDevice;
    ui->pushButtonDownload->setEnabled(false);
    showStatus(QStringLiteral("waiting for the device to leave"));
    sendNextRequest();
}

void pelkoUpdate::findNext()
{
    leaving = false;
    if (!linePort->isOpen())
        return awaitPort(); // the next unit brings its port along
    state = StateFindDevice;
    findingFor.start();
    findingHint.clear();
    sendNextRequest();
}

void pelkoUpdate::abandonUpdate()
{
    retryTimer.stop();
    portWaitTimer.stop();
    lostState = -1;
    state = StateFindDevice;
    ui->pushButtonDownload->setEnabled(false);
    linePort->close();
}

// A transfer that cannot go on rests as after a cancel by the device: the
// device is never told that a partial image is complete.
void pelkoUpdate::restAfterFailure(const QString &text, const QString &whole,
                                   UpdateObserver::Outcome outcome)
{
    retryTimer.stop();
    showStatus(text, whole);
    ui->pushButtonDownload->setEnabled(false);
    state = StateFindDevice;
    notifyEnded(outcome);
}

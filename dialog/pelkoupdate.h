#ifndef PELKOUPDATE_H
#define PELKOUPDATE_H

#include "framecodec.h"
#include "frametrace.h"
#include "lineport.h"
#include "portidentity.h"
#include "updatestate.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QDialog>
#include <QFile>
#include <QFont>
#include <QList>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <memory>
#include <vector>

class QFileSystemWatcher;
class QMessageBox;
class QPushButton;
class Ui_pelkoUpdate;

// Lets a driver other than a person (a script) follow an update. The window
// calls it, when one is set, at each of these moments.
class UpdateObserver
{
public:
    enum class Outcome {
        Updated,    // the device reported the image written, every word of it asked
        ConfirmedPartial, // the device reported it written, having skipped words
        Cancelled,  // the device cancelled
        DeviceLost, // the line went away under the update
        OtherDevice, // back after the line went, another device answered: it is still there
        Unusable,   // the file or the port cannot be used
        Refused,    // the device asked for an offset past the image's end
    };
    virtual ~UpdateObserver() = default;
    virtual void statusShown(const QString &text) = 0;
    // The image was read once, as it will go out: its size and SHA-256, and
    // the SHA-256 of the whole file (header and all), as sha256sum prints it.
    virtual void imageChosen(qint32 size, const QByteArray &sha256, const QByteArray &fileSha256)
    {
        Q_UNUSED(size);
        Q_UNUSED(sha256);
        Q_UNUSED(fileSha256);
    }
    virtual void deviceFound() = 0;
    // Versions as shown, "01.02"; told before readyForDownload.
    virtual void deviceVersion(const QString &firmware, const QString &hardware)
    {
        Q_UNUSED(firmware);
        Q_UNUSED(hardware);
    }
    // While awaiting the device's leave: it sent a frame, any frame.
    virtual void deviceStillThere() {}
    // While awaiting the device's leave, its port went away: it has left.
    virtual void portGone() {}
    // The port named is not there (yet): it is waited for.
    virtual void portAbsent(const QString &wanted) { Q_UNUSED(wanted); }
    // Another program holds the port: "pid 4711 (minicom)", or empty when
    // it cannot be told which.
    virtual void portHeld(const QString &by) { Q_UNUSED(by); }
    // The port went away under the update, percent of the image covered;
    // it is waited for.
    virtual void portLost(int percent) { Q_UNUSED(percent); }
    // It is back after seconds (-1: a port waited for from the start is
    // there), and the device is looked for again.
    virtual void portBack(double seconds) { Q_UNUSED(seconds); }
    virtual void readyForDownload(qint32 imageSize) = 0;
    // The word at offset went out.
    virtual void wordSent(quint32 offset) = 0;
    // For the device's request at offset, the end of the image went out.
    virtual void endOfImageSent(quint32 offset) = 0;
    virtual void ended(Outcome outcome) = 0;
};

// The updater window. It owns the port, the image file and every field of
// the update procedure; all of the program's logic runs in its slots.
class pelkoUpdate : public QDialog
{
    Q_OBJECT

public:
    explicit pelkoUpdate(QWidget *parent = nullptr);
    // extraPorts go into the port choice ahead of the ports found on the
    // machine, the first of them selected: virtual ports and test lines.
    explicit pelkoUpdate(const QStringList &extraPorts, QWidget *parent = nullptr);
    ~pelkoUpdate() override;

    // As if File was pressed and path chosen in the file dialog.
    void chooseFile(const QString &path);
    // A file given by the desktop ("Open with"): the person still chooses
    // the port, and File then takes this file without the file dialog.
    void offerFile(const QString &path);
    void setObserver(UpdateObserver *observer) { this->observer = observer; }
    // A line of bays reads, digests and checks its image once: holdImage in
    // one window, shareImage from it in the others, then startWithImage in
    // each, as chooseFile would go on. False, with the reason on the status
    // line, when the image cannot be used.
    bool holdImage(const QString &path);
    bool shareImage(const pelkoUpdate &holder);
    void startWithImage();
    qint32 heldImageSize() const { return imageSize; }
    const QByteArray &heldImageSha256() const { return imageSha256; }
    const QByteArray &heldFileSha256() const { return fileSha256; }
    // The whole of what the status line says (its tooltip when shortened).
    QString toldStatus() const;
    // Stops the update where it stands and lets go of the port: nothing more
    // is sent, never an end of image.
    void abandonUpdate();
    // Refuse an image whose SHA-256 is not this one, before anything is sent.
    void expectImage(const QByteArray &sha256) { expectedSha256 = sha256; }
    // Refuse an image of no bytes when it is chosen rather than at Download.
    void refuseVacantImage() { vacantRefused = true; }
    // For a row of devices: poll until the device that was updated leaves
    // (its answers are told, nothing else follows them), then look for the
    // next one as after File.
    void awaitLeave();
    void findNext();
    // How long a port that went away is waited for before the update fails
    // (0: at once); without bound while a row of devices waits for its next.
    void setReconnect(int ms) { reconnectMs = ms; }
    int reconnectBound() const { return reconnectMs; }
    void waitForPortWithoutBound(bool without) { patientForPort = without; }
    // One of the bays of a line in this process: a port another bay holds
    // is waited for, never opened too.
    void becomeBay() { bay = true; }
    // Every frame, noise run and ignored frame on out from now on.
    void enableTrace(LineSink *out) { trace.enable(out); }
    const FrameTrace &lineTrace() const { return trace; }

    // The device node of the port in use, once File has opened one.
    const QString &portDevicePath() const { return portPath; }

    // Where the machine's ports come from; tests put a fixed list here.
    static QList<PortIdentity> (*enumeratePorts)();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    // The order of these eight is the window's slot table.
    void on_comboBoxPort_currentIndexChanged(int);
    void on_pushButtonDownload_clicked();
    void on_pushButtonCancel_clicked();
    void on_pushButtonOK_clicked();
    void receive();
    void timeout();
    void disableLed();
    void disableLedBlue();

private:
    // The tests' one way in.
    friend class UpdaterAccess;

    QString portAndFileText() const;
    void describeWidgets();
    void showPortNamesWhole();
    void holdPortChoice();
    bool transferring() const;
    bool mayEnd();
    void focusStep(QPushButton *button, const QString &text);
    void takeBackFocus();
    void nameWindow();
    QString fittedStatus(const QString &text) const;
    // text on the line; whole, when given, is the full story: the tooltip,
    // and what a script is told.
    void showStatus(const QString &text, const QString &whole = QString());
    void fitStatusFont(const QString &text, const QString &whole);
    bool statusFits(const QString &text) const;
    QFont smallestStatusFont() const;

    // link
    bool openPort(const QString &resolved);
    bool portInUse(const QString &name);
    bool notAPort(const QString &name);
    QString portOpenError(const QString &name) const;
    void lineLost(const QString &reason);
    QString lostText(qint32 before, const QString &reason, QString *whole) const;
    // The port object for the name wanted: made anew when the name asks for
    // another kind.
    LinePort &portFor(const QString &wanted);
    // held: the port is there, and another window here has it open.
    QString resolvedPort(bool *held = nullptr);
    bool heldByAnother(const QString &name) const;
    static QList<const pelkoUpdate *> &liveWindows();
    void awaitPort(bool held = false);
    void showWaiting(bool held);
    void waitForLostPort(qint32 before, const QString &reason);
    void lookForPort();
    void portArrived();
    void portUnreachable(const QString &reason);
    bool worthLooking();
    void giveUpOnPort();
    void beginFinding();
    void resumeTransfer(const unsigned char *payload);
    void receiveBytes(const unsigned char *bytes, qint64 count);
    void sendFrame(unsigned char *payload, int length);
    static int frameChecksum(const unsigned char *data, int length);
    static int progressValue(qint64 offset, qint64 size);

    // update procedure
    void startUpdate();
    void openAndFind();
    void sendNextRequest();
    void handleResponse(const unsigned char *frame);
    bool actsOn(unsigned char code) const;
    void act(const unsigned char *payload);
    void noteAsked(quint32 offset);
    void noteEndAsked(quint32 offset);
    void confirmed();
    void restAfterFailure(const QString &text, const QString &whole,
                          UpdateObserver::Outcome outcome = UpdateObserver::Outcome::Unusable);
    void notifyEnded(UpdateObserver::Outcome outcome);

    // image file
    bool openImage();
    bool fingerprintImage();
    bool loadImage();
    bool imageExpected();
    bool prepareImage();
    bool positionImage();
    bool hasHeader() const;
    bool imageUnchanged() const;
    ImageWord imageWordAt(int offset, unsigned char word[4]);
    bool readBlock(quint32 start);
    ImageWord fileChanged();
    void readFailed();
    bool cannotRead(const QString &why);
    QString shownFileName() const;
    ImageWord offsetPastEnd(quint32 offset);

    QString fileName;
    QString offeredFile; // given by the desktop, taken by File
    QMessageBox *endQuestion = nullptr; // while it is asked
    QStringList portList;
    std::unique_ptr<LinePort> linePort; // never null
    QString portPath; // the device node opened (or the network address), to tell when it is gone
    QFile firmwareFile;
    qint32 imageSize = 0;
    qint64 chosenSize = 0;  // the whole file, as opened
    QDateTime chosenTime;   // its modification time then
    std::array<unsigned char, 1024> block{};
    std::vector<size_t> blockDigests; // of each block as chosen
    std::vector<bool> wordsAsked;     // a flag per word of the image, sized at Download
    qint64 bytesAsked = 0;
    qint64 unalignedAsked = 0; // offsets between two words: garbled, covering nothing
    QByteArray imageSha256;
    QByteArray fileSha256;
    QByteArray expectedSha256;
    bool vacantRefused = false;
    bool leaving = false;
    qint32 requestedOffset = 0;
    qint32 readOffset = 0; // just past the block held; 0 when none is
    QTimer retryTimer;
    // The lamps go dark 100 ms after the first frame of a burst; a timer of
    // our own instead of a single shot per frame keeps frames allocation-free.
    QTimer txLampTimer;
    QTimer rxLampTimer;
    QTimer portWaitTimer;   // looks for a port that is not there
    // Asking the system for every port costs a few milliseconds: while a
    // port named by what it is is waited for, only after the device nodes
    // changed (and now and then regardless).
    std::unique_ptr<QFileSystemWatcher> deviceNodes;
    bool nodesChanged = true;
    int looksSinceEnumerating = 0;
    QElapsedTimer lostFor;
    QString lostReason;
    QString goneTerminal; // a pseudo-terminal path that went away: never the same line again
    int reconnectMs = 5000;
    bool patientForPort = false;
    // A network port's first look, a connection under way: told as not
    // there only when it fails.
    bool firstLook = false;
    QString lookTrouble; // why the last look found no port, when it says
    bool bay = false;
    qint32 lostState = -1;  // the state the update was in when its port went; -1: none lost
    bool resuming = false;  // back after a lost port: the transfer goes on once the device is the same
    std::array<unsigned char, 4> versionBytes{}; // as the device answered first
    QElapsedTimer findingFor; // since the first device query
    QString findingHint;      // what stands in the way, once the device stays silent
    QFont statusFont; // the line's own font, before any shrinking
    QPixmap ledOffPixmap;
    QPixmap ledOnPixmap;
    qint32 state = StateFindDevice;
    UpdateObserver *observer = nullptr;
    FrameTrace trace;
    // Each window's line is a byte stream of its own: several windows in
    // one process (a line of bays) never share a half-read frame.
    Deframer deframer;
    std::unique_ptr<Ui_pelkoUpdate> ui;
};

#endif

#ifndef UPDATERACCESS_H
#define UPDATERACCESS_H

#include "pelkoupdate.h"
#include "framecodec.h"
#include "ptydevice.h"
#include "serialport.h"
#include "ui_pelkoupdate.h"

#include <QApplication>
#include <QProcess>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <memory>

// What the tests need of the window's inside, in one place.
class UpdaterAccess
{
public:
    static Ui_pelkoUpdate &ui(pelkoUpdate &d) { return *d.ui; }
    static qint32 state(const pelkoUpdate &d) { return d.state; }
    static qint32 &state(pelkoUpdate &d) { return d.state; }
    static QSerialPort &port(pelkoUpdate &d) { return static_cast<SerialLinePort &>(*d.linePort).qtPort(); }
    static QFile &file(pelkoUpdate &d) { return d.firmwareFile; }
    static QString &fileName(pelkoUpdate &d) { return d.fileName; }
    static qint32 &imageSize(pelkoUpdate &d) { return d.imageSize; }
    static qint32 &readOffset(pelkoUpdate &d) { return d.readOffset; }
    static qint32 &requestedOffset(pelkoUpdate &d) { return d.requestedOffset; }
    static QTimer &retryTimer(pelkoUpdate &d) { return d.retryTimer; }
    static FrameTrace &trace(pelkoUpdate &d) { return d.trace; }
    static Deframer &deframer(pelkoUpdate &d) { return d.deframer; }
    static const QPixmap &ledOn(const pelkoUpdate &d) { return d.ledOnPixmap; }
    static void showStatus(pelkoUpdate &d, const QString &text) { d.showStatus(text); }
    static void sendFrame(pelkoUpdate &d, unsigned char *payload, int length) { d.sendFrame(payload, length); }
    static QString resolvedPort(pelkoUpdate &d) { return d.resolvedPort(); }
    static bool openPort(pelkoUpdate &d, const QString &resolved) { return d.openPort(resolved); }
    static bool loadImage(pelkoUpdate &d) { return d.loadImage(); }
    static bool prepareImage(pelkoUpdate &d) { return d.prepareImage(); }
    static ImageWord wordAt(pelkoUpdate &d, int offset, unsigned char word[4]) { return d.imageWordAt(offset, word); }
    static bool openImage(pelkoUpdate &d) { return d.openImage(); }
    static int frameChecksum(const unsigned char *data, int length) { return pelkoUpdate::frameChecksum(data, length); }
    static int progressValue(qint64 offset, qint64 size) { return pelkoUpdate::progressValue(offset, size); }
    static void setLowLatency(pelkoUpdate &d) { static_cast<SerialLinePort &>(*d.linePort).setLowLatency(); }
    static QTimer &rxLampTimer(pelkoUpdate &d) { return d.rxLampTimer; }
    static QTimer &txLampTimer(pelkoUpdate &d) { return d.txLampTimer; }
    static void receiveBytes(pelkoUpdate &d, const unsigned char *bytes, qint64 count) { d.receiveBytes(bytes, count); }
    static QString status(const pelkoUpdate &d) { return d.ui->labelStatusBar->text(); }
    // The whole story behind a short status: its tooltip, and what a script is told.
    static QString told(const pelkoUpdate &d)
    {
        const QString tip = d.ui->labelStatusBar->toolTip();
        return tip.isEmpty() ? status(d) : tip;
    }
    static bool downloadEnabled(const pelkoUpdate &d) { return d.ui->pushButtonDownload->isEnabled(); }
    static bool fileEnabled(const pelkoUpdate &d) { return d.ui->pushButtonOK->isEnabled(); }
    static bool timerRunning(const pelkoUpdate &d) { return d.retryTimer.isActive(); }
    static int progress(const pelkoUpdate &d) { return d.ui->progressBarDownload->value(); }

    // File with a name already chosen, as when the file dialog returns it.
    static void choose(pelkoUpdate &d, const QString &path)
    {
        d.fileName = path;
        d.startUpdate();
    }
    static void download(pelkoUpdate &d) { d.ui->pushButtonDownload->click(); }
    static bool portOpen(const pelkoUpdate &d) { return d.linePort->isOpen(); }
};

// Stops the test function when a helper has failed.
#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace testing {

// A signal to a child that is still there: once it has ended its process id
// reads 0, and kill(0, ...) would signal the test's own process group.
inline void signal(const QProcess &process, int number)
{
    if (process.processId() > 0)
        ::kill(pid_t(process.processId()), number);
}

inline QList<PortIdentity> noMachinePorts()
{
    return {};
}

// A window whose only port is the device's line.
inline std::unique_ptr<pelkoUpdate> windowOn(const QString &port)
{
    pelkoUpdate::enumeratePorts = &noMachinePorts;
    return std::make_unique<pelkoUpdate>(QStringList{port});
}
inline std::unique_ptr<pelkoUpdate> windowOn(const pty::Device &device)
{
    return windowOn(device.path);
}

// Runs the event loop until done() holds or ms have passed. Unlike QTRY_*,
// which sleeps between its looks, the loop wakes on every event, so a
// transfer runs at full speed while the test waits for its end.
template <typename Done>
bool waitFor(Done done, int ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(2);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(ms);
    loop.exec();
    return done();
}

// Answers the question that ending mid-transfer asks: end anyway, or go on.
// Gives up after 3 s; asked says whether it came.
inline void answerEndQuestion(bool end, bool *asked = nullptr)
{
    auto *poll = new QTimer(QCoreApplication::instance());
    auto deadline = std::make_shared<QElapsedTimer>();
    deadline->start();
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        const bool found = box && box->objectName() == QLatin1String("endQuestion");
        if (!found && deadline->elapsed() < 3000)
            return;
        poll->stop();
        poll->deleteLater();
        if (!found)
            return;
        if (asked)
            *asked = true;
        for (QAbstractButton *button : box->buttons()) {
            if ((box->buttonRole(button) == QMessageBox::DestructiveRole) == end) {
                button->click();
                return;
            }
        }
    });
    poll->start(10);
}

// Answers the next file dialog with path, as a user would.
inline void answerFileDialog(const QString &path, QString *caption = nullptr,
                             QStringList *filters = nullptr)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->deleteLater();
        poll->stop();
        if (caption)
            *caption = dialog->windowTitle();
        if (filters)
            *filters = dialog->nameFilters();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->setDirectory(QFileInfo(path).absolutePath());
        dialog->selectFile(QFileInfo(path).fileName());
        QMetaObject::invokeMethod(dialog, "accept");
    });
    poll->start(10);
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The image as the device must receive it: whole words, padded with 0xFF.
inline QByteArray padded(const QByteArray &image)
{
    return image + QByteArray((4 - image.size() % 4) % 4, '\xff');
}

// What a device wrote to its --out file; "missing" when there is none.
inline QByteArray received(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
}

// Bytes that differ at every position, so a word from the wrong place shows.
inline QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + (i >> 8) * 13 + seed) & 0xFF);
    return bytes;
}

} // namespace testing

#endif

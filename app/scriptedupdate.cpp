#include "scriptedupdate.h"

#include "lineoutput.h"
#include "portdiagnosis.h"

#include <QMetaObject>
#include <QPushButton>
#include <QSocketNotifier>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one write of the signal's number.
void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace
#endif

ScriptedUpdate::ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, LineOutput &out,
                               LineOutput &err)
    : dialog(dialog), out(out), err(err)
{
    noProgressTimer.setSingleShot(true);
    noProgressTimer.setInterval(silenceMs);
    connect(&noProgressTimer, &QTimer::timeout, this, &ScriptedUpdate::noProgress);
    connect(&dialog, &QDialog::finished, this, &ScriptedUpdate::closedByHand);
    dialog.setObserver(this);
}

ScriptedUpdate::~ScriptedUpdate()
{
    dialog.setObserver(nullptr);
}

void ScriptedUpdate::catchSignals()
{
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(signalNotifier.get(), &QSocketNotifier::activated, this, &ScriptedUpdate::interrupted);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
#endif
}

void ScriptedUpdate::start(const QString &path)
{
    noProgressTimer.start();
    dialog.chooseFile(path);
}

void ScriptedUpdate::print(LineOutput &stream, const QString &line)
{
    (finished ? stream.closingLine(line.toLocal8Bit()) : stream.line(line.toLocal8Bit()));
}

// The window repeats some texts every 200 ms while it waits; a log wants
// each once.
void ScriptedUpdate::statusShown(const QString &text)
{
    if (finished || text == lastStatus)
        return;
    lastStatus = text;
    print(out, text);
}

void ScriptedUpdate::progressed(const char *next)
{
    waitingFor = next;
    if (!finished)
        noProgressTimer.start();
}

void ScriptedUpdate::deviceFound()
{
    progressed("the device's version");
}

// As a person would: a click on the button, once the event in hand is done.
void ScriptedUpdate::readyForDownload(qint32 size)
{
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
    const size_t word = offset / 4;
    if (word < covered.size() && !covered[word]) {
        covered[word] = true;
        bytesCovered += std::min<qint64>(4, imageSize - qint64(word) * 4);
        progressed("the device to ask for the next word");
    }
    // Of the image covered, not of the offset asked: a device may ask in any order.
    printProgress(imageSize > 0 ? int(bytesCovered * 100 / imageSize) : 100);
}

// The device decides when the image ends; what it never asked for is said,
// and the progress line never claims more than was covered.
void ScriptedUpdate::endOfImageSent()
{
    endSent = true;
    printProgress(imageSize > 0 ? int(bytesCovered * 100 / imageSize) : 100);
    progressed("the device to confirm the image");
    if (bytesCovered < imageSize)
        print(out, QStringLiteral("the device ended the image with %1 image bytes never asked for")
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
    print(out, QStringLiteral("progress %1% (%2 of %3 bytes, %4 B/s, %5 s left)")
                   .arg(decile)
                   .arg(bytesCovered)
                   .arg(imageSize)
                   .arg(rate)
                   .arg(left));
}

void ScriptedUpdate::ended(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Updated:
        return finish(ExitUpdated);
    case Outcome::Cancelled:
        return finish(ExitCancelled);
    case Outcome::DeviceLost:
        return finish(ExitNoDevice);
    case Outcome::Unusable:
        return finish(ExitUnusable);
    case Outcome::Refused:
        return finish(ExitRefused);
    }
}

void ScriptedUpdate::noProgress()
{
    if (finished)
        return;
    QString line = QStringLiteral("no progress for %1 s while waiting for %2")
                       .arg(noProgressTimer.interval() / 1000.0)
                       .arg(QLatin1String(waitingFor));
    if (!deviceHolds().isEmpty())
        line += QStringLiteral("; ") + deviceHolds();
    print(out, lastStatus = line);
    // Never found: say what the system shows in the way, if anything.
    if (!dialog.portDevicePath().isEmpty() && qstrcmp(waitingFor, initialWait) == 0) {
        const QString inTheWay = portdiagnosis::inTheWay(dialog.portDevicePath());
        for (const QString &problem : inTheWay.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            print(err, QStringLiteral("pelkoupdate: in the way: %1").arg(problem));
    }
    finish(ExitNoDevice);
}

void ScriptedUpdate::interrupted()
{
#ifdef Q_OS_UNIX
    unsigned char number = 0;
    if (::read(signalPipe[0], &number, 1) != 1 || finished)
        return;
    dialog.abandonUpdate();
    const char *name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    const QString holds = deviceHolds();
    lastStatus = holds.isEmpty()
                     ? QStringLiteral("stopped by %1 before the transfer began").arg(QLatin1String(name))
                     : QStringLiteral("stopped by %1: %2").arg(QLatin1String(name), holds);
    print(out, lastStatus);
    finish(128 + number);
#endif
}

// The window's close button or End, under a script: said like a signal.
void ScriptedUpdate::closedByHand()
{
    if (finished)
        return;
    dialog.abandonUpdate();
    const QString holds = deviceHolds();
    lastStatus = holds.isEmpty() ? QStringLiteral("window closed before the transfer began")
                                 : QStringLiteral("window closed: %1").arg(holds);
    print(out, lastStatus);
    finish(ExitClosedByHand);
}

// What the device was left with, for a closing line; empty before the
// transfer began.
QString ScriptedUpdate::deviceHolds() const
{
    if (endSent)
        return QStringLiteral("the whole image was sent; the device did not confirm it");
    if (downloading && wordsSent > 0)
        return QStringLiteral("the device holds a partial image");
    return QString();
}

QString ScriptedUpdate::summary() const
{
    const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
    QString text = QStringLiteral("sent %1 words, %2 of %3 image bytes covered, in %4 s, %5 bytes/s")
                       .arg(wordsSent)
                       .arg(bytesCovered)
                       .arg(imageSize)
                       .arg(seconds, 0, 'f', 3)
                       .arg(seconds > 0 ? qRound64(bytesCovered / seconds) : 0);
    const qint64 dropped = out.droppedLines() + err.droppedLines();
    if (dropped > 0)
        text += QStringLiteral("; %1 lines not written, the reader did not take them").arg(dropped);
    return text;
}

void ScriptedUpdate::finish(int exitCode)
{
    if (finished)
        return;
    finished = true;
    code = exitCode;
    noProgressTimer.stop();
    print(out, summary());
    print(out, dialog.lineTrace().qualityLine());
    if (code != ExitUpdated)
        print(err, QStringLiteral("pelkoupdate: %1").arg(lastStatus));
    // Closing the only window ends the event loop.
    QMetaObject::invokeMethod(&dialog, &QWidget::close, Qt::QueuedConnection);
}

#include "scriptedupdate.h"

#include <QMetaObject>
#include <QPushButton>

ScriptedUpdate::ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, FILE *out, FILE *err)
    : dialog(dialog), out(out), err(err)
{
    silence.setSingleShot(true);
    silence.setInterval(silenceMs);
    connect(&silence, &QTimer::timeout, this, &ScriptedUpdate::deviceSilent);
    dialog.setObserver(this);
}

ScriptedUpdate::~ScriptedUpdate()
{
    dialog.setObserver(nullptr);
}

void ScriptedUpdate::start(const QString &path)
{
    silence.start();
    dialog.chooseFile(path);
}

void ScriptedUpdate::print(FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", qPrintable(line));
    std::fflush(stream);
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

void ScriptedUpdate::frameReceived()
{
    if (!finished)
        silence.start();
}

// As a person would: a click on the button, once the event in hand is done.
void ScriptedUpdate::readyForDownload()
{
    if (finished)
        return;
    auto *download = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonDownload"));
    QMetaObject::invokeMethod(download, &QPushButton::click, Qt::QueuedConnection);
    clock.start();
    bytesSent = 0;
    nextDecile = 10;
}

void ScriptedUpdate::transferred(int percent, int imageBytes)
{
    bytesSent += imageBytes;
    for (; nextDecile <= percent && nextDecile <= 100; nextDecile += 10)
        print(out, QStringLiteral("progress %1%").arg(nextDecile));
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
    }
}

void ScriptedUpdate::deviceSilent()
{
    if (finished)
        return;
    print(out, lastStatus = QStringLiteral("no answer from the device for %1 s")
                                .arg(silence.interval() / 1000.0));
    finish(ExitNoDevice);
}

void ScriptedUpdate::finish(int exitCode)
{
    if (finished)
        return;
    finished = true;
    code = exitCode;
    silence.stop();
    const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
    print(out, QStringLiteral("sent %1 bytes in %2 s, %3 bytes/s")
                   .arg(bytesSent)
                   .arg(seconds, 0, 'f', 3)
                   .arg(seconds > 0 ? qRound64(bytesSent / seconds) : 0));
    if (code != ExitUpdated)
        print(err, QStringLiteral("pelkoupdate: %1").arg(lastStatus));
    // Closing the only window ends the event loop.
    QMetaObject::invokeMethod(&dialog, &QWidget::close, Qt::QueuedConnection);
}

#include "scriptedupdate.h"

#include "printable.h"

#include <QComboBox>

// A device that confirms its image restarts into it. A station that must
// prove what a unit runs looks for it again and passes it only when it
// answers with the firmware it was given.

void ScriptedUpdate::expectFirmware(const QString &version, int ms)
{
    expectedFirmware = version;
    verifyTimer.setSingleShot(true);
    verifyTimer.setInterval(ms);
    connect(&verifyTimer, &QTimer::timeout, this, &ScriptedUpdate::notRestarted,
            Qt::UniqueConnection);
}

// The port may go and come back as the device restarts: it is waited for
// as long as the restart may take, and no longer.
void ScriptedUpdate::verifyRestart()
{
    verifying = true;
    endSent = false;
    transferMs = clock.isValid() ? clock.elapsed() : 0;
    noProgressTimer.stop();
    print(human, QStringLiteral("the device confirmed the image; waiting up to %1 s for it to "
                                "restart with firmware %2")
                     .arg(verifyTimer.interval() / 1000.0)
                     .arg(expectedFirmware));
    dialog.waitForPortWithoutBound(true);
    verifyTimer.start();
    dialog.findNext();
}

// Its version, as answered once found again: nothing more is sent.
void ScriptedUpdate::restartAnswered()
{
    verifyTimer.stop();
    verifying = false;
    if (firmwareAfter == expectedFirmware) {
        lastStatus = QStringLiteral("Firmware is updated; it restarted with firmware %1").arg(firmwareAfter);
        print(human, lastStatus);
        return finish(ExitUpdated, "updated");
    }
    lastStatus = QStringLiteral("the device restarted with firmware %1, not the %2 it was given")
                     .arg(printable(firmwareAfter), expectedFirmware);
    print(human, lastStatus);
    finish(ExitNotRestarted, "wrong-firmware");
}

void ScriptedUpdate::notRestarted()
{
    if (!verifying)
        return;
    verifying = false;
    lastStatus = QStringLiteral("the device confirmed the image but did not answer within %1 s "
                                "of its restart")
                     .arg(verifyTimer.interval() / 1000.0);
    print(human, lastStatus);
    finish(ExitNotRestarted, "no-restart");
}

// The transfer's own time, without the wait for a restart: its rate is
// the line's.
double ScriptedUpdate::transferSeconds() const
{
    const qint64 ms = transferMs >= 0 ? transferMs : clock.isValid() ? clock.elapsed() : 0;
    return ms / 1000.0;
}

QString ScriptedUpdate::currentPort() const
{
    return dialog.findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->currentText();
}

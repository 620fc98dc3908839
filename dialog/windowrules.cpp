#include "pelkoupdate.h"

#include "endquestion.h"

#include "ui_pelkoupdate.h"

#include "printable.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QWindow>
#include <QFileInfo>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

// What the widgets are, for a person who hovers over them and for one who
// listens to a screen reader.
void pelkoUpdate::describeWidgets()
{
    ui->label_tx->setToolTip(tr("frame sent"));
    ui->label_tx->setAccessibleName(tr("Frame sent"));
    ui->label_tx->setAccessibleDescription(tr("Green for a moment as each frame goes to the "
                                              "device, red in between"));
    ui->label_rx->setToolTip(tr("frame received"));
    ui->label_rx->setAccessibleName(tr("Frame received"));
    ui->label_rx->setAccessibleDescription(tr("Green for a moment as each frame comes from the "
                                              "device, red in between"));
    ui->progressBarDownload->setAccessibleName(tr("Download progress"));
    // A person who cannot see the bar can still go to it and hear how far.
    ui->progressBarDownload->setFocusPolicy(Qt::TabFocus);
    ui->comboBoxPort->setAccessibleName(tr("Serial port"));
    ui->label->setBuddy(ui->comboBoxPort);
    // The status line is read by its text: no name of its own hides it.
    // Enter presses the button that has the focus, the one a screen reader
    // just named; End mid-transfer still asks first.
    for (QPushButton *button : {ui->pushButtonOK, ui->pushButtonDownload, ui->pushButtonCancel}) {
        button->setAutoDefault(true);
        button->setDefault(false);
    }
    showPortNamesWhole();
}

// A long port path (/dev/serial/by-id/usb-FTDI_...) does not fit the port
// choice: its tooltip and its list show it whole.
void pelkoUpdate::showPortNamesWhole()
{
    QComboBox *ports = ui->comboBoxPort;
    int widest = 0;
    for (int i = 0; i < ports->count(); ++i) {
        ports->setItemData(i, ports->itemText(i), Qt::ToolTipRole);
        widest = qMax(widest, ports->fontMetrics().horizontalAdvance(ports->itemText(i)));
    }
    ports->view()->setTextElideMode(Qt::ElideNone);
    ports->view()->setMinimumWidth(widest + 2 * ports->view()->frameWidth() + 24);
    ports->setToolTip(ports->currentText());
}

// Once the port is open, the choice shows the port in use and cannot name
// another one.
void pelkoUpdate::holdPortChoice()
{
    ui->comboBoxPort->setToolTip(ui->comboBoxPort->currentText());
    ui->comboBoxPort->setEnabled(false);
}

bool pelkoUpdate::transferring() const
{
    return state == StateStartDownload || state == StateSendData || state == StateEndOfImage;
}

// Ending mid-transfer leaves the device with part of an image; a person is
// asked first, with going on as the answer a stray key gives. A script has
// decided already.
bool pelkoUpdate::mayEnd()
{
    if (!transferring() || observer)
        return true;
    // An update that ends under the question closes it: there is nothing
    // left to decide, and the outcome is on the line.
    return askBeforeEnding(this, QStringLiteral("endQuestion"),
                           tr("The download is not finished. If the program ends now, the device "
                              "will hold an incomplete image."),
                           tr("End anyway"), &endQuestion);
}

// The next step has the focus: what a screen reader says on the way is
// what Enter does. The step's text goes with it, so the reader says it too.
void pelkoUpdate::focusStep(QPushButton *button, const QString &text)
{
    button->setAccessibleDescription(text);
    takeBackFocus();
    if (button->isEnabled())
        button->setFocus(Qt::OtherFocusReason);
}

// Back from the file dialog, the window system may have given this window
// the focus while the dialog was still modal (openbox does, one time in
// two): Qt's window then has the focus and its widgets do not know, so the
// window is not active and nothing is focused, for a screen reader too. The
// widgets are told what the window system already said.
void pelkoUpdate::takeBackFocus()
{
    if (QGuiApplication::focusWindow() != windowHandle() || QApplication::activeWindow() == this)
        return;
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QApplication::setActiveWindow(this);
    QT_WARNING_POP
}

// The title names the image, so the task bar and a screen reader's window
// name say which one is about to go out.
void pelkoUpdate::nameWindow()
{
    setWindowTitle(fileName.isEmpty() ? QStringLiteral("pelkoUpdate")
                                      : printable(QFileInfo(fileName).fileName())
                                            + QStringLiteral(" - pelkoUpdate"));
}

void pelkoUpdate::closeEvent(QCloseEvent *event)
{
    if (!mayEnd()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// Escape is one key away from any other: during a transfer it does nothing.
void pelkoUpdate::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && transferring()) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

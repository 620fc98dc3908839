#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

#include <QAbstractItemView>
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
    ui->label_rx->setToolTip(tr("frame received"));
    ui->label_rx->setAccessibleName(tr("Frame received"));
    ui->progressBarDownload->setAccessibleName(tr("Download progress"));
    ui->comboBoxPort->setAccessibleName(tr("Serial port"));
    ui->label->setBuddy(ui->comboBoxPort);
    ui->labelStatusBar->setAccessibleName(tr("Status"));
    ui->labelStatusBar->setAccessibleDescription(ui->labelStatusBar->text());
    // Enter presses Download when it can be pressed, and never End: the
    // focus lands on End after File, and a reflex Enter must not end the
    // program.
    for (QPushButton *button : {ui->pushButtonOK, ui->pushButtonDownload, ui->pushButtonCancel})
        button->setAutoDefault(false);
    ui->pushButtonDownload->setDefault(true);
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
    QMessageBox question(QMessageBox::Warning, tr("pelkoUpdate"),
                         tr("The download is not finished. If the program ends now, the device "
                            "will hold an incomplete image."),
                         QMessageBox::NoButton, this);
    question.setObjectName(QStringLiteral("endQuestion"));
    QPushButton *goOn = question.addButton(tr("Continue"), QMessageBox::RejectRole);
    QPushButton *end = question.addButton(tr("End anyway"), QMessageBox::DestructiveRole);
    question.setDefaultButton(goOn);
    question.setEscapeButton(goOn);
    question.exec();
    return question.clickedButton() == end;
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

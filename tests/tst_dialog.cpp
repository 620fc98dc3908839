#include "pelkoupdate.h"
#include "ui_pelkoupdate.h"
#include "updateraccess.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {
QStringList machinePorts;
QList<PortIdentity> fakePorts()
{
    QList<PortIdentity> ports;
    for (const QString &name : std::as_const(machinePorts))
        ports += PortIdentity(name, "/dev/" + name);
    return ports;
}

bool lampIsOff(const QLabel *lamp)
{
    const QPixmap pixmap = lamp->pixmap();
    return pixmap.size() == QSize(15, 15) && pixmap.toImage().pixelColor(7, 7) == QColor(Qt::red);
}
} // namespace

using A = UpdaterAccess;

class TestDialog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // A slot whose name matches no signal would silently stay unconnected.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName|No such")));
        pelkoUpdate::enumeratePorts = &fakePorts;
        machinePorts.clear();
    }

    // Every fixed text of the system shows whole under the desktop's
    // default font, drawn no smaller than a readable 80 %.
    void statusTextsFit_data()
    {
        QTest::addColumn<QString>("text");
        for (const char *text : {"Firm V00.00, hardware V00.00, click Download", "get Version Info",
                                 "finding device...", "Get device version failed",
                                 "Please wait, in progressing...", "Firmware is updated",
                                 "Device canncelled, please retry", "device time out, re-start this program",
                                 "File is Vacant", "ttyUSB0  file not available",
                                 "No serial port: connect the device and restart"})
            QTest::newRow(text) << QString::fromLatin1(text);
        // The program's own, with long but likely names, numbers and reasons;
        // the whole story is in the tooltip.
        for (const char *text : {"fw.pelk is not a regular file",
                                 "Cannot open fw.pelk: No such file or directory",
                                 "fw.pelk is shorter than its 16-byte header",
                                 "fw.pelk is too large for the device",
                                 "Cannot read fw.pelk: it shrank while read",
                                 "fw.pelk changed; choose it again with File",
                                 "fw.pelk changed, download stopped", "Read error in fw.pelk, stopped",
                                 "Asked for 4294967295, past the end 2147483644",
                                 "Cannot open port ttyUSB0: Permission denied",
                                 "Cannot open port ttyUSB0: No such file or directory",
                                 "Cannot open port ttyUSB0: in use by pid 4194304",
                                 "Cannot open port ttyUSB0: in use",
                                 "Cannot set up port ttyUSB0: Invalid argument",
                                 "Port ttyUSB0 lost, image incomplete",
                                 "Port ttyUSB0 lost: image sent, not confirmed",
                                 "waiting for the device to leave", "fw.pelk is not the image expected"})
            QTest::newRow(text) << QString::fromLatin1(text);
    }
    void statusTextsFit()
    {
        QFETCH(QString, text);
        machinePorts = {"ttyUSB0"};
        pelkoUpdate w;
        QLabel *label = w.findChild<QLabel *>("labelStatusBar");
        const QFont initial = label->font();
        A::showStatus(w, text);
        QCOMPARE(label->text(), text);
        QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(text) <= label->contentsRect().width(),
                 qPrintable(QStringLiteral("%1 px at %2 pt")
                                .arg(QFontMetrics(label->font()).horizontalAdvance(text))
                                .arg(label->font().pointSizeF())));
        QVERIFY(label->font().pointSizeF() >= initial.pointSizeF() * 0.8 - 0.01);
        QVERIFY(label->toolTip().isEmpty());
        QCOMPARE(label->font().family(), initial.family());
    }

    // A long file or port name gives up its middle, never the reason: the
    // words around the names stay whole on the line, the tooltip has it all.
    void longNamesNeverCutTheReason_data()
    {
        QTest::addColumn<QString>("text");
        for (const char *text : {"FILE is not a regular file", "Cannot open FILE: No such file or directory",
                                 "FILE is shorter than its 16-byte header", "FILE is too large for the device",
                                 "Cannot read FILE: it shrank while read", "FILE changed; choose it again with File",
                                 "FILE changed, download stopped", "Read error in FILE, stopped",
                                 "FILE is not the image expected", "Cannot open port PORT: Permission denied",
                                 "Cannot open port PORT: in use by pid 4194304",
                                 "Cannot set up port PORT: Invalid argument", "Port PORT lost, image incomplete",
                                 "Port PORT lost: image sent, not confirmed", "PORT  PATH"})
            QTest::newRow(text) << QString::fromLatin1(text);
    }
    void longNamesNeverCutTheReason()
    {
        QFETCH(QString, text);
        const QString file = "acme_industrial_controller_mainboard_firmware_v01" + QString(66, 'x') + "_v01.pelk";
        const QString port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + QString(17, 'A');
        QCOMPARE(file.size(), 124);
        QCOMPARE(port.size(), 60);
        pelkoUpdate dialog(QStringList{port});
        dialog.show();
        A::fileName(dialog) = "/srv/images/" + file;
        const QString whole = QString(text).replace("FILE", file).replace("PORT", port).replace("PATH", A::fileName(dialog));
        A::showStatus(dialog, whole);
        QLabel *label = A::ui(dialog).labelStatusBar;
        QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->contentsRect().width(),
                 qPrintable(label->text()));
        QCOMPARE(label->toolTip(), whole);
        // Every word that is not a name is on the line, in its place.
        QString pattern = QRegularExpression::escape(text);
        for (const char *name : {"FILE", "PORT", "PATH"})
            pattern.replace(name, ".+");
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(label->text()).hasMatch(), qPrintable(label->text()));
        QVERIFY(label->text().contains(QChar(0x2026)));
    }

    void shortStatusKeepsItsSize()
    {
        machinePorts = {"ttyUSB0"};
        pelkoUpdate w;
        QLabel *label = w.findChild<QLabel *>("labelStatusBar");
        const QFont initial = label->font();
        A::showStatus(w, "Firm V00.00, hardware V00.00, click Download");
        A::showStatus(w, "File is Vacant");
        QCOMPARE(label->font().pointSizeF(), initial.pointSizeF());
    }

    // A path longer than the line: cut at the edge, whole in the tooltip.
    void longPathInTheTooltip()
    {
        machinePorts = {"ttyUSB0"};
        pelkoUpdate w;
        QLabel *label = w.findChild<QLabel *>("labelStatusBar");
        const QString text = "ttyUSB0  /home/someone/projects/firmware/releases/2026-12/device-v1.2.3-final.pelk";
        A::showStatus(w, text);
        QCOMPARE(label->text(), text);
        QCOMPARE(label->toolTip(), text);
        QVERIFY(label->wordWrap() == false);
        A::showStatus(w, "Firmware is updated");
        QVERIFY(label->toolTip().isEmpty());
    }

    // What a person hovering and a screen reader are told of each widget.
    void describedWidgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("accessibleName");
        QTest::addColumn<QString>("toolTip");
        QTest::newRow("tx lamp") << "label_tx" << "Frame sent" << "frame sent";
        QTest::newRow("rx lamp") << "label_rx" << "Frame received" << "frame received";
        QTest::newRow("progress bar") << "progressBarDownload" << "Download progress" << "";
        QTest::newRow("port choice") << "comboBoxPort" << "Serial port" << "ttyA";
    }
    void describedWidgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, accessibleName);
        QFETCH(QString, toolTip);
        pelkoUpdate dialog(QStringList{"ttyA"});
        dialog.show();
        QWidget *widget = dialog.findChild<QWidget *>(name);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible);
        QCOMPARE(widget->accessibleName(), accessibleName);
        // On Linux a combo box is read by its current item, and named by its label.
        if (!qobject_cast<QComboBox *>(widget))
            QCOMPARE(accessible->text(QAccessible::Name), accessibleName);
        QCOMPARE(widget->toolTip(), toolTip);
    }

    // Each status reaches a screen reader as it appears: the status line is
    // read by its text, with nothing of its own in front; the lamps say what
    // they are. (What goes over the accessibility bus is checked against a
    // real screen reader, where there is one.)
    void statusForScreenReaders()
    {
        pelkoUpdate dialog(QStringList{"ttyA"});
        dialog.show();
        QAccessibleInterface *status = QAccessible::queryAccessibleInterface(A::ui(dialog).labelStatusBar);
        QCOMPARE(status->text(QAccessible::Name), QStringLiteral("ttyA  file not available"));
        A::showStatus(dialog, "Firmware is updated");
        QCOMPARE(status->text(QAccessible::Name), QStringLiteral("Firmware is updated"));
        QCOMPARE(status->text(QAccessible::Description), QString());
        for (QLabel *lamp : {A::ui(dialog).label_tx, A::ui(dialog).label_rx})
            QVERIFY(QAccessible::queryAccessibleInterface(lamp)->text(QAccessible::Description).contains("Green"));
    }

    // A port path longer than the port choice: whole in its tooltip and its list.
    void longPortNames()
    {
        const QString name = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        machinePorts = {"ttyS0"};
        pelkoUpdate dialog(QStringList{name});
        QComboBox *ports = A::ui(dialog).comboBoxPort;
        QCOMPARE(ports->toolTip(), name);
        QCOMPARE(ports->itemData(0, Qt::ToolTipRole).toString(), name);
        QVERIFY(ports->view()->minimumWidth() > ports->fontMetrics().horizontalAdvance(name));
        ports->setCurrentIndex(1);
        QCOMPARE(ports->toolTip(), QStringLiteral("ttyS0"));
    }

    void widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::newRow("progress bar") << "progressBarDownload" << "QProgressBar" << QRect(30, 70, 251, 23) << "";
        QTest::newRow("status line") << "labelStatusBar" << "QLabel" << QRect(20, 150, 261, 16) << "COM7  file not available";
        QTest::newRow("File") << "pushButtonOK" << "QPushButton" << QRect(20, 110, 81, 31) << "File";
        QTest::newRow("End") << "pushButtonCancel" << "QPushButton" << QRect(200, 110, 81, 31) << "End";
        QTest::newRow("Download") << "pushButtonDownload" << "QPushButton" << QRect(110, 110, 81, 31) << "Download";
        QTest::newRow("port choice") << "comboBoxPort" << "QComboBox" << QRect(150, 20, 101, 22) << "";
        QTest::newRow("caption") << "label" << "QLabel" << QRect(30, 30, 54, 12) << "M.Wire @";
        QTest::newRow("tx lamp") << "label_tx" << "QLabel" << QRect(90, 30, 21, 16) << "";
        QTest::newRow("rx lamp") << "label_rx" << "QLabel" << QRect(120, 30, 21, 16) << "";
    }
    void widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        pelkoUpdate dialog(QStringList{QStringLiteral("COM7")});
        dialog.show();
        QWidget *widget = dialog.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->metaObject()->className(), className);
        QCOMPARE(widget->geometry(), geometry);
        if (auto *label = qobject_cast<QLabel *>(widget))
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), text);
    }

    void windowAsFirstShown()
    {
        pelkoUpdate dialog;
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("pelkoUpdate"));
        QCOMPARE(dialog.objectName(), QStringLiteral("pelkoUpdate"));
        QCOMPARE(dialog.size(), QSize(296, 170));
        QCOMPARE(dialog.children().count(), 9); // the nine widgets, nothing else
        const auto widgets = dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        const QStringList order{"progressBarDownload", "labelStatusBar", "pushButtonOK",
                                "pushButtonCancel",    "pushButtonDownload", "comboBoxPort",
                                "label",               "label_tx",       "label_rx"};
        QStringList names;
        for (const QWidget *w : widgets)
            names += w->objectName();
        QCOMPARE(names, order);
        QVERIFY(lampIsOff(A::ui(dialog).label_tx));
        QVERIFY(lampIsOff(A::ui(dialog).label_rx));
        QCOMPARE(A::ui(dialog).label_tx->margin(), 1);
        QCOMPARE(A::ui(dialog).progressBarDownload->value(), 0);
        QVERIFY(!A::ui(dialog).pushButtonDownload->isEnabled());
        QVERIFY(A::ui(dialog).pushButtonOK->isEnabled());
        QVERIFY(A::ui(dialog).pushButtonCancel->isEnabled());
        QCOMPARE(A::state(dialog), qint32(StateFindDevice));
        QVERIFY(!A::port(dialog).isOpen());
        QVERIFY(!A::retryTimer(dialog).isActive());
    }

    void portList_data()
    {
        QTest::addColumn<QStringList>("machine");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("status");
        QTest::newRow("no port") << QStringList() << QStringList() << QStringList() << "  file not available";
        QTest::newRow("one port") << QStringList{"ttyS0"} << QStringList() << QStringList{"ttyS0"} << "ttyS0  file not available";
        QTest::newRow("several ports in order")
            << QStringList{"ttyUSB1", "ttyS0", "ttyACM0"} << QStringList()
            << QStringList{"ttyUSB1", "ttyS0", "ttyACM0"} << "ttyUSB1  file not available";
        QTest::newRow("--port ahead of the machine's")
            << QStringList{"ttyS0"} << QStringList{"/dev/pts/9", "ttyV1"}
            << QStringList{"/dev/pts/9", "ttyV1", "ttyS0"} << "/dev/pts/9  file not available";
        QTest::newRow("--port alone") << QStringList() << QStringList{"ttyV1"} << QStringList{"ttyV1"} << "ttyV1  file not available";
    }
    void portList()
    {
        QFETCH(QStringList, machine);
        QFETCH(QStringList, extra);
        QFETCH(QStringList, items);
        QFETCH(QString, status);
        machinePorts = machine;
        pelkoUpdate dialog(extra);
        QStringList shown;
        for (int i = 0; i < A::ui(dialog).comboBoxPort->count(); ++i)
            shown += A::ui(dialog).comboBoxPort->itemText(i);
        QCOMPARE(shown, items);
        QCOMPARE(A::ui(dialog).comboBoxPort->currentIndex(), items.isEmpty() ? -1 : 0);
        QCOMPARE(A::ui(dialog).labelStatusBar->text(), status);
    }

    void slotTable()
    {
        const QMetaObject *meta = &pelkoUpdate::staticMetaObject;
        QCOMPARE(meta->className(), "pelkoUpdate");
        QStringList table;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            table += QString::fromLatin1(method.methodSignature());
        }
        QCOMPARE(table, (QStringList{"on_comboBoxPort_currentIndexChanged(int)",
                                     "on_pushButtonDownload_clicked()",
                                     "on_pushButtonCancel_clicked()", "on_pushButtonOK_clicked()",
                                     "receive()", "timeout()", "disableLed()", "disableLedBlue()"}));
        QCOMPARE(meta->propertyCount(), meta->propertyOffset());
        QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    }

    void statusFollowsPortChoice()
    {
        pelkoUpdate dialog(QStringList{"ttyA", "ttyB", "ttyC"});
        A::ui(dialog).comboBoxPort->setCurrentIndex(2);
        QCOMPARE(A::ui(dialog).labelStatusBar->text(), QStringLiteral("ttyC  file not available"));
        A::fileName(dialog) = QStringLiteral("/home/u/fw.pelk");
        A::ui(dialog).labelStatusBar->setText(QStringLiteral("Firmware is updated"));
        A::ui(dialog).comboBoxPort->setCurrentIndex(1);
        QCOMPARE(A::ui(dialog).labelStatusBar->text(), QStringLiteral("ttyB  /home/u/fw.pelk"));
        QCOMPARE(A::state(dialog), qint32(StateFindDevice));
        QVERIFY(!A::port(dialog).isOpen());
    }

    void lampsGoOffAfter100ms()
    {
        pelkoUpdate dialog;
        A::ui(dialog).label_tx->setPixmap(A::ledOn(dialog));
        A::ui(dialog).label_rx->setText(QStringLiteral("132"));
        A::txLampTimer(dialog).start();
        A::rxLampTimer(dialog).start();
        QTRY_VERIFY_WITH_TIMEOUT(lampIsOff(A::ui(dialog).label_tx), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(lampIsOff(A::ui(dialog).label_rx), 1000);
    }

    void languageChangeReappliesTexts()
    {
        pelkoUpdate dialog(QStringList{"ttyA"});
        A::ui(dialog).pushButtonOK->setEnabled(false);
        A::ui(dialog).pushButtonDownload->setEnabled(true);
        A::ui(dialog).progressBarDownload->setValue(42);
        dialog.setWindowTitle(QString());
        for (QAbstractButton *b : dialog.findChildren<QAbstractButton *>())
            b->setText(QString());
        A::ui(dialog).label->setText(QString());
        QEvent change(QEvent::LanguageChange);
        QApplication::sendEvent(&dialog, &change);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("pelkoUpdate"));
        QCOMPARE(A::ui(dialog).labelStatusBar->text(), QStringLiteral("TextLabel"));
        QCOMPARE(A::ui(dialog).pushButtonOK->text(), QStringLiteral("File"));
        QCOMPARE(A::ui(dialog).pushButtonCancel->text(), QStringLiteral("End"));
        QCOMPARE(A::ui(dialog).pushButtonDownload->text(), QStringLiteral("Download"));
        QCOMPARE(A::ui(dialog).label->text(), QStringLiteral("M.Wire @"));
        QCOMPARE(A::ui(dialog).label_tx->text(), QStringLiteral("132"));
        QCOMPARE(A::ui(dialog).label_rx->text(), QStringLiteral("TextLabel"));
        QVERIFY(!A::ui(dialog).pushButtonOK->isEnabled());
        QVERIFY(A::ui(dialog).pushButtonDownload->isEnabled());
        QCOMPARE(A::ui(dialog).progressBarDownload->value(), 42);
        QCOMPARE(A::ui(dialog).comboBoxPort->count(), 1);
    }

    void otherChangeEventsLeaveTexts()
    {
        pelkoUpdate dialog(QStringList{"ttyA"});
        dialog.setEnabled(false);
        dialog.setFont(QFont(QStringLiteral("Serif"), 20));
        QCOMPARE(A::ui(dialog).labelStatusBar->text(), QStringLiteral("ttyA  file not available"));
        QVERIFY(lampIsOff(A::ui(dialog).label_tx));
    }

    void endingTheWindowEndsTheLoop_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("End button") << 0 << int(QDialog::Accepted);
        QTest::newRow("close button") << 1 << int(QDialog::Rejected);
        QTest::newRow("Escape key") << 2 << int(QDialog::Rejected);
    }
    void endingTheWindowEndsTheLoop()
    {
        QFETCH(int, how);
        QFETCH(int, result);
        pelkoUpdate dialog(QStringList{"ttyA"});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTimer::singleShot(0, &dialog, [&dialog, how] {
            if (how == 0)
                QTest::mouseClick(A::ui(dialog).pushButtonCancel, Qt::LeftButton);
            else if (how == 1)
                dialog.close();
            else
                QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        QTimer guard;
        guard.callOnTimeout([] { QCoreApplication::exit(99); });
        guard.start(5000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), result);
    }

    // The form's controls are placed for its one size: smaller cut off the
    // buttons and the status line, larger left them at the top left.
    void keepsItsShape_data()
    {
        QTest::addColumn<QSize>("asked");
        QTest::newRow("smaller") << QSize(200, 90);
        QTest::newRow("larger") << QSize(1200, 700);
    }
    void keepsItsShape()
    {
        QFETCH(QSize, asked);
        pelkoUpdate dialog(QStringList{"ttyA"});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.resize(asked);
        QCOMPARE(dialog.size(), QSize(296, 170));
        for (QWidget *control : dialog.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            QVERIFY2(dialog.rect().contains(control->geometry()), qPrintable(control->objectName()));
    }
};

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"

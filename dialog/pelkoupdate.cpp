#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

#include <QEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>

#include <algorithm>

QList<PortIdentity> (*pelkoUpdate::enumeratePorts)() = &portidentity::systemPorts;

pelkoUpdate::pelkoUpdate(QWidget *parent) : pelkoUpdate(QStringList(), parent) {}

pelkoUpdate::pelkoUpdate(const QStringList &extraPorts, QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui_pelkoUpdate>())
{
    ui->setupUi(this);
    liveWindows().append(this);
    statusFont = ui->labelStatusBar->font();
    for (const PortIdentity &port : enumeratePorts())
        portList += port.name;
    // The first item added becomes current and already updates the status line.
    for (const QString &name : extraPorts)
        ui->comboBoxPort->addItem(name);
    for (const QString &name : std::as_const(portList))
        ui->comboBoxPort->addItem(QString::fromLatin1(name.toLocal8Bit()));
    showStatus(portAndFileText());
    ui->pushButtonDownload->setEnabled(false);
    state = StateFindDevice;

    ledOffPixmap = QPixmap(15, 15);
    ledOnPixmap = QPixmap(15, 15);
    ledOffPixmap.fill(QColor(Qt::red));
    ledOnPixmap.fill(QColor(Qt::green));
    ui->label_rx->setPixmap(ledOffPixmap);
    ui->label_tx->setPixmap(ledOffPixmap);
    ui->progressBarDownload->setValue(0);
    requestedOffset = 0;
    describeWidgets();
    ui->pushButtonOK->setFocus(Qt::OtherFocusReason);

    for (QTimer *lamp : {&txLampTimer, &rxLampTimer}) {
        lamp->setSingleShot(true);
        lamp->setInterval(100);
    }
    connect(&txLampTimer, &QTimer::timeout, this, &pelkoUpdate::disableLed);
    connect(&rxLampTimer, &QTimer::timeout, this, &pelkoUpdate::disableLedBlue);
    portFor(ui->comboBoxPort->currentText());
}

pelkoUpdate::~pelkoUpdate()
{
    liveWindows().removeOne(this);
}

void pelkoUpdate::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

// The line's width was drawn for a smaller dialog font than most desktops
// have. A text that does not fit is drawn a little smaller, down to a size
// that stays readable; one that still does not fit (a long path) is cut at
// the edge, and its tooltip holds it whole.
void pelkoUpdate::fitStatusFont(const QString &text, const QString &whole)
{
    QLabel *label = ui->labelStatusBar;
    const int room = label->contentsRect().width() - 2 * label->margin();
    QFont font = statusFont;
    const bool points = font.pointSizeF() > 0;
    const qreal full = points ? font.pointSizeF() : font.pixelSize();
    for (qreal size = full; size >= full * 0.8; size -= full / 40) {
        points ? font.setPointSizeF(size) : font.setPixelSize(qRound(size));
        if (QFontMetrics(font).horizontalAdvance(text) <= room)
            break;
    }
    const bool fits = QFontMetrics(font).horizontalAdvance(text) <= room;
    label->setFont(font);
    label->setToolTip(!whole.isEmpty() && whole != text ? whole : fits ? QString() : text);
}

// A name too long for the line (a file, a port) gives up its middle, never
// the reason around it: "Cannot open acme_ind…v01.pelk: Permission denied".
QString pelkoUpdate::fittedStatus(const QString &text) const
{
    if (statusFits(text))
        return text;
    QStringList names{fileName, QFileInfo(fileName).fileName(), ui->comboBoxPort->currentText(),
                      portPath};
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    const QLabel *label = ui->labelStatusBar;
    const QFontMetrics metrics(smallestStatusFont());
    const int room = label->contentsRect().width() - 2 * label->margin();
    QString fitted = text;
    for (const QString &name : std::as_const(names)) {
        const qsizetype at = name.size() > 8 ? fitted.indexOf(name) : -1;
        if (at < 0)
            continue;
        const int rest = metrics.horizontalAdvance(QString(fitted).remove(at, name.size()));
        fitted.replace(at, name.size(), metrics.elidedText(name, Qt::ElideMiddle, qMax(room - rest, metrics.averageCharWidth() * 6)));
        if (statusFits(fitted))
            break;
    }
    return fitted;
}

// The smallest the line's font is drawn, still readable: 80 %.
QFont pelkoUpdate::smallestStatusFont() const
{
    QFont smallest = statusFont;
    statusFont.pointSizeF() > 0 ? smallest.setPointSizeF(statusFont.pointSizeF() * 0.8)
                                : smallest.setPixelSize(qRound(statusFont.pixelSize() * 0.8));
    return smallest;
}

bool pelkoUpdate::statusFits(const QString &text) const
{
    const QLabel *label = ui->labelStatusBar;
    return QFontMetrics(smallestStatusFont()).horizontalAdvance(text)
           <= label->contentsRect().width() - 2 * label->margin();
}

QString pelkoUpdate::portAndFileText() const
{
    return ui->comboBoxPort->currentText() + QStringLiteral("  ")
           + (fileName.isEmpty() ? QStringLiteral("file not available") : fileName);
}

// The line's text is its accessible name, so a screen reader reads what a
// person sees; the label tells the change itself, once.
void pelkoUpdate::showStatus(const QString &text, const QString &whole)
{
    QLabel *label = ui->labelStatusBar;
    const QString shown = fittedStatus(text);
    const QString story = whole.isEmpty() && shown != text ? text : whole;
    if (shown != label->text() || label->toolTip() != story)
        fitStatusFont(shown, story);
    if (shown != label->text())
        label->setText(shown);
    if (observer)
        observer->statusShown(whole.isEmpty() ? text : whole);
}

QString pelkoUpdate::toldStatus() const
{
    const QLabel *label = ui->labelStatusBar;
    return label->toolTip().isEmpty() ? label->text() : label->toolTip();
}

// The outcome is what a person waits for: the question about ending goes,
// and the focus moves to the next step with the outcome as its description,
// so a screen reader says it.
void pelkoUpdate::notifyEnded(UpdateObserver::Outcome outcome)
{
    if (endQuestion)
        endQuestion->reject();
    focusStep(ui->pushButtonOK->isEnabled() ? ui->pushButtonOK : ui->pushButtonCancel, toldStatus());
    if (observer)
        observer->ended(outcome);
}

// The file's own name: the line has room for it, not for its folders.
QString pelkoUpdate::shownFileName() const
{
    return QFileInfo(fileName).fileName();
}

void pelkoUpdate::on_comboBoxPort_currentIndexChanged(int)
{
    ui->comboBoxPort->setToolTip(ui->comboBoxPort->currentText());
    showStatus(portAndFileText());
}

void pelkoUpdate::on_pushButtonCancel_clicked()
{
    if (mayEnd())
        done(1);
}

void pelkoUpdate::disableLed()
{
    ui->label_tx->setPixmap(ledOffPixmap);
}

void pelkoUpdate::disableLedBlue()
{
    ui->label_rx->setPixmap(ledOffPixmap);
}

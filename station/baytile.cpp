#include "baytile.h"

#include "bayprogress.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTextLayout>
#include <QVBoxLayout>

namespace {
// Its port lost under a unit, a bay's progress stands still: the state
// says so rather than a percentage that does not move.
const QString portLostWords = QStringLiteral("\u26A0\u00A0Port lost");
const QColor portLostColour(0x6f, 0x2d, 0x8e);
// A bay that has ended with no unit in it (its port held by another
// program, or the line's count taken by the others) waits for nothing: a
// unit put there would never be updated.
const QString endedWords = QStringLiteral("\u25A1\u00A0Ended");
const QColor endedColour(0x3a, 0x3a, 0x3a);
} // namespace

BayTile::BayTile(int bay, const QString &port, QWidget *parent)
    : QFrame(parent), bay(bay), port(port)
{
    setObjectName(QStringLiteral("bayTile%1").arg(bay));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::TabFocus);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 6);
    layout->setSpacing(2);
    number = new QLabel(QStringLiteral("Bay\u00A0%1").arg(bay), this);
    number->setObjectName(QStringLiteral("number"));
    state = new QLabel(this);
    state->setObjectName(QStringLiteral("state"));
    state->setWordWrap(true);
    portName = new QLabel(this);
    portName->setObjectName(QStringLiteral("port"));
    portName->setFont(smallFont());
    detail = new QLabel(this);
    detail->setObjectName(QStringLiteral("detail"));
    detail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Two lines at least, and the room the tile has left, never more:
    // a long reason never makes a tile taller than its neighbours.
    detail->setMinimumHeight(2 * fontMetrics().lineSpacing());
    row = new QWidget(this);
    auto *rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    progress = new BayProgress(bay, row);
    next = new QPushButton(QStringLiteral("Next unit"), row);
    next->setObjectName(QStringLiteral("nextUnit"));
    next->setAccessibleName(QStringLiteral("Next unit in bay %1").arg(bay));
    next->setToolTip(QStringLiteral("The unit has been taken away: look for the next one now"));
    next->setAutoDefault(true);
    rowLayout->addWidget(progress, 1);
    rowLayout->addWidget(next);
    rowLayout->addStretch();
    row->setFixedHeight(rowHeight());
    counts = new QLabel(this);
    counts->setObjectName(QStringLiteral("counts"));
    counts->setFont(smallFont());
    counts->setWordWrap(true);
    for (QLabel *label : {number, state, portName, detail, counts})
        label->setSizePolicy(QSizePolicy::Ignored,
                             label == detail ? QSizePolicy::Ignored : QSizePolicy::Preferred);
    layout->addWidget(number);
    layout->addWidget(state);
    layout->addWidget(portName);
    layout->addWidget(detail, 1);
    layout->addWidget(row);
    layout->addWidget(counts);
    connect(next, &QPushButton::clicked, this, [this] { emit nextUnit(this->bay); });
    setScale(2.2);
    display(BayView());
}

QColor BayTile::colourOf(BayView::State state)
{
    switch (state) {
    case BayView::Updating:
        return QColor(0x1f, 0x5f, 0xbf);
    case BayView::Passed:
        return QColor(0x1e, 0x7b, 0x34);
    case BayView::Failed:
        return QColor(0xb0, 0x1c, 0x1c);
    case BayView::Interrupted:
        return QColor(0x8a, 0x4b, 0x00);
    case BayView::Waiting:
        break;
    }
    return QColor(0x6b, 0x6b, 0x6b);
}

// A shape in front of each word, so the state reads without its colour;
// the two never part at the end of a line.
QString BayTile::wordsOf(BayView::State state)
{
    switch (state) {
    case BayView::Updating:
        return QStringLiteral("\u25B6\u00A0Updating");
    case BayView::Passed:
        return QStringLiteral("\u2714\u00A0Passed");
    case BayView::Failed:
        return QStringLiteral("\u2718\u00A0Failed");
    case BayView::Interrupted:
        return QStringLiteral("\u25A0\u00A0Interrupted");
    case BayView::Waiting:
        break;
    }
    return QStringLiteral("\u25CB\u00A0Waiting for a unit");
}

// Interrupted units, stopped with a unit in hand, are named when there are any.
// Every state word a tile may show, for the room it needs.
QStringList BayTile::everyWord()
{
    QStringList words{portLostWords, endedWords};
    for (const BayView::State each : {BayView::Waiting, BayView::Updating, BayView::Passed,
                                      BayView::Failed, BayView::Interrupted})
        words += wordsOf(each);
    return words;
}

QString BayTile::countsOf(int passed, int failed, int interrupted)
{
    const QString counts = QStringLiteral("%1 passed, %2 failed").arg(passed).arg(failed);
    return interrupted > 0 ? QStringLiteral("%1, %2 interrupted").arg(counts).arg(interrupted)
                           : counts;
}

QString BayTile::detailOf(const BayView &view)
{
    switch (view.state) {
    case BayView::Updating:
        return view.secondsLeft >= 0
                   ? QStringLiteral("unit %1, %2 s left").arg(view.unit).arg(view.secondsLeft)
                   : QStringLiteral("unit %1").arg(view.unit);
    case BayView::Failed:
    case BayView::Interrupted:
        return QStringLiteral("unit %1: %2").arg(view.unit).arg(view.reason);
    case BayView::Passed:
        return QStringLiteral("unit %1").arg(view.unit);
    case BayView::Waiting:
        break;
    }
    return QString();
}

void BayTile::display(const BayView &view)
{
    const bool over = view.ended && view.state == BayView::Waiting;
    const QColor colour = view.portAway ? portLostColour
                          : over        ? endedColour
                                        : colourOf(view.state);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colour);
    colours.setColor(QPalette::WindowText, Qt::white);
    colours.setColor(QPalette::Base, colour.darker(160));
    colours.setColor(QPalette::Highlight, Qt::white);
    colours.setColor(QPalette::Text, Qt::white);
    colours.setColor(QPalette::HighlightedText, colour.darker(160));
    setPalette(colours);
    const QString words = view.portAway ? portLostWords : over ? endedWords : wordsOf(view.state);
    state->setText(words);
    const bool moving = view.state == BayView::Updating && !view.portAway;
    QString more = view.portAway ? QStringLiteral("unit %1").arg(view.unit) : detailOf(view);
    if (!view.note.isEmpty())
        more = more.isEmpty() ? view.note : QStringLiteral("%1; %2").arg(more, view.note);
    told = more;
    showDetail();
    progress->setVisible(moving);
    progress->setValue(moving ? view.percent : 0);
    next->setVisible(view.awaitingLeave);
    const QString tally = countsOf(view.passed, view.failed, view.interrupted);
    counts->setText(tally);
    // Said, a moving unit's percent goes with its number, ahead of the note.
    QString said = more;
    if (moving) {
        said = QStringLiteral("unit %1, %2 %").arg(view.unit).arg(view.percent);
        if (view.secondsLeft >= 0)
            said += QStringLiteral(", %1 s left").arg(view.secondsLeft);
        if (!view.note.isEmpty())
            said += QStringLiteral("; ") + view.note;
    }
    const QString spoken =
        QStringLiteral("Bay %1, %2, %3%4; %5")
            .arg(bay)
            .arg(port, words.mid(2), said.isEmpty() ? QString() : ", " + said, tally);
    // Said again only when it has changed: the window asks every second.
    if (spoken != accessibleName()) {
        setAccessibleName(spoken);
        setToolTip(spoken);
    }
}

// A name too long for the line gives up its middle; the tooltip and what a
// screen reader says have it whole.
void BayTile::showPort()
{
    const int room = contentsRect().width() - layout()->contentsMargins().left() -
                     layout()->contentsMargins().right();
    portName->setText(
        QFontMetrics(portName->font()).elidedText(port, Qt::ElideMiddle, std::max(room, 0)));
}

// The reason breaks at a space or, a long name, anywhere, in as many lines
// as the tile has room for; what does not fit ends in an ellipsis (the
// tooltip and the accessible name have it whole).
void BayTile::showDetail()
{
    const QFontMetrics metrics(detail->font());
    const int width = std::max(detail->contentsRect().width(), metrics.averageCharWidth() * 4);
    const int lines = std::max(1, detail->contentsRect().height() / metrics.lineSpacing());
    QTextLayout layout(told, detail->font());
    QTextOption wrap;
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(wrap);
    layout.beginLayout();
    QStringList shown;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        const QString rest = told.mid(line.textStart());
        if (int(shown.size()) == lines - 1) {
            shown += metrics.elidedText(rest, Qt::ElideRight, width);
            break;
        }
        shown += rest.left(line.textLength()).trimmed();
    }
    layout.endLayout();
    detail->setText(shown.join(u'\n'));
}

void BayTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    showPort();
    showDetail();
}

// Enter or Space on the tile: as Next unit, while it is offered.
void BayTile::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) &&
        next->isVisible()) {
        emit nextUnit(bay);
        return event->accept();
    }
    QFrame::keyPressEvent(event);
}

void BayTile::focusInEvent(QFocusEvent *event)
{
    QFrame::focusInEvent(event);
    progress->setTold(true);
    update();
}

void BayTile::focusOutEvent(QFocusEvent *event)
{
    QFrame::focusOutEvent(event);
    progress->setTold(false);
    update();
}

// The focused tile wears a broad outline, seen from a step away.
void BayTile::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setPen(QPen(Qt::white, 3, Qt::DashLine));
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
}

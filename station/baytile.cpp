#include "baytile.h"

#include "bayprogress.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <array>

namespace {
constexpr std::array<BayView::State, 5> everyState{
    BayView::Waiting, BayView::Updating, BayView::Passed, BayView::Failed, BayView::Interrupted};

// A name with no spaces (a by-id port) would hold a wrapped line as wide as
// itself: it may break after each separator, and within a long run anywhere.
QString breakable(const QString &text)
{
    constexpr QChar mayBreak(0x200B);
    QString out;
    out.reserve(text.size() * 2);
    int run = 0;
    for (const QChar c : text) {
        out += c;
        run = c.isSpace() ? 0 : run + 1;
        if (c == u'/' || c == u'_' || c == u'-' || run >= 12) {
            out += mayBreak;
            run = 0;
        }
    }
    return out;
}
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
    detail->setWordWrap(true);
    detail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
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
                             label == detail ? QSizePolicy::Expanding : QSizePolicy::Preferred);
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

QFont BayTile::bigFont(double scale) const
{
    QFont big = font();
    big.setPointSizeF(font().pointSizeF() * scale);
    big.setBold(true);
    return big;
}

QFont BayTile::smallFont() const
{
    QFont small = font();
    small.setPointSizeF(font().pointSizeF() * 0.9);
    return small;
}

int BayTile::rowHeight() const
{
    return std::max(progress->sizeHint().height(), next->sizeHint().height());
}

void BayTile::setScale(double scale)
{
    number->setFont(bigFont(scale));
    state->setFont(bigFont(scale));
}

int BayTile::narrowest(double scale) const
{
    const QFontMetrics big(bigFont(scale));
    int widest = big.horizontalAdvance(number->text());
    for (const BayView::State each : everyState) {
        for (const QString &word : wordsOf(each).split(u' '))
            widest = std::max(widest, big.horizontalAdvance(word));
    }
    const QMargins margins = layout()->contentsMargins();
    return widest + margins.left() + margins.right() + 2 * frameWidth();
}

int BayTile::comfortable(double scale) const
{
    const QFontMetrics big(bigFont(scale));
    int widest = big.horizontalAdvance(number->text());
    for (const BayView::State each : everyState)
        widest = std::max(widest, big.boundingRect(wordsOf(each)).width());
    const QMargins margins = layout()->contentsMargins();
    return widest + big.averageCharWidth() + margins.left() + margins.right() + 2 * frameWidth();
}

// Two lines for the reason at least; the rest of the tile's height is
// the reason's too.
int BayTile::heightAt(double scale, int width) const
{
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right() - 2 * frameWidth();
    const QFontMetrics big(bigFont(scale));
    int stateHeight = 0;
    for (const BayView::State each : everyState)
        stateHeight = std::max(
            stateHeight,
            big.boundingRect(QRect(0, 0, inner, 10000), Qt::TextWordWrap, wordsOf(each)).height());
    const QFontMetrics small(smallFont());
    const int countsHeight = small
                                 .boundingRect(QRect(0, 0, inner, 10000), Qt::TextWordWrap,
                                               QStringLiteral("0000 passed, 0000 failed"))
                                 .height();
    return margins.top() + margins.bottom() + 2 * frameWidth() + 5 * layout()->spacing() +
           big.height() + stateHeight + small.height() + countsHeight +
           2 * fontMetrics().lineSpacing() + rowHeight();
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
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colourOf(view.state));
    colours.setColor(QPalette::WindowText, Qt::white);
    colours.setColor(QPalette::Base, colourOf(view.state).darker(160));
    colours.setColor(QPalette::Highlight, Qt::white);
    colours.setColor(QPalette::Text, Qt::white);
    colours.setColor(QPalette::HighlightedText, colourOf(view.state).darker(160));
    setPalette(colours);
    const QString words = wordsOf(view.state);
    state->setText(words);
    const QString more = detailOf(view);
    detail->setText(breakable(more));
    progress->setVisible(view.state == BayView::Updating);
    progress->setValue(view.state == BayView::Updating ? view.percent : 0);
    next->setVisible(view.state == BayView::Passed || view.state == BayView::Failed);
    const QString tally = countsOf(view.passed, view.failed, view.interrupted);
    counts->setText(tally);
    const QString told = view.state == BayView::Updating
                             ? QStringLiteral("%1, %2 %").arg(more).arg(view.percent)
                             : more;
    const QString spoken =
        QStringLiteral("Bay %1, %2, %3%4; %5")
            .arg(bay)
            .arg(port, words.mid(2), told.isEmpty() ? QString() : ", " + told, tally);
    setAccessibleName(spoken);
    setToolTip(spoken);
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

void BayTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    showPort();
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

#include "baytile.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

BayTile::BayTile(int bay, const QString &port, QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("bayTile%1").arg(bay));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    // The reader walks the tiles with Tab; each says which bay it is and,
    // as its description, what the bay is doing.
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(QStringLiteral("Bay %1, %2").arg(bay).arg(port));
    auto *layout = new QVBoxLayout(this);
    title = new QLabel(QStringLiteral("Bay %1   %2").arg(bay).arg(port), this);
    title->setObjectName(QStringLiteral("title"));
    state = new QLabel(this);
    state->setObjectName(QStringLiteral("state"));
    QFont big = font();
    big.setPointSizeF(font().pointSizeF() * 2.2);
    big.setBold(true);
    state->setFont(big);
    detail = new QLabel(this);
    detail->setObjectName(QStringLiteral("detail"));
    detail->setWordWrap(true);
    progress = new QProgressBar(this);
    progress->setObjectName(QStringLiteral("progress"));
    counts = new QLabel(this);
    counts->setObjectName(QStringLiteral("counts"));
    for (QWidget *part : {static_cast<QWidget *>(title), static_cast<QWidget *>(state),
                          static_cast<QWidget *>(detail), static_cast<QWidget *>(progress),
                          static_cast<QWidget *>(counts)})
        layout->addWidget(part);
    layout->addStretch();
    // A long port name or reason wraps rather than widen the tile past the
    // screen's share of it.
    for (QLabel *label : {title, state, detail, counts})
        label->setWordWrap(true);
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

// A shape in front of each word, so the state reads without its colour.
QString BayTile::wordsOf(BayView::State state)
{
    switch (state) {
    case BayView::Updating:
        return QStringLiteral("\u25B6 Updating");
    case BayView::Passed:
        return QStringLiteral("\u2714 Passed");
    case BayView::Failed:
        return QStringLiteral("\u2718 Failed");
    case BayView::Interrupted:
        return QStringLiteral("\u25A0 Interrupted");
    case BayView::Waiting:
        break;
    }
    return QStringLiteral("\u25CB Waiting for a unit");
}

void BayTile::display(const BayView &view)
{
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colourOf(view.state));
    colours.setColor(QPalette::WindowText, Qt::white);
    setPalette(colours);
    state->setText(wordsOf(view.state));
    QString more;
    if (view.state == BayView::Updating)
        more = view.secondsLeft >= 0 ? QStringLiteral("unit %1, %2 s left").arg(view.unit).arg(view.secondsLeft)
                                     : QStringLiteral("unit %1").arg(view.unit);
    else if (view.state == BayView::Failed || view.state == BayView::Interrupted)
        more = QStringLiteral("unit %1: %2").arg(view.unit).arg(view.reason);
    else if (view.state == BayView::Passed)
        more = QStringLiteral("unit %1").arg(view.unit);
    detail->setText(more);
    progress->setVisible(view.state == BayView::Updating);
    progress->setValue(view.state == BayView::Updating ? view.percent : 0);
    counts->setText(QStringLiteral("%1 passed, %2 failed").arg(view.passed).arg(view.failed));
    setAccessibleDescription(more.isEmpty() ? wordsOf(view.state).mid(2)
                                            : QStringLiteral("%1, %2").arg(wordsOf(view.state).mid(2), more));
}

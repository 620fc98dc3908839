#include "bayprogress.h"

#include <QAccessible>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

BayProgress::BayProgress(int bay, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("progress"));
    setAccessibleName(QStringLiteral("Bay %1 progress").arg(bay));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void BayProgress::setValue(int value)
{
    if (value == percent)
        return;
    percent = value;
    update();
    if (told) {
        QAccessibleValueChangeEvent event(this, percent);
        QAccessible::updateAccessibility(&event);
    }
}

void BayProgress::initStyleOption(QStyleOptionProgressBar *option) const
{
    option->initFrom(this);
    option->minimum = 0;
    option->maximum = 100;
    option->progress = percent;
    option->textVisible = true;
    option->text = QStringLiteral("%1 %").arg(percent);
    option->textAlignment = Qt::AlignCenter;
    option->state |= QStyle::State_Horizontal;
}

QSize BayProgress::sizeHint() const
{
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    const QFontMetrics metrics = fontMetrics();
    const QSize text(metrics.horizontalAdvance(QStringLiteral("100 %")) + 8, metrics.height() + 4);
    return style()->sizeFromContents(QStyle::CT_ProgressBar, &option, text, this);
}

QSize BayProgress::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void BayProgress::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    style()->drawControl(QStyle::CE_ProgressBar, &option, &painter, this);
}

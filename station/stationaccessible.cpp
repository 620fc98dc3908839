#include "stationaccessible.h"

#include "bayprogress.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace {
// A bay's progress: its value is read whenever asked; a change is told only
// while its bay has the focus (BayProgress decides), so that the other bays'
// progress never drowns what the reader has to say.
class ProgressAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit ProgressAccessible(BayProgress *bar) : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface *>(this)
                                                   : QAccessibleWidget::interface_cast(type);
    }
    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    BayProgress *bar() const { return static_cast<BayProgress *>(widget()); }
};

// A tile says everything in its name; its tooltip, the same sentence, is
// not said again as its description.
class TileAccessible : public QAccessibleWidget
{
public:
    explicit TileAccessible(QWidget *tile) : QAccessibleWidget(tile, QAccessible::ListItem) {}
    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Description ? widget()->accessibleDescription()
                                                : QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface *stationInterface(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    if (className == QLatin1String("BayGrid"))
        return new QAccessibleWidget(widget, QAccessible::List);
    if (className == QLatin1String("BayTile"))
        return new TileAccessible(widget);
    if (className == QLatin1String("BayProgress"))
        return new ProgressAccessible(static_cast<BayProgress *>(widget));
    if (className == QLatin1String("QLabel") && qobject_cast<Announcer *>(widget->parentWidget()))
        return new QAccessibleWidget(widget, QAccessible::Notification);
    return nullptr;
}
} // namespace

void installStationAccessibility()
{
    static bool installed = false;
    if (!installed)
        QAccessible::installFactory(stationInterface);
    installed = true;
}

Announcer::Announcer(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("announcer"));
    setFixedSize(0, 0);
    for (QLabel *&label : labels) {
        label = new QLabel(this);
        label->setFixedSize(0, 0);
        label->hide();
    }
}

// Shown again, the label is spoken again: Orca acts on its "showing" state
// becoming set, and reads the name it has then.
void Announcer::say(const QString &text)
{
    QLabel *label = labels[next];
    next = (next + 1) % labels.size();
    label->hide();
    label->setText(text);
    label->setAccessibleName(text);
    label->show();
}

QStringList Announcer::said() const
{
    QStringList texts;
    for (size_t i = 0; i < labels.size(); ++i) {
        const QLabel *label = labels[(next + i) % labels.size()];
        if (label->isVisibleTo(this))
            texts += label->accessibleName();
    }
    return texts;
}

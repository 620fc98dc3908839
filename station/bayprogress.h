#ifndef BAYPROGRESS_H
#define BAYPROGRESS_H

#include <QWidget>

class QStyleOptionProgressBar;

// A bay's progress bar, drawn as the style draws one. Unlike QProgressBar,
// which tells a screen reader of every change, it tells only while told to
// (its bay has the focus): Orca speaks each progress bar of the application
// every ten seconds, and a line's worth of them would drown the outcomes.
class BayProgress : public QWidget
{
    Q_OBJECT

public:
    BayProgress(int bay, QWidget *parent = nullptr);
    void setValue(int percent);
    int value() const { return percent; }
    void setTold(bool told) { this->told = told; }
    bool isTold() const { return told; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void initStyleOption(QStyleOptionProgressBar *option) const;

    int percent = 0;
    bool told = false;
};

#endif

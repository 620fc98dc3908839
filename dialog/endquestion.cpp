#include "endquestion.h"

#include <QMessageBox>
#include <QPushButton>

bool askBeforeEnding(QWidget *parent, const QString &name, const QString &text,
                     const QString &endAnyway, QMessageBox **asking)
{
    QMessageBox question(QMessageBox::Warning, QStringLiteral("pelkoUpdate"), text,
                         QMessageBox::NoButton, parent);
    question.setObjectName(name);
    QPushButton *goOn = question.addButton(QMessageBox::tr("Continue"), QMessageBox::RejectRole);
    QPushButton *end = question.addButton(endAnyway, QMessageBox::DestructiveRole);
    question.setDefaultButton(goOn);
    question.setEscapeButton(goOn);
    *asking = &question;
    question.exec();
    *asking = nullptr;
    return question.clickedButton() == end;
}

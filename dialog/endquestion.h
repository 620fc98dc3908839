#ifndef ENDQUESTION_H
#define ENDQUESTION_H

#include <QString>

class QMessageBox;
class QWidget;

// Ending mid-transfer leaves a device with part of an image: a person is
// asked first, going on ("Continue") being the default and what Escape
// gives. While it is asked, *asking points at the question, so that an
// update that ends under it can close it. True: end anyway.
bool askBeforeEnding(QWidget *parent, const QString &name, const QString &text,
                     const QString &endAnyway, QMessageBox **asking);

#endif

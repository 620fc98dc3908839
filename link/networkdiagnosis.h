#ifndef NETWORKDIAGNOSIS_H
#define NETWORKDIAGNOSIS_H

#include "portdiagnosis.h"

#include <QList>
#include <QString>

// --doctor for a port served over the network: whether its name resolves,
// whether the port answers, whether the server agreed to the options and
// set the line. Talks to the server as an update would, each step within
// its bound; changes nothing on this machine.
namespace networkdiagnosis {

QList<portdiagnosis::Finding> diagnose(const QString &name);

} // namespace networkdiagnosis

#endif

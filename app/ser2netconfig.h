#ifndef SER2NETCONFIG_H
#define SER2NETCONFIG_H

#include "portidentity.h"

#include <QList>
#include <QString>

// A fixture's computer as a set of bays: a ser2net configuration that
// serves each of its serial ports under a TCP port of its own, chosen by
// the USB socket the adapter is plugged into (/dev/serial/by-path), so an
// adapter replaced in the same socket keeps its port.
namespace ser2netconfig {

struct Served
{
    QString byPath;   // the socket's link, as ser2net opens it
    int tcpPort = 0;
    QString about;    // the adapter in it now, for people
};

// The ports under byPath, in the order of their sockets' names, numbered
// from first; error is set, and nothing returned, when they do not fit.
QList<Served> plan(const QString &byPath, int first, const QList<PortIdentity> &ports,
                   QString *error);
// The YAML for ser2net -c; listen, when given, is the one address the
// accepters take (else all of the computer's).
QString yaml(const QList<Served> &served, const QString &listen = QString());
// --ser2net-config: the YAML on standard output, what serves what on
// standard error; 0, or 1 when there is nothing to serve.
int print(int first);

} // namespace ser2netconfig

#endif

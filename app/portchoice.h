#ifndef PORTCHOICE_H
#define PORTCHOICE_H

#include "options.h"
#include "portidentity.h"

// Ports on the command line: --list-ports, --doctor, --port by what the
// adapter is, and the rule that a script never guesses a port.
namespace portchoice {

struct Outcome
{
    int exitCode = -1; // >= 0: end with it
    QString said;      // lines for a person (standard output when all is well)
};

Outcome list(const QList<PortIdentity> &ports);

// Each check for each port named (every USB port when none is), with "ok"
// or what to do; exit 0 when nothing is in the way, 1 otherwise.
// With json, one JSON object a check.
Outcome doctor(const QStringList &names, const QList<PortIdentity> &ports, bool json = false);

// Turns usb:/serial: matches in options.ports into the port they name. A
// scripted update without --port takes the one USB serial port there is,
// and says which; with none or several it ends, listing them, and sends
// nothing: a built-in UART may have anything wired to it.
Outcome resolve(Options &options, const QList<PortIdentity> &ports);

// --list-ports, --doctor and --port matches from the command line, printed;
// an exit code when the program ends here, else -1.
int fromCommandLine(Options &options);

} // namespace portchoice

#endif

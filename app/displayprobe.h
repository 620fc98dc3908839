#ifndef DISPLAYPROBE_H
#define DISPLAYPROBE_H

#include <QString>

// Whether the X server or the Wayland compositor named in the environment
// can be used, found out as Qt would find it, in a child process bounded in
// time; empty when it can. Only on the systems where Qt uses them.
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
QString xServerProblem();
QString waylandProblem();
// The child that proved the display keeps its connection until Qt has
// its own; this lets it go.
void releaseProbe();
#endif

#endif

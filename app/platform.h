#ifndef PLATFORM_H
#define PLATFORM_H

#include "options.h"

#include <functional>
#include <vector>

class LineOutput;

// Descriptors 0, 1 and 2 open (on the null device where they were closed),
// before anything else is opened: else the X connection or the serial port
// would take a standard stream's number, and the program's lines would go
// into it.
void ensureStandardStreams();

// Where the window can be drawn, decided before Qt tries: a display that is
// named but not there, or a platform that does not exist, would make Qt
// abort. Returns an exit code when the program must end (the reason
// printed), else -1; may choose the offscreen platform for a scripted
// update. argv is what the QApplication is to get.
int choosePlatform(const Options &options, std::vector<char *> &argv);

// Qt's notes go to errors (nothing when quiet, as a script wants); a fatal
// one while the window system starts ends the program with exit 69 and a
// reason, never an abort. errors may change later; null drops the notes.
void routeQtMessages(LineOutput *errors, bool quiet);
void startingWindows(bool starting);

// Qt ends the program as soon as it has said that the X server or the
// compositor went away. A driver that must still end its work in good order
// (a script's closing lines and record) does it in stop, which must not
// return.
void onDisplayLost(std::function<void()> stop);

#endif

#ifndef DRIVER_H
#define DRIVER_H

class LineOutput;
struct Options;

// What runs once the application is up, as the options ask: the window,
// with a script on it or a person at it, or a line of bays (a station on
// several ports). Each returns the program's exit code.
int runWindow(const Options &options, LineOutput &out, LineOutput &err);
int runLine(const Options &options, LineOutput &out, LineOutput &err);
// --records: the units' records read back; needs no display.
int reportRecords(const Options &options);

#endif

// The command line of mwire-sim, a simulated M.Wire device.
#ifndef MWIRE_SIM_OPTIONS_H
#define MWIRE_SIM_OPTIONS_H

#include <string>

constexpr long noOffset = -1;
// --hiccup-at search / end: while the updater looks for the device, or
// when it asks for the end of the image.
constexpr long hiccupSearching = -2;
constexpr long hiccupAtTheEnd = -3;

struct Options
{
    std::string link;
    std::string out;
    bool once = false;
    int firmwareMajor = 1, firmwareMinor = 0;
    long restartMs = -1; // after its update it restarts, silent this long; -1: it does not
    bool firmwareAfterSet = false; // else it restarts into its old version
    int firmwareAfterMajor = 0, firmwareAfterMinor = 0;
    int hardwareMajor = 1, hardwareMinor = 0;
    long silent = 0;
    long cancelAt = noOffset, stallAt = noOffset, hangupAt = noOffset;
    long hiccupAt = noOffset;
    long hiccupMs = 1000;
    long lateMs = 0;
    bool noise = false;
    bool split = false;
    long splitUs = 500;
    long baud = 0;
    long spinUs = 300; // of each paced wait, spun rather than slept
    bool timing = false;
    std::string capture;
    long units = 1;     // devices one after another on the same line
    long failUnit = 0;  // this unit cancels at offset 512
    long cancelTries = 0; // --cancel-at cancels this many tries, the unit staying, then none
    long awayMs = 3000; // how long a unit is gone after its update: longer than a station's default leave time
    bool replug = false; // each unit brings its own port
    bool flood = false;  // a broken device: bytes and frame starts as fast as the line takes them
};

Options parse(int argc, char **argv);

#endif

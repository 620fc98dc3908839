// A device on the M.Wire protocol: answers the updater's frames as a
// device's boot loader does, and the faults and habits its options ask for.
#ifndef MWIRE_SIM_DEVICE_H
#define MWIRE_SIM_DEVICE_H

#include "options.h"
#include "terminal.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

class Device
{
public:
    explicit Device(const Options &options)
        : o(options), line(options.link), firmwareMajor(options.firmwareMajor),
          firmwareMinor(options.firmwareMinor), noise(1)
    {
    }

    bool open();
    int run();

private:
    enum class Step { Go, HangUp, Hiccup };

    bool turn(unsigned char *buffer, size_t size, Step &step);
    void take(unsigned char b);
    Step handle(const unsigned char *payload);
    Step answerData(long offset);
    void send(unsigned char code, unsigned long arg = 0, unsigned char b2 = 0,
              unsigned char b3 = 0, unsigned char b4 = 0, unsigned char b5 = 0);
    void writeAll(const Bytes &bytes);
    void writeNoise();
    int flood();
    void pace(size_t answerBytes);
    void goAway(long ms);
    bool comeBack();
    void restart();
    // units.cpp: the end of a unit, of the run, and what is said of them
    void unitEnded(bool received);
    bool saveImage();
    void summary() const;
    int finish();

    const Options &o;
    Terminal line;
    // receive side: the updater's frames are 7E FF + 8 stuffed bytes
    int position = 0;
    bool escape = false;
    unsigned char frame[8] = {};
    size_t frameBytes = 0;
    Clock::time_point frameStart;
    // procedure
    long silentLeft = 0;
    long nextOffset = 0;
    bool stalled = false;
    bool complete = false;
    bool ended = false;
    bool hiccupDone = false;
    long triesCancelled = 0; // of the unit in hand, with --cancel-tries
    bool keptPlace = false; // back after a hiccup: the next start request goes on
    // --restart-ms: after its update it is silent until then, and its update
    // ends once it has answered a version query in its new firmware
    Clock::time_point restartUntil;
    bool restarting = false;
    int firmwareMajor, firmwareMinor;
    Bytes image;
    // a line of units: the one on the line now, counted from 1, and until
    // when it is gone after its update
    long unit = 1;
    long unitsReceived = 0;
    Clock::time_point awayUntil;
    // counters
    long words = 0, badChecksums = 0, bytesIn = 0, bytesOut = 0;
    // --timing: from the last byte of a data request written to the first
    // byte of the updater's answer read, in nanoseconds
    std::vector<long long> turnarounds;
    std::optional<Clock::time_point> requestWritten;
    Clock::time_point started = Clock::now(); // of the download
    Clock::time_point finished;
    std::mt19937 noise;
    FILE *capture = nullptr; // every byte the device sends, for fuzzing seeds
};

#endif

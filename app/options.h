#ifndef OPTIONS_H
#define OPTIONS_H

#include <QString>
#include <QStringList>

// What the command line asks for.
struct Options
{
    QStringList ports;
    QString file;
    bool fileAlone = false; // the file given without --file, as "Open with" does
    bool download = false;
    bool trace = false;
    bool listPorts = false;
    bool doctor = false;
    bool ser2netConfig = false;
    int firstPort = 4001; // --ser2net-config: the TCP port of the first serial port
    bool json = false;
    bool station = false;
    int count = 0;         // units, 0: until a signal
    int retries = 0;       // more tries for a unit whose update failed
    int leaveMs = 2000;
    int reconnectMs = 5000; // how long a port that went away is waited for
    QString log;
    QString db; // as --db: empty, the default database; "none", a file, a postgresql:// address
    bool records = false; // read the records back
    QString since;
    QString image;
    QString format = QStringLiteral("table");
    QByteArray expectSha256;
    QString expectFirmware; // "02.00", as the window shows versions; empty: not checked
    int verifyMs = 15000;   // how long a unit may take to restart and answer
    QString stationName;    // empty: the host's name
    QString operatorName;
    int timeoutMs = 10000;
    QString platform; // -platform NAME as given, else empty
};

struct CommandLine
{
    Options options;
    int exitCode = -1; // >= 0: end at once with this code (help, version, a bad command line)
};

constexpr int exitUsage = 64;     // EX_USAGE: scripts tell a bad command line from a failed update
constexpr int exitNoDisplay = 69; // EX_UNAVAILABLE: a window was asked for, and there is no screen

// Reads argv without touching a display: help, version and a bad command
// line are answered here. Qt's own options (-platform, -style ...) are
// passed over, and the platform asked for is noted.
CommandLine parseCommandLine(int argc, char **argv);

#endif

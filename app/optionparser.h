#ifndef OPTIONPARSER_H
#define OPTIONPARSER_H

#include <QCommandLineOption>
#include <QCommandLineParser>

// The program's options as --help tells them, for the command line's reader.
struct OptionParser
{
    OptionParser();
    QCommandLineParser parser;
    const QCommandLineOption port{
        QStringLiteral("port"),
        QStringLiteral("Offer serial port NAME first in the port choice: a name such as ttyUSB0 "
                       "or COM3, a full path such as /dev/pts/3, or the adapter by what it is: "
                       "usb:VID:PID, usb:VID:PID:SERIAL (hex ids, as lsusb prints them) or "
                       "serial:SERIAL, or by the socket it is plugged into: usb-path:ID_PATH (as "
                       "/dev/serial/by-path/ shows it), or a port served over the network (by "
                       "ser2net): rfc2217://HOST:PORT, the line set by this program, or "
                       "tcp://HOST:PORT, raw, the line set on the server; HOST a name, an IPv4 "
                       "address or an IPv6 address in brackets. A match must fit one port at most; one "
                       "not there yet (or a path that is not there) is waited for, and it is "
                       "looked up again whenever the port is needed. May be given several "
                       "times. Without it, --download takes the one USB serial port there is, "
                       "and with none or several it stops and lists them."),
        QStringLiteral("NAME")};
    const QCommandLineOption listPorts{
        QStringLiteral("list-ports"),
        QStringLiteral("Print a line for each serial port of the machine: name, device, USB "
                       "identity (usb:VID:PID:SERIAL, or none), description and maker.")};
    const QCommandLineOption json{
        QStringLiteral("json"),
        QStringLiteral("With --download, --list-ports or --doctor: write JSON Lines on standard output, one "
                       "object per event (port, image, device, progress, status, result, a "
                       "station's tally, the doctor's checks); the human lines go to standard "
                       "error.")};
    const QCommandLineOption station{
        QStringLiteral("station"),
        QStringLiteral("With --download: update device after device. After each "
                       "unit, wait until it leaves (nothing at all from it for --leave-seconds; "
                       "Enter on the terminal or SIGUSR1 says so by hand), then update the next; "
                       "a result line per unit, a running tally, and a closing tally after "
                       "--count units or on SIGINT/SIGTERM (exit 0 when all passed, 1 when any "
                       "failed, the signal's code when stopped short of --count). --timeout "
                       "bounds each unit's transfer, not the wait. Several --port make a line "
                       "of bays, all at once, each doing this on its own port; units are "
                       "numbered and counted over the line, and every line says its bay. "
                       "Without --download, with --file and --port: the station window, a "
                       "tile per bay.")};
    const QCommandLineOption retries{
        QStringLiteral("retries"),
        QStringLiteral("With --station: a unit whose update failed while it stays in its bay is "
                       "tried again up to N times before it counts failed; default 0."),
        QStringLiteral("N"), QStringLiteral("0")};
    const QCommandLineOption count{QStringLiteral("count"),
                                   QStringLiteral("With --station: stop after N units."),
                                   QStringLiteral("N")};
    const QCommandLineOption leaveSeconds{
        QStringLiteral("leave-seconds"),
        QStringLiteral("With --station: a unit has left when nothing has come from it for "
                       "SECONDS; default 2. Shorter than the time between pulling a unit and "
                       "plugging in the next."),
        QStringLiteral("SECONDS"), QStringLiteral("2")};
    const QCommandLineOption reconnectSeconds{
        QStringLiteral("reconnect-seconds"),
        QStringLiteral("When the port goes away mid-update (a USB hiccup, a replugged adapter), "
                       "wait up to SECONDS for the same --port to be there again, then find the "
                       "device again and, when it answers with the same versions, go on from "
                       "where it asks; 0 fails at once. Default 5."),
        QStringLiteral("SECONDS"), QStringLiteral("5")};
    const QCommandLineOption log{
        QStringLiteral("log"),
        QStringLiteral("With --station: append each unit's result to FILE as a JSON line (the "
                       "result object of --json: unit, time, port, versions, image and its "
                       "sha256, outcome, seconds, bytes), on disk before the next unit starts. "
                       "FILE must be a regular file; a record that cannot be written stops the "
                       "station (exit 3)."),
        QStringLiteral("FILE")};
    const QCommandLineOption expectSha256{
        QStringLiteral("expect-sha256"),
        QStringLiteral("Refuse the file, before anything is sent (exit 3), unless the whole file "
                       "(as sha256sum prints it) or its image (the bytes the device gets, after "
                       "a .pelk header) has this SHA-256."),
        QStringLiteral("HEX")};
    const QCommandLineOption expectFirmware{
        QStringLiteral("expect-firmware"),
        QStringLiteral("With --download: after the device confirms the image it restarts into it; "
                       "look for it again and pass it only when it answers with firmware XX.YY "
                       "(two hex digits each, as the window shows versions) within "
                       "--verify-seconds. Another version fails as wrong-firmware, no answer as "
                       "no-restart (exit 6)."),
        QStringLiteral("XX.YY")};
    const QCommandLineOption verifySeconds{
        QStringLiteral("verify-seconds"),
        QStringLiteral("With --expect-firmware: how long the device may take to restart and "
                       "answer; default 15."),
        QStringLiteral("SECONDS"), QStringLiteral("15")};
    const QCommandLineOption stationName{
        QStringLiteral("station-name"),
        QStringLiteral("The station's name in every result and record; default the host's name."),
        QStringLiteral("NAME")};
    const QCommandLineOption operatorName{
        QStringLiteral("operator"),
        QStringLiteral("Who runs the station, in every result and record."), QStringLiteral("NAME")};
    const QCommandLineOption db{
        QStringLiteral("db"),
        QStringLiteral("With --station or --records: the database of the units' records: an SQLite "
                       "FILE, postgresql://USER@HOST:PORT/DB (the password from ~/.pgpass, "
                       "PGPASSFILE or a service file, never the command line), or none. Default: "
                       "an SQLite file in the user's data directory."),
        QStringLiteral("DB")};
    const QCommandLineOption records{
        QStringLiteral("records"),
        QStringLiteral("Print the units' records (--db, else the default database): per image and "
                       "station with the yield (--format table), or one unit a line (json, csv), "
                       "or a JUnit suite per run (junit); --since DATE, --station NAME and --image "
                       "SHA256 choose which.")};
    const QCommandLineOption since{QStringLiteral("since"),
                                   QStringLiteral("With --records: units from DATE (YYYY-MM-DD) or "
                                                  "an ISO 8601 time on."),
                                   QStringLiteral("DATE")};
    const QCommandLineOption image{QStringLiteral("image"),
                                   QStringLiteral("With --records: units of the image with this "
                                                  "SHA-256 (or its first 6 or more hex digits)."),
                                   QStringLiteral("SHA256")};
    const QCommandLineOption format{QStringLiteral("format"),
                                    QStringLiteral("With --records: table, json, csv or junit; "
                                                   "default table."),
                                    QStringLiteral("FORMAT"), QStringLiteral("table")};
    const QCommandLineOption doctor{
        QStringLiteral("doctor"),
        QStringLiteral("Check what may stand between you and the port (with --port, that one; "
                       "else every USB serial port): brltty, ModemManager, the port's group, "
                       "another program holding it, and whether the port is there at all; for a "
                       "network port: whether its name resolves, the port answers, the options "
                       "are agreed and the line set. "
                       "Prints each check with ok or the fix (with --json, an object a check); "
                       "exit 0 when nothing is in the way, 1 otherwise. Changes nothing.")};
    const QCommandLineOption ser2netConfig{
        QStringLiteral("ser2net-config"),
        QStringLiteral("Print a ser2net configuration (YAML) that serves each serial port of this "
                       "computer under a TCP port of its own, chosen by the USB socket it is "
                       "plugged into (/dev/serial/by-path), for --port rfc2217://HOST:PORT on "
                       "the station host; run it with ser2net -c FILE.")};
    const QCommandLineOption firstPort{
        QStringLiteral("first-port"),
        QStringLiteral("With --ser2net-config: the TCP port of the first serial port; the others "
                       "follow. Default 4001."),
        QStringLiteral("N"), QStringLiteral("4001")};
    const QCommandLineOption file{
        QStringLiteral("file"),
        QStringLiteral("Right after start, act as if File was pressed and PATH chosen, on the "
                       "first port of the port choice."),
        QStringLiteral("PATH")};
    const QCommandLineOption download{
        QStringLiteral("download"),
        QStringLiteral("Press Download as soon as the device's version is shown, print each "
                       "status line, and end with the outcome's exit code. Needs --file.")};
    const QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QStringLiteral("With --download: give up when the update has made no progress for SECONDS "
                       "(the device found, its version shown, a new word asked, the end "
                       "confirmed); default 10, at most 86400."),
        QStringLiteral("SECONDS"), QStringLiteral("10")};
    const QCommandLineOption trace{
        QStringLiteral("trace"),
        QStringLiteral("Print every frame on standard error: milliseconds since start, -> sent or "
                       "<- received, its wire bytes, and what it means (and whether a received "
                       "frame's checksum byte is the one we compute); noise and ignored frames "
                       "too.")};
};

#endif

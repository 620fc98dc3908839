#include "options.h"

#include "helptext.h"
#include "portidentity.h"
#include "printable.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr double maxTimeoutSeconds = 24 * 3600;

// Options of Qt's window system and widgets, which QApplication takes.
bool isQtOption(const QString &name, bool *takesValue)
{
    static const QStringList withValue{
        "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
        "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "display",
        "name", "visual", "cmap", "style", "stylesheet"};
    static const QStringList flags{"reverse", "testability", "nograb", "dograb", "sync",
                                   "widgetcount"};
    *takesValue = withValue.contains(name);
    return *takesValue || flags.contains(name) || name.startsWith(QLatin1String("qmljsdebugger"));
}

// The arguments that are ours, and the platform asked for.
QStringList ownArguments(const QStringList &all, QString *platform)
{
    QStringList own{all.value(0)};
    for (qsizetype i = 1; i < all.size(); ++i) {
        const QString &arg = all[i];
        QString name = arg.startsWith(QLatin1String("--")) ? arg.mid(2) : arg.mid(1);
        const QString inlineValue = name.section(QLatin1Char('='), 1);
        name = name.section(QLatin1Char('='), 0, 0);
        bool takesValue = false;
        if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("--")
            || !isQtOption(name, &takesValue)) {
            own += arg;
            continue;
        }
        QString value = inlineValue;
        if (takesValue && !arg.contains(QLatin1Char('=')) && i + 1 < all.size())
            value = all[++i];
        if (name == QLatin1String("platform"))
            *platform = value;
    }
    return own;
}

int usageError(const QString &error)
{
    std::fprintf(stderr, "pelkoupdate: %s\nTry 'pelkoupdate --help'.\n", qPrintable(error));
    return exitUsage;
}

int showHelp(const QCommandLineParser &parser)
{
#ifdef Q_OS_WIN
    // A Windows GUI program has no console to print to; Qt shows a message box.
    parser.showHelp(0);
#endif
    std::fputs(qPrintable(parser.helpText()), stdout);
    std::fputs(helpEpilogue, stdout);
    return 0;
}

struct Parser
{
    Parser();
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
        QStringLiteral("SPEC")};
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

Parser::Parser()
{
    parser.setApplicationDescription(QString::fromLatin1(helpDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Open the window on FILE, as --file FILE does."),
                                 QStringLiteral("[FILE]"));
    parser.addOptions({port, file, download, timeout, trace, listPorts, doctor, json, station,
                       count, leaveSeconds, log, expectSha256, reconnectSeconds, retries,
                       expectFirmware, verifySeconds, stationName, operatorName, db, records,
                       since, image, format, ser2netConfig, firstPort});
}

// Qt lists its window-system options only from a QApplication; one that
// draws offscreen needs no display.
[[noreturn]] void showHelpAll(char *program)
{
    static int argc = 3;
    static char platform[] = "-platform", offscreen[] = "offscreen";
    static char *argv[] = {program, platform, offscreen, nullptr};
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));
    Parser p;
    p.parser.process(QStringList{QString::fromLocal8Bit(program), QStringLiteral("--help-all")});
    std::exit(0);
}

constexpr int helpAllWanted = -2;

// What a record says of where, by whom, and what the unit runs after.
int checkRecordOptions(Parser &p, Options &options)
{
    const QCommandLineParser &parser = p.parser;
    options.stationName = parser.value(p.stationName);
    options.operatorName = parser.value(p.operatorName);
    options.db = parser.value(p.db);
    options.records = parser.isSet(p.records);
    options.since = parser.value(p.since);
    options.image = parser.value(p.image);
    options.format = parser.value(p.format);
    for (const QCommandLineOption *option : {&p.since, &p.image, &p.format}) {
        if (!options.records && parser.isSet(*option))
            return usageError(QStringLiteral("--%1 goes with --records").arg(option->names().constFirst()));
    }
    if (parser.isSet(p.db) && !options.station && !options.records)
        return usageError(QStringLiteral("--db goes with --station or --records"));
    if (parser.isSet(p.stationName) && options.stationName.isEmpty())
        return usageError(QStringLiteral("--station-name wants a name, not an empty one"));
    if (parser.isSet(p.expectFirmware)) {
        static const QRegularExpression version(QStringLiteral("^[0-9a-fA-F]{2}\\.[0-9a-fA-F]{2}$"));
        const QString wanted = parser.value(p.expectFirmware);
        if (!version.match(wanted).hasMatch())
            return usageError(QStringLiteral("--expect-firmware wants XX.YY, two hex digits each, "
                                             "as the window shows versions, not '%1'")
                                  .arg(printable(wanted)));
        if (!parser.isSet(p.download) && !options.station)
            return usageError(QStringLiteral("--expect-firmware goes with --download or --station"));
        options.expectFirmware = wanted.toLower();
    }
    bool ok = false;
    const double verify = parser.value(p.verifySeconds).toDouble(&ok);
    if (!ok || !(verify > 0) || verify > 3600)
        return usageError(QStringLiteral("--verify-seconds wants a positive number up to 3600, "
                                         "not '%1'")
                              .arg(parser.value(p.verifySeconds)));
    options.verifyMs = qMax(1, qRound(verify * 1000));
    return -1;
}

// One file is one image: a second --file would be a guess at which. A name
// given empty names nothing: no log, no port.
int checkGivenOnce(Parser &p)
{
    const QCommandLineParser &parser = p.parser;
    if (parser.values(p.file).size() > 1)
        return usageError(QStringLiteral("--file given %1 times; one image at a time")
                              .arg(parser.values(p.file).size()));
    for (const QCommandLineOption *option : {&p.file, &p.log, &p.port}) {
        if (parser.values(*option).contains(QString()))
            return usageError(QStringLiteral("--%1 wants a name, not an empty one")
                                  .arg(option->names().constFirst()));
    }
    // A name the system passed in bytes that are not UTF-8 is not the name
    // the program would open: another file, or none.
    for (const QString &name : parser.values(p.file) + parser.values(p.log) + parser.positionalArguments()) {
        if (name.contains(QChar::ReplacementCharacter))
            return usageError(QStringLiteral("'%1' is not valid UTF-8, and no file would be found by it")
                                  .arg(printable(name)));
    }
    for (const QString &port : parser.values(p.port)) {
        const QString why = portidentity::neverAPort(port);
        if (!why.isEmpty())
            return usageError(QStringLiteral("--port %1 cannot be a port: %2").arg(printable(port), why));
    }
    return -1;
}

int checkStation(Parser &p, Options &options)
{
    QCommandLineParser &parser = p.parser;
    if (options.station && !parser.isSet(p.download)
        && (parser.value(p.file).isEmpty() || parser.values(p.port).isEmpty()))
        return usageError(QStringLiteral("--station needs --download, or --file and --port for the "
                                         "station window"));
    for (const QCommandLineOption *option : {&p.count, &p.leaveSeconds, &p.log, &p.retries}) {
        if (!options.station && parser.isSet(*option))
            return usageError(QStringLiteral("--%1 goes with --station").arg(option->names().constFirst()));
    }
    bool ok = true;
    if (parser.isSet(p.count)) {
        options.count = parser.value(p.count).toInt(&ok);
        if (!ok || options.count < 1)
            return usageError(QStringLiteral("--count wants a positive number of units, not '%1'")
                                  .arg(parser.value(p.count)));
    }
    options.retries = parser.value(p.retries).toInt(&ok);
    if (!ok || options.retries < 0 || options.retries > 100)
        return usageError(QStringLiteral("--retries wants a number of tries from 0 to 100, not '%1'")
                              .arg(parser.value(p.retries)));
    const double leave = parser.value(p.leaveSeconds).toDouble(&ok);
    if (!ok || !(leave > 0) || leave > 3600)
        return usageError(QStringLiteral("--leave-seconds wants a positive number up to 3600, "
                                         "not '%1'")
                              .arg(parser.value(p.leaveSeconds)));
    options.leaveMs = qMax(1, qRound(leave * 1000));
    const double reconnect = parser.value(p.reconnectSeconds).toDouble(&ok);
    if (!ok || !(reconnect >= 0) || reconnect > 3600)
        return usageError(QStringLiteral("--reconnect-seconds wants a number of seconds from 0 to "
                                         "3600, not '%1'")
                              .arg(parser.value(p.reconnectSeconds)));
    options.reconnectMs = qRound(reconnect * 1000);
    if (parser.isSet(p.expectSha256)) {
        const QString hex = parser.value(p.expectSha256).toLower();
        const QByteArray digest = QByteArray::fromHex(hex.toLatin1());
        if (hex.size() != 64 || digest.toHex() != hex.toLatin1())
            return usageError(QStringLiteral("--expect-sha256 wants 64 hex digits, not '%1'")
                                  .arg(parser.value(p.expectSha256)));
        options.expectSha256 = digest;
    }
    return -1;
}

// With --records, --station NAME chooses a station's records, as
// --station-name NAME names the station that makes them; elsewhere
// --station is the station itself.
QStringList recordsStation(QStringList arguments)
{
    if (!arguments.contains(QLatin1String("--records")))
        return arguments;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString &arg = arguments[i];
        if (arg == QLatin1String("--station") && i + 1 < arguments.size()
            && !arguments[i + 1].startsWith(QLatin1Char('-')))
            arg = QStringLiteral("--station-name");
        else if (arg.startsWith(QLatin1String("--station=")))
            arg.replace(0, 9, QStringLiteral("--station-name"));
    }
    return arguments;
}

int check(Parser &p, const QStringList &given, Options &options)
{
    QCommandLineParser &parser = p.parser;
    const QStringList arguments = recordsStation(given);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return showHelp(parser);
    if (parser.isSet(QStringLiteral("help-all")))
        return helpAllWanted;
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList positional = parser.positionalArguments();
    if (const int code = checkGivenOnce(p); code >= 0)
        return code;
    options.ports = parser.values(p.port);
    options.file = parser.value(p.file);
    options.download = parser.isSet(p.download);
    options.trace = parser.isSet(p.trace);
    options.listPorts = parser.isSet(p.listPorts);
    options.doctor = parser.isSet(p.doctor);
    options.json = parser.isSet(p.json);
    options.station = parser.isSet(p.station);
    options.log = parser.value(p.log);
    options.ser2netConfig = parser.isSet(p.ser2netConfig);
    bool portOk = false;
    options.firstPort = parser.value(p.firstPort).toInt(&portOk);
    if (parser.isSet(p.firstPort) && !options.ser2netConfig)
        return usageError(QStringLiteral("--first-port goes with --ser2net-config"));
    if (!portOk || options.firstPort < 1 || options.firstPort > 65535)
        return usageError(QStringLiteral("--first-port wants a TCP port from 1 to 65535, not '%1'")
                              .arg(parser.value(p.firstPort)));
    if (const int code = checkStation(p, options); code >= 0)
        return code;
    if (const int code = checkRecordOptions(p, options); code >= 0)
        return code;
    if (positional.size() > 1 || (positional.size() == 1 && parser.isSet(p.file)))
        return usageError(QStringLiteral("unexpected argument '%1'").arg(positional.constLast()));
    if (!positional.isEmpty()) {
        options.file = positional.constFirst();
        options.fileAlone = true;
    }
    if (options.download && options.file.isEmpty())
        return usageError(QStringLiteral("--download needs --file"));
    bool ok = false;
    const double seconds = parser.value(p.timeout).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > maxTimeoutSeconds)
        return usageError(
            QStringLiteral("--timeout wants a positive number of seconds up to 86400, not '%1'")
                .arg(parser.value(p.timeout)));
    options.timeoutMs = qMax(1, qRound(seconds * 1000));
    return -1;
}
} // namespace

CommandLine parseCommandLine(int argc, char **argv)
{
    CommandLine result;
    bool helpAll = false;
    {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("pelkoupdate"));
        QCoreApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));
        const QStringList arguments =
            ownArguments(QCoreApplication::arguments(), &result.options.platform);
        Parser p;
        result.exitCode = check(p, arguments, result.options);
        helpAll = result.exitCode == helpAllWanted;
    }
    if (helpAll)
        showHelpAll(argv[0]);
    return result;
}

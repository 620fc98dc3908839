#include "options.h"

#include "helptext.h"
#include "optionparser.h"
#include "portidentity.h"
#include "printable.h"
#include "recordtarget.h"

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
    OptionParser p;
    p.parser.process(QStringList{QString::fromLocal8Bit(program), QStringLiteral("--help-all")});
    std::exit(0);
}

constexpr int helpAllWanted = -2;

// An address that cannot be used is a bad command line, told without
// repeating what it holds: it may hold a password.
int checkDatabase(const QString &dbName)
{
    if (dbName.isEmpty())
        return -1;
    const bool postgresLike = dbName.startsWith(QLatin1String("postgres"), Qt::CaseInsensitive)
                              && dbName.contains(QLatin1Char(':'));
    if (postgresLike && !dbName.contains(QLatin1String("://")))
        return usageError(QStringLiteral("--db: a PostgreSQL server is named "
                                         "postgresql://USER@HOST:PORT/DB"));
    RecordTarget target;
    QString error;
    if (!RecordTarget::parse(dbName, &target, &error))
        return usageError(error.startsWith(QLatin1String("--db")) ? error : QStringLiteral("--db: %1").arg(error));
    return -1;
}

// What a record says of where, by whom, and what the unit runs after.
int checkRecordOptions(OptionParser &p, Options &options)
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
    if (const int code = checkDatabase(options.db); code >= 0)
        return code;
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
int checkGivenOnce(OptionParser &p)
{
    const QCommandLineParser &parser = p.parser;
    if (parser.values(p.file).size() > 1)
        return usageError(QStringLiteral("--file given %1 times; one image at a time")
                              .arg(parser.values(p.file).size()));
    for (const QCommandLineOption *option : {&p.file, &p.log, &p.port, &p.db}) {
        if (parser.values(*option).contains(QString()))
            return usageError(QStringLiteral("--%1 wants a name, not an empty one")
                                  .arg(option->names().constFirst()));
    }
    // A name the system passed in bytes that are not UTF-8 is not the name
    // the program would open: another file, or none.
    for (const QString &name : parser.values(p.file) + parser.values(p.log) + parser.values(p.db)
                                   + parser.positionalArguments()) {
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

int checkStation(OptionParser &p, Options &options)
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

int check(OptionParser &p, const QStringList &given, Options &options)
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
        OptionParser p;
        result.exitCode = check(p, arguments, result.options);
        helpAll = result.exitCode == helpAllWanted;
    }
    if (helpAll)
        showHelpAll(argv[0]);
    return result;
}

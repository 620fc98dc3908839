#include "pelkoupdate.h"
#include "scriptedupdate.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <variant>

namespace {
constexpr int exitUsage = 64;    // EX_USAGE: scripts tell a bad command line from a failed update
constexpr int exitNoDisplay = 69; // EX_UNAVAILABLE: a window was asked for, and there is no screen
constexpr double maxTimeoutSeconds = 24 * 3600;

bool hasArgument(int argc, char **argv, const char *wanted)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0)
            return true;
    }
    return false;
}

// A Raspberry Pi or a CI box over ssh has no screen; Qt would abort there.
// Without one, and without a platform the user chose, run offscreen: all a
// scripted update needs. True when that was chosen here.
bool chooseOffscreenWithoutDisplay(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !hasArgument(argc, argv, "-platform")
        && !hasArgument(argc, argv, "--platform")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return true;
    }
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
#endif
    return false;
}

// A script reads the program's own lines only: Qt's notes about its
// environment (XDG_RUNTIME_DIR and the like) are not the update's.
void keepQtQuiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "pelkoupdate: %s\n", qPrintable(message));
        std::abort();
    }
}

// Read by people at a terminal and turned into the manual page by help2man,
// which makes sections of "Files:" and "Examples:", so the two never differ.
constexpr char helpEpilogue[] =
    "\nFiles:\n"
    "The serial port (/dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0 and the like) must be\n"
    "readable and writable by the user. On Debian that means being in the group\n"
    "dialout: sudo adduser $USER dialout, then log in again. The image file (.plk,\n"
    "a raw image, or .pelk, an image behind a 16-byte header) must be readable and\n"
    "must stay unchanged until the update ends.\n"
    "\nExamples:\n"
    "Open the window with ttyUSB0 first in the port choice.\n\n"
    "  $ pelkoupdate --port ttyUSB0\n\n"
    "Update the device on ttyUSB0 without a person.\n\n"
    "  $ pelkoupdate --port ttyUSB0 --file new.pelk --download\n\n"
    "The same on the first port found, giving up after 60 s without progress.\n\n"
    "  $ pelkoupdate --file new.pelk --download --timeout 60\n\n"
    "Write every frame on the wire to wire.log.\n\n"
    "  $ pelkoupdate --file new.pelk --download --trace 2>wire.log\n";

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

struct Options
{
    QStringList ports;
    QString file;
    bool download = false;
    bool trace = false;
    int timeoutMs = 10000;
};

int usageError(const QString &error)
{
    std::fprintf(stderr, "pelkoupdate: %s\nTry 'pelkoupdate --help'.\n", qPrintable(error));
    return exitUsage;
}

// The options, or the exit code when the program should end right away.
std::variant<Options, int> parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Firmware updater for devices on an M.Wire serial bus. Without --download it\n"
        "opens the window. With --file and --download it updates a device without a\n"
        "person and ends with one of these exit codes:\n\n"
        "  0      updated: the device confirmed the whole image\n"
        "  1      cancelled by the device\n"
        "  2      no progress within --timeout, or the line lost\n"
        "  3      file or port unusable\n"
        "  64     bad command line\n"
        "  69     no display for the window\n"
        "  129    stopped by SIGHUP (128 + the signal's number)\n"
        "  130    stopped by SIGINT\n"
        "  143    stopped by SIGTERM"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Offer serial port NAME first in the port choice (a name such as ttyUSB0 "
                       "or COM3, or a full path such as /dev/pts/3). May be given several times."),
        QStringLiteral("NAME"));
    const QCommandLineOption file(
        QStringLiteral("file"),
        QStringLiteral("Right after start, act as if File was pressed and PATH chosen, on the "
                       "first port of the port choice."),
        QStringLiteral("PATH"));
    const QCommandLineOption download(
        QStringLiteral("download"),
        QStringLiteral("Press Download as soon as the device's version is shown, print each "
                       "status line, and end with the outcome's exit code. Needs --file."));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("With --download: give up when the update has made no progress for SECONDS "
                       "(the device found, its version shown, a new word asked, the end "
                       "confirmed); default 10, at most 86400."),
        QStringLiteral("SECONDS"), QStringLiteral("10"));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Print every frame on standard error: milliseconds since start, -> sent or "
                       "<- received, its wire bytes, and what it means (and whether a received "
                       "frame's checksum byte is the one we compute); noise and ignored frames "
                       "too."));
    parser.addOptions({port, file, download, timeout, trace});

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(QStringLiteral("help")))
        return showHelp(parser);
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments); // prints Qt's own options too, and exits
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Options options{parser.values(port), parser.value(file), parser.isSet(download),
                    parser.isSet(trace), 10000};
    if (options.download && options.file.isEmpty())
        return usageError(QStringLiteral("--download needs --file"));
    bool ok = false;
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > maxTimeoutSeconds)
        return usageError(QStringLiteral("--timeout wants a positive number of seconds up to 86400, "
                                         "not '%1'")
                              .arg(parser.value(timeout)));
    options.timeoutMs = qMax(1, qRound(seconds * 1000));
    return options;
}
} // namespace

int main(int argc, char **argv)
{
    const bool offscreen = chooseOffscreenWithoutDisplay(argc, argv);
    if (offscreen || hasArgument(argc, argv, "--download"))
        qInstallMessageHandler(keepQtQuiet);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));

    const auto parsed = parseOptions(QApplication::arguments());
    if (const int *exitCode = std::get_if<int>(&parsed))
        return *exitCode;
    const Options &options = std::get<Options>(parsed);
    if (offscreen && !options.download) {
        std::fprintf(stderr, "pelkoupdate: no display to show the window on (DISPLAY and "
                             "WAYLAND_DISPLAY are not set); use --file and --download to update "
                             "without a window\n");
        return exitNoDisplay;
    }

    pelkoUpdate dialog(options.ports);
    if (options.trace)
        dialog.enableTrace(stderr);
    std::unique_ptr<ScriptedUpdate> script;
    if (options.download) {
        script = std::make_unique<ScriptedUpdate>(dialog, options.timeoutMs);
        script->catchSignals();
    }
    dialog.show();
    if (!options.file.isEmpty()) {
        QTimer::singleShot(0, &dialog, [&] {
            if (script)
                script->start(options.file);
            else
                dialog.chooseFile(options.file);
        });
    }
    const int result = app.exec();
    return script ? script->exitCode() : result;
}

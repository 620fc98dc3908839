#include "pelkoupdate.h"
#include "scriptedupdate.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <variant>

namespace {
constexpr int exitUsage = 64; // EX_USAGE: scripts tell a bad command line from a failed update

struct Options
{
    QStringList ports;
    QString file;
    bool download = false;
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
        "Firmware updater for devices on an M.Wire serial bus.\n\n"
        "With --file and --download it updates a device without a person and ends with\n"
        "exit code 0 (updated), 1 (cancelled by the device), 2 (device not found or\n"
        "silent), 3 (file or port unusable) or 64 (bad command line)."));
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
        QStringLiteral("With --download: give up when the device has sent nothing for SECONDS "
                       "(default 10)."),
        QStringLiteral("SECONDS"), QStringLiteral("10"));
    parser.addOptions({port, file, download, timeout});

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Options options{parser.values(port), parser.value(file), parser.isSet(download), 10000};
    if (options.download && options.file.isEmpty())
        return usageError(QStringLiteral("--download needs --file"));
    bool ok = false;
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 24 * 3600)
        return usageError(QStringLiteral("--timeout wants a positive number of seconds, not '%1'")
                              .arg(parser.value(timeout)));
    options.timeoutMs = qMax(1, qRound(seconds * 1000));
    return options;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));

    const auto parsed = parseOptions(QApplication::arguments());
    if (const int *exitCode = std::get_if<int>(&parsed))
        return *exitCode;
    const Options &options = std::get<Options>(parsed);

    pelkoUpdate dialog(options.ports);
    std::unique_ptr<ScriptedUpdate> script;
    if (options.download)
        script = std::make_unique<ScriptedUpdate>(dialog, options.timeoutMs);
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

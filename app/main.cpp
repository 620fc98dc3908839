#include "pelkoupdate.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

namespace {
constexpr int exitUsage = 64; // EX_USAGE: scripts tell a bad command line from a failed update
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Firmware updater for devices on an M.Wire serial bus."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Offer serial port NAME first in the port choice (a name such as ttyUSB0 "
                       "or COM3, or a full path such as /dev/pts/3). May be given several times."),
        QStringLiteral("NAME"));
    parser.addOption(portOption);
    if (!parser.parse(QApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
                                  ? QStringLiteral("unexpected argument '%1'")
                                        .arg(parser.positionalArguments().constFirst())
                                  : parser.errorText();
        std::fprintf(stderr, "pelkoupdate: %s\nTry 'pelkoupdate --help'.\n", qPrintable(error));
        return exitUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    pelkoUpdate dialog(parser.values(portOption));
    dialog.show();
    return app.exec();
}

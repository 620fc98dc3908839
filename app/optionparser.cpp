#include "optionparser.h"

#include "helptext.h"

OptionParser::OptionParser()
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

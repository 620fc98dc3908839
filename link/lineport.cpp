#include "lineport.h"

#include "networkaddress.h"
#include "networkport.h"
#include "serialport.h"

#include <QFileInfo>

std::unique_ptr<LinePort> LinePort::create(const QString &wanted)
{
    if (NetworkAddress::isNetwork(wanted))
        return std::make_unique<NetworkPort>(wanted);
    return std::make_unique<SerialLinePort>();
}

QString LinePort::placeOf(const QString &name)
{
    if (NetworkAddress::isNetwork(name)) {
        const NetworkAddress address = NetworkAddress::parse(name);
        return address.valid() ? address.key() : QString();
    }
    return QFileInfo(portidentity::devicePath(name)).canonicalFilePath();
}

#ifndef NETWORKADDRESS_H
#define NETWORKADDRESS_H

#include <QString>

// A port served over the network (by ser2net on a fixture's computer, as a
// rule): rfc2217://HOST:PORT, telnet with the COM-PORT-OPTION, the client
// setting the line; tcp://HOST:PORT, raw bytes, the line set on the server.
// HOST is a name, an IPv4 address or an IPv6 address in brackets.
struct NetworkAddress
{
    enum class Protocol { None, Rfc2217, Raw };

    Protocol protocol = Protocol::None;
    QString host; // without brackets
    quint16 port = 0;

    // The protocol's prefix alone decides: a name that has it and does not
    // read as HOST:PORT is a network port written wrongly (error says how).
    static bool isNetwork(const QString &name);
    static NetworkAddress parse(const QString &name, QString *error = nullptr);
    bool valid() const { return protocol != Protocol::None; }
    // host:port, with an IPv6 address in brackets, for people.
    QString hostAndPort() const;
    // The same host and port, whatever the protocol and however the address
    // is written (upper case, ::ffff:127.0.0.1, 0:0::1): two bays on one key
    // are one port.
    QString key() const;
};

#endif

#ifndef NETWORKPORT_H
#define NETWORKPORT_H

#include "lineport.h"
#include "networkaddress.h"
#include "telnet.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QTimer>

#include <array>
#include <memory>

class QTcpSocket;

// A serial port served over the network, by ser2net as a rule: a TCP
// connection in this thread's event loop, raw (tcp://) or telnet with the
// COM-PORT-OPTION that sets the server's line (rfc2217://). The port is
// there once a connection is made and, for rfc2217, the options agreed
// and the line set: nothing listening is a port not there yet, and a
// connection that breaks is a port lost. Connecting never blocks, and
// every step has a bound.
class NetworkPort : public LinePort
{
    Q_OBJECT

public:
    // The bounds of each step, in milliseconds.
    static constexpr int connectBound = 3000;
    static constexpr int negotiationBound = 3000;
    // ser2net on a pseudo-terminal may never answer a setting: the line
    // goes on without the answer after this.
    static constexpr int answerBound = 500;
    static constexpr int rawSettleMs = 250;

    explicit NetworkPort(const QString &wanted);
    ~NetworkPort() override;

    bool takes(const QString &wanted) const override { return wanted == given; }
    QString find(const QString &wanted, QList<PortIdentity> (*ports)()) override;
    bool looking() const override { return stage == Stage::Connecting || stage == Stage::Negotiating; }
    Opening open(const QString &found) override;
    void close() override;
    bool isOpen() const override { return stage == Stage::Open; }
    QString name() const override { return given; }
    QString path() const override { return given; }
    QString errorString() const override { return error; }
    qint64 read(char *data, qint64 maxSize) override;
    void write(const char *data, qint64 size) override;

    // What the last look found, for --doctor: each step's outcome.
    struct Findings
    {
        bool connected = false;
        bool binary = false;   // rfc2217: binary agreed both ways
        bool comPort = false;  // rfc2217: the COM-PORT-OPTION agreed
        bool settingsSent = false;
        bool answered[Telnet::settingCount] = {};
        bool speaksTelnet = false; // tcp: the server opened with telnet's IAC
        QString problem; // why the port is not usable, else empty
    };
    const Findings &findings() const { return found; }
    const NetworkAddress &address() const { return where; }

private:
    enum class Stage { Idle, Connecting, Negotiating, Ready, Refused, Open, Broken };

    void connectNow();
    void connected();
    void socketFailed(QAbstractSocket::SocketError socketError);
    void arrivedData();
    void negotiate();
    void settled();
    void refuse(const QString &why);
    void unreached(const QString &why);
    void broke(const QString &why);
    void discardInput();
    void sendReplies();
    void keepAlive();
    QString wrongSetting() const;
    void dropSocket();

    const QString given;
    const NetworkAddress where;
    std::unique_ptr<QTcpSocket> socket;
    Stage stage = Stage::Idle;
    Telnet telnet;
    QTimer stepTimer; // the bound of the step under way
    QElapsedTimer sinceSettings;
    QString error;
    QByteArray banner; // what the server said before the negotiation ended
    Findings found;
    std::array<unsigned char, 1024> raw{};
    std::array<unsigned char, 2 * 512> escaped{};
};

#endif

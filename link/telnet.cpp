#include "telnet.h"

namespace {
// RFC 2217's commands, client to server; the server answers with each
// plus 100.
constexpr unsigned char setBaudRate = 1;
constexpr unsigned char serverOffset = 100;
constexpr unsigned char noParity = 1;
constexpr unsigned char oneStopBit = 1;
constexpr unsigned char noFlowControl = 1;
constexpr unsigned char hardwareFlowControl = 3;

bool himMay(unsigned char option)
{
    return option == Telnet::Binary || option == Telnet::SuppressGoAhead;
}

bool usMay(unsigned char option)
{
    return himMay(option) || option == Telnet::ComPort;
}
} // namespace

void Telnet::begin()
{
    us[Binary] = Side::WantYes;
    send(Will, Binary);
    him[Binary] = Side::WantYes;
    send(Do, Binary);
    us[ComPort] = Side::WantYes;
    send(Will, ComPort);
}

int Telnet::decode(const unsigned char *in, int count, unsigned char *data)
{
    int out = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned char byte = in[i];
        switch (state) {
        case State::Data:
            if (byte == Iac)
                state = State::Iac;
            else
                data[out++] = byte;
            break;
        case State::Iac:
            if (byte == Iac) {
                data[out++] = byte;
                state = State::Data;
            } else {
                command(byte);
            }
            break;
        case State::Option:
            negotiate(verb, byte);
            state = State::Data;
            break;
        case State::Sb:
            sub[0] = byte;
            subLength = 1;
            state = State::SbData;
            break;
        case State::SbData:
            if (byte == Iac)
                state = State::SbIac;
            else
                keep(byte);
            break;
        case State::SbIac:
            if (byte == Iac) {
                keep(byte);
                state = State::SbData;
            } else if (byte == Se) {
                subnegotiation();
                state = State::Data;
            } else {
                // A command inside a subnegotiation: the server ended it
                // wrongly; what it held is not acted on.
                command(byte);
            }
            break;
        }
    }
    return out;
}

// The byte after an IAC that is not a second IAC.
void Telnet::command(unsigned char byte)
{
    switch (byte) {
    case Will:
    case Wont:
    case Do:
    case Dont:
        verb = byte;
        state = State::Option;
        break;
    case Sb:
        state = State::Sb;
        break;
    default: // NOP, data mark, break, go ahead...: nothing to act on
        state = State::Data;
        break;
    }
}

void Telnet::negotiate(unsigned char verb, unsigned char option)
{
    if (verb == Will || verb == Do)
        enabled(verb, option);
    else
        disabled(verb, option);
}

// WILL (the server would perform the option) or DO (it asks us to).
void Telnet::enabled(unsigned char verb, unsigned char option)
{
    const bool server = verb == Will;
    Side &side = server ? him[option] : us[option];
    switch (side) {
    case Side::No:
        if (server ? himMay(option) : usMay(option)) {
            side = Side::Yes;
            send(server ? Do : Will, option);
        } else {
            send(server ? Dont : Wont, option);
        }
        break;
    case Side::WantYes:
        side = Side::Yes;
        break;
    case Side::WantNo: // an answer to a refusal that never was
        side = Side::No;
        break;
    case Side::Yes:
        break;
    }
    if (!server && option == ComPort && side == Side::Yes)
        queueSettings();
}

// WONT or DONT: always granted; losing binary or the COM-PORT-OPTION makes
// the connection useless for the device.
void Telnet::disabled(unsigned char verb, unsigned char option)
{
    const bool server = verb == Wont;
    Side &side = server ? him[option] : us[option];
    const Side before = side;
    side = Side::No;
    if (before == Side::Yes)
        send(server ? Dont : Wont, option);
    const bool needed = option == Binary || (!server && option == ComPort);
    if (needed && before != Side::No)
        refusal = true;
}

void Telnet::keep(unsigned char byte)
{
    if (subLength < maxSubnegotiation)
        sub[subLength++] = byte;
    else
        fault = true;
}

void Telnet::subnegotiation()
{
    if (subLength >= 2 && sub[0] == ComPort && sub[1] > serverOffset)
        answer(sub[1] - serverOffset, sub.data() + 2, subLength - 2);
}

// The server's answer to a setting: the value it now has. Only the answers
// to what was asked count; notifications of line and modem state pass.
void Telnet::answer(unsigned char code, const unsigned char *value, int length)
{
    if (!settingsQueued || length < 1)
        return;
    std::uint32_t has = value[0];
    std::uint32_t wants = 0;
    Setting setting = settingCount;
    switch (code) {
    case setBaudRate:
        if (length < 4)
            return;
        has = std::uint32_t(value[0]) << 24 | std::uint32_t(value[1]) << 16
              | std::uint32_t(value[2]) << 8 | value[3];
        setting = Baud;
        wants = lineBaud;
        break;
    case setBaudRate + DataSize:
        setting = DataSize;
        wants = 8;
        break;
    case setBaudRate + Parity:
        setting = Parity;
        wants = noParity;
        break;
    case setBaudRate + StopSize:
        setting = StopSize;
        wants = oneStopBit;
        break;
    case setBaudRate + FlowControl:
        // The same command carries break, DTR and RTS states; only the
        // outbound flow control answers ours.
        if (has < noFlowControl || has > hardwareFlowControl)
            return;
        setting = FlowControl;
        wants = noFlowControl;
        break;
    default:
        return;
    }
    if (has == wants) {
        answers |= 1u << setting;
    } else if (wrong < 0) {
        wrong = setting;
        wrongHas = has;
    }
}

void Telnet::queueSettings()
{
    if (settingsQueued)
        return;
    settingsQueued = true;
    const unsigned char baud[4] = {(lineBaud >> 24) & 0xFF, (lineBaud >> 16) & 0xFF,
                                   (lineBaud >> 8) & 0xFF, lineBaud & 0xFF};
    const unsigned char one[4][2] = {{setBaudRate + DataSize, 8},
                                     {setBaudRate + Parity, noParity},
                                     {setBaudRate + StopSize, oneStopBit},
                                     {setBaudRate + FlowControl, noFlowControl}};
    unsigned char request[4 + 1 + 8 + 2];
    const unsigned char head[] = {Iac, Sb, ComPort, setBaudRate};
    const unsigned char tail[] = {Iac, Se};
    put(head, 4);
    put(request, escape(baud, 4, request));
    put(tail, 2);
    for (const auto &setting : one) {
        const unsigned char whole[] = {Iac, Sb, ComPort, setting[0], setting[1], Iac, Se};
        put(whole, sizeof whole);
    }
}

void Telnet::send(unsigned char verb, unsigned char option)
{
    const unsigned char bytes[] = {Iac, verb, option};
    put(bytes, 3);
}

// Replies beyond the room are dropped: only a server that floods requests
// without reading its answers could fill it.
void Telnet::put(const unsigned char *bytes, int count)
{
    if (replyLength + count > replyCapacity)
        return;
    for (int i = 0; i < count; ++i)
        reply[std::size_t(replyLength++)] = bytes[i];
}

int Telnet::escape(const unsigned char *in, int count, unsigned char *out)
{
    int written = 0;
    for (int i = 0; i < count; ++i) {
        out[written++] = in[i];
        if (in[i] == Iac)
            out[written++] = Iac;
    }
    return written;
}

#ifndef TELNET_H
#define TELNET_H

#include <array>
#include <cstddef>
#include <cstdint>

// The client's side of a telnet connection to a serial port server: the
// option negotiation of RFC 854 and RFC 1143, and the COM-PORT-OPTION of
// RFC 2217 that sets the server's line to 57600 baud, 8 data bits, no
// parity, 1 stop bit and no flow control. It only turns bytes into bytes:
// the socket is someone else's. Nothing is allocated; a subnegotiation
// longer than any the option defines is a fault, never a growing buffer.
class Telnet
{
public:
    enum Command : unsigned char {
        Se = 240,
        Sb = 250,
        Will = 251,
        Wont = 252,
        Do = 253,
        Dont = 254,
        Iac = 255,
    };
    enum Option : unsigned char {
        Binary = 0,
        SuppressGoAhead = 3,
        ComPort = 44,
    };
    // The settings of the line, in the order they are sent.
    enum Setting { Baud, DataSize, Parity, StopSize, FlowControl, settingCount };
    static constexpr std::uint32_t lineBaud = 57600;
    static constexpr int maxSubnegotiation = 64;
    static constexpr int replyCapacity = 2048;

    // Queues the requests that open the negotiation: binary both ways and
    // the COM-PORT-OPTION. The settings follow, once, when the server agrees
    // to the option.
    void begin();
    // Takes count bytes from the server; writes the data among them to data
    // (room for count bytes) and returns how many. Answers to the server
    // are queued in replies().
    int decode(const unsigned char *in, int count, unsigned char *data);
    // Doubles every IAC (0xFF) of data for the server; out has room for
    // 2 * count bytes. Returns the bytes written.
    static int escape(const unsigned char *in, int count, unsigned char *out);

    // What is to go to the server, in order; repliesSent() once it went.
    const unsigned char *replies() const { return reply.data(); }
    int replyCount() const { return replyLength; }
    void repliesSent() { replyLength = 0; }

    // Binary transmission agreed in both directions.
    bool binary() const { return us[Binary] == Side::Yes && him[Binary] == Side::Yes; }
    bool comPort() const { return us[ComPort] == Side::Yes; }
    // The server said no to binary or to the COM-PORT-OPTION.
    bool refused() const { return refusal; }
    bool settingsSent() const { return settingsQueued; }
    // The settings the server answered with the value asked.
    bool answered(Setting setting) const { return answers & (1u << setting); }
    bool allAnswered() const { return answers == (1u << settingCount) - 1; }
    // A setting the server answered with another value: which (-1 for none)
    // and the value it has.
    int wrongSetting() const { return wrong; }
    std::uint32_t wrongValue() const { return wrongHas; }
    // A subnegotiation longer than any the option defines: the stream can
    // no longer be read.
    bool faulted() const { return fault; }

private:
    // RFC 1143's states of an option, for each side; no queue: this client
    // never changes its mind while a request is under way.
    enum class Side : unsigned char { No, Yes, WantNo, WantYes };
    enum class State : unsigned char { Data, Iac, Option, Sb, SbData, SbIac };

    void command(unsigned char byte);
    void negotiate(unsigned char verb, unsigned char option);
    void enabled(unsigned char verb, unsigned char option);
    void disabled(unsigned char verb, unsigned char option);
    void keep(unsigned char byte);
    void subnegotiation();
    void answer(unsigned char code, const unsigned char *value, int length);
    void queueSettings();
    void send(unsigned char verb, unsigned char option);
    void put(const unsigned char *bytes, int count);

    std::array<Side, 256> us{};  // options this side performs
    std::array<Side, 256> him{}; // options the server performs
    State state = State::Data;
    unsigned char verb = 0;
    std::array<unsigned char, maxSubnegotiation> sub{};
    int subLength = 0;
    std::array<unsigned char, replyCapacity> reply{};
    int replyLength = 0;
    bool settingsQueued = false;
    bool refusal = false;
    bool fault = false;
    unsigned answers = 0;
    int wrong = -1;
    std::uint32_t wrongHas = 0;
};

#endif

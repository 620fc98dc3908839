// libFuzzer target: arbitrary server bytes through the telnet client of
// network ports, cut into reads of arbitrary sizes, after the opening
// requests as on a real connection. The first input byte picks the read
// size; the rest is what the server "sent".
//
// Besides the sanitizers it checks what the client promises: no more data
// out than bytes in, answers that fit their room, a wrong setting named by
// a setting that exists, and data doubled for the server coming back as it
// was.
#include "telnet.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
void check(bool holds)
{
    if (!holds)
        std::abort();
}

void serverBytes(const uint8_t *data, size_t size, size_t piece)
{
    Telnet telnet;
    telnet.begin();
    std::vector<unsigned char> out(piece);
    for (size_t at = 0; at < size; at += piece) {
        const int count = int(std::min(piece, size - at));
        const int got = telnet.decode(data + at, count, out.data());
        check(got >= 0 && got <= count);
        check(telnet.replyCount() >= 0 && telnet.replyCount() <= Telnet::replyCapacity);
        telnet.repliesSent();
    }
    check(telnet.wrongSetting() >= -1 && telnet.wrongSetting() < Telnet::settingCount);
}

void roundTrip(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> wire(2 * size + 1), back(2 * size + 1);
    const int n = Telnet::escape(data, int(size), wire.data());
    Telnet telnet;
    const int got = telnet.decode(wire.data(), n, back.data());
    check(size_t(got) == size && std::equal(data, data + size, back.begin()));
    check(telnet.replyCount() == 0 && !telnet.faulted());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    serverBytes(data + 1, size - 1, size_t(data[0] % 64) + 1);
    roundTrip(data + 1, size - 1);
    return 0;
}

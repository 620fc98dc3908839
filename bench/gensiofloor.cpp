// The floor's loop as a client of Debian's libgensio, ser2net's own library:
// str_to_gensio("telnet(rfc2217),tcp,127.0.0.1,N"), the line set to 57600
// 8N1 without flow control through its serial interface, then the same
// blocking exchange as the floor, gensio's event loop run in this thread
// while it waits. What the updater would cost with gensio as its network
// client, at best: no event loop of Qt's beside it, no thread between them.
//   gensiofloor PORT IMAGE_BYTES
#include "floorloop.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/sergensio.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

namespace {

struct GensioLine
{
    gensio_os_funcs *o = nullptr;
    gensio *io = nullptr;
    gensio_waiter *arrived = nullptr;
    std::deque<unsigned char> queue;
    bool closed = false;

    static int event(gensio *, void *user, int event, int err, unsigned char *buf, gensiods *length,
                     const char *const *)
    {
        auto *self = static_cast<GensioLine *>(user);
        if (event != GENSIO_EVENT_READ)
            return GE_NOTSUP;
        if (err)
            self->closed = true;
        else
            self->queue.insert(self->queue.end(), buf, buf + *length);
        gensio_os_funcs_wake(self->o, self->arrived);
        return 0;
    }
    bool send(const floorloop::Frame &frame)
    {
        gensiods count = 0;
        return gensio_write(io, &count, frame.data(), frame.size(), nullptr) == 0
               && count == frame.size();
    }
    bool next(unsigned char &b)
    {
        while (queue.empty() && !closed)
            gensio_os_funcs_wait(o, arrived, 1, nullptr);
        if (queue.empty())
            return false;
        b = queue.front();
        queue.pop_front();
        return true;
    }
};

// The line as the updater sets it; each call waits for the server's answer.
bool setLine(GensioLine &line)
{
    sergensio *sio = gensio_to_sergensio(line.io);
    sergensio_b *sbio = nullptr;
    if (!sio || sergensio_b_alloc(sio, line.o, &sbio) != 0)
        return false;
    int baud = 57600, size = 8, parity = SERGENSIO_PARITY_NONE, stop = 1,
        flow = SERGENSIO_FLOWCONTROL_NONE;
    gensio_time bound = {1, 0};
    const bool set = sergensio_baud_b_timeout(sbio, &baud, &bound) == 0
                     && sergensio_datasize_b_timeout(sbio, &size, &bound) == 0
                     && sergensio_parity_b_timeout(sbio, &parity, &bound) == 0
                     && sergensio_stopbits_b_timeout(sbio, &stop, &bound) == 0
                     && sergensio_flowcontrol_b_timeout(sbio, &flow, &bound) == 0;
    sergensio_b_free(sbio);
    return set && baud == 57600;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: gensiofloor PORT IMAGE_BYTES\n");
        return 64;
    }
    GensioLine line;
    const std::string connection = std::string("telnet(rfc2217),tcp,127.0.0.1,") + argv[1];
    if (gensio_default_os_hnd(0, &line.o) != 0 || !(line.arrived = gensio_os_funcs_alloc_waiter(line.o))
        || str_to_gensio(connection.c_str(), line.o, &GensioLine::event, &line, &line.io) != 0
        || gensio_open_s(line.io) != 0) {
        std::fprintf(stderr, "gensiofloor: cannot open %s\n", connection.c_str());
        return 1;
    }
    gensio_set_read_callback_enable(line.io, true);
    if (!setLine(line)) {
        std::fprintf(stderr, "gensiofloor: the line was not set\n");
        return 1;
    }
    return floorloop::run(line, std::atol(argv[2]));
}

// mwire-sim: a device on the M.Wire protocol behind a pseudo-terminal, for
// trying and testing the updater without hardware. POSIX only.
//
// It prints the path of its port on the first line, answers the updater as a
// device would, writes the image it received to --out, and prints a summary
// line when it ends. Exit code 0 when an image was received in full.

#include "crc16bits.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
constexpr int exitUsage = 64;
constexpr long noOffset = -1;

volatile std::sig_atomic_t stopRequested = 0;

struct Options
{
    std::string link;
    std::string out;
    bool once = false;
    int firmwareMajor = 1, firmwareMinor = 0;
    int hardwareMajor = 1, hardwareMinor = 0;
    long silent = 0;
    long cancelAt = noOffset, stallAt = noOffset, hangupAt = noOffset;
    long lateMs = 0;
    bool noise = false;
    bool split = false;
    long splitUs = 500;
    long baud = 0;
    bool timing = false;
    std::string capture;
    long units = 1;     // devices one after another on the same line
    long failUnit = 0;  // this unit cancels at offset 512
    long awayMs = 3000; // how long a unit is gone after its update: longer than a station's default leave time
};


[[noreturn]] void usage(const std::string &error)
{
    std::fprintf(stderr,
                 "mwire-sim: %s\n"
                 "usage: mwire-sim [--link PATH] [--out FILE] [--once] [--firmware X.Y]\n"
                 "                 [--hardware X.Y] [--silent N] [--cancel-at OFFSET]\n"
                 "                 [--stall-at OFFSET] [--hangup-at OFFSET] [--late MS]\n"
                 "                 [--noise] [--split] [--split-us US] [--baud RATE]\n"
                 "                 [--timing] [--units N [--fail-unit K] [--away-ms MS]]\n"
                 "                 [--capture FILE]\n",
                 error.c_str());
    std::exit(exitUsage);
}

long number(const std::string &option, const char *text, long max)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno || end == text || *end || value < 0 || value > max)
        usage("bad value '" + std::string(text) + "' for " + option);
    return value;
}

void version(const std::string &option, const char *text, int &major, int &minor)
{
    const char *dot = std::strchr(text, '.');
    if (!dot)
        usage("bad value '" + std::string(text) + "' for " + option + " (want X.Y)");
    major = int(number(option, std::string(text, dot).c_str(), 255));
    minor = int(number(option, dot + 1, 255));
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--once") o.once = true;
        else if (arg == "--noise") o.noise = true;
        else if (arg == "--split") o.split = true;
        else if (arg == "--split-us") o.split = true, o.splitUs = number(arg, value(), 1000000);
        else if (arg == "--timing") o.timing = true;
        else if (arg == "--link") o.link = value();
        else if (arg == "--out") o.out = value();
        else if (arg == "--capture") o.capture = value();
        else if (arg == "--firmware") version(arg, value(), o.firmwareMajor, o.firmwareMinor);
        else if (arg == "--hardware") version(arg, value(), o.hardwareMajor, o.hardwareMinor);
        else if (arg == "--silent") o.silent = number(arg, value(), 1L << 30);
        else if (arg == "--cancel-at") o.cancelAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--stall-at") o.stallAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--hangup-at") o.hangupAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--late") o.lateMs = number(arg, value(), 60000);
        else if (arg == "--baud") o.baud = std::max(1L, number(arg, value(), 4000000));
        else if (arg == "--units") o.units = std::max(1L, number(arg, value(), 100000));
        else if (arg == "--fail-unit") o.failUnit = number(arg, value(), 100000);
        else if (arg == "--away-ms") o.awayMs = number(arg, value(), 600000);
        else if (arg == "--help" || arg == "-h") usage("a simulated M.Wire device");
        else usage("unknown option '" + arg + "'");
    }
    return o;
}

class Device
{
public:
    explicit Device(const Options &options) : o(options), noise(1) {}

    bool open();
    int run();

private:
    enum class Step { Go, Stop, HangUp };

    void take(unsigned char b);
    Step handle(const unsigned char *payload);
    Step answerData(long offset);
    void send(unsigned char code, unsigned long arg = 0, unsigned char b2 = 0,
              unsigned char b3 = 0, unsigned char b4 = 0, unsigned char b5 = 0);
    void writeAll(const Bytes &bytes);
    void writeNoise();
    void pace(size_t answerBytes);
    void waitUntilRead();
    bool saveImage();
    void summary() const;
    void unitEnded(bool received);

    const Options &o;
    int master = -1, slave = -1;
    std::string path;
    // receive side: the updater's frames are 7E FF + 8 stuffed bytes
    int position = 0;
    bool escape = false;
    unsigned char frame[8] = {};
    size_t frameBytes = 0;
    Clock::time_point frameStart;
    // procedure
    long silentLeft = 0;
    long nextOffset = 0;
    bool stalled = false;
    bool complete = false;
    bool ended = false;
    Bytes image;
    // a line of units: the one on the line now, counted from 1, and until
    // when it is gone after its update
    long unit = 1;
    long unitsReceived = 0;
    Clock::time_point awayUntil;
    // counters
    long words = 0, badChecksums = 0, bytesIn = 0, bytesOut = 0;
    // --timing: from the last byte of a data request written to the first
    // byte of the updater's answer read, in nanoseconds
    std::vector<long long> turnarounds;
    std::optional<Clock::time_point> requestWritten;
    Clock::time_point started = Clock::now(); // of the download
    Clock::time_point finished;
    std::mt19937 noise;
    FILE *capture = nullptr; // every byte the device sends, for fuzzing seeds
};

bool Device::open()
{
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("mwire-sim: openpty");
        return false;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    path = name;
    if (!o.link.empty()) {
        ::unlink(o.link.c_str());
        if (::symlink(path.c_str(), o.link.c_str()) != 0) {
            std::perror(("mwire-sim: symlink " + o.link).c_str());
            return false;
        }
    }
    silentLeft = o.silent;
    if (!o.capture.empty() && !(capture = std::fopen(o.capture.c_str(), "wb"))) {
        std::perror(("mwire-sim: " + o.capture).c_str());
        return false;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    return true;
}

int Device::run()
{
    unsigned char buffer[4096];
    Step step = Step::Go;
    while (step == Step::Go && !stopRequested && !((o.once || o.units > 1) && ended)) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (requestWritten) {
            turnarounds.push_back(
                std::chrono::nanoseconds(Clock::now() - *requestWritten).count());
            requestWritten.reset();
        }
        bytesIn += n;
        for (ssize_t i = 0; i < n && step == Step::Go; ++i) {
            take(buffer[i]);
            if (position == 10) {
                position = 0;
                step = handle(frame);
            }
        }
    }
    if (step != Step::HangUp)
        waitUntilRead();
    ::close(master);
    ::close(slave);
    if (capture)
        std::fclose(capture);
    if (!o.link.empty())
        ::unlink(o.link.c_str());
    if (o.units > 1) {
        const long failing = o.failUnit >= 1 && o.failUnit <= o.units ? 1 : 0;
        std::printf("mwire-sim: units %ld, updated %ld\n", unit, unitsReceived);
        return unitsReceived == o.units - failing ? 0 : 1;
    }
    const bool saved = saveImage();
    summary();
    return complete && saved ? 0 : 1;
}

// Collects one frame of the updater's; position 10 means a whole one.
void Device::take(unsigned char b)
{
    if (b == 0x7E) {
        position = 1;
        frameStart = Clock::now();
        frameBytes = 1;
        return;
    }
    ++frameBytes;
    if (position == 1) {
        position = b == 0xFF ? 2 : 0;
        escape = false;
    } else if (position >= 2 && position < 10) {
        if (b == 0x7D) {
            escape = true;
            return;
        }
        frame[position - 2] = escape ? b ^ 0x20 : b;
        escape = false;
        ++position;
    }
}

Device::Step Device::handle(const unsigned char *payload)
{
    if ((crc16Bits(payload, 7) & 0xFF) != payload[7] || payload[0] != 0x50) {
        ++badChecksums;
        return Step::Go;
    }
    if (stalled || Clock::now() < awayUntil)
        return Step::Go;
    switch (payload[1]) {
    case 0x00:
        if (silentLeft > 0) {
            --silentLeft;
            return Step::Go;
        }
        send(0x80);
        return Step::Go;
    case 0x01:
        send(0x81, 0, o.hardwareMinor, o.hardwareMajor, o.firmwareMinor, o.firmwareMajor);
        return Step::Go;
    case 0x03:
        image.clear();
        complete = false;
        started = Clock::now();
        return answerData(nextOffset = 0);
    case 0x04: {
        if ((nextOffset & 0xFF) != payload[6])
            std::fprintf(stderr, "mwire-sim: word for offset %ld came marked %02x\n",
                         nextOffset, payload[6]);
        image.resize(size_t(nextOffset) + 4);
        std::copy(payload + 2, payload + 6, image.begin() + nextOffset);
        ++words;
        return answerData(nextOffset += 4);
    }
    case 0x05:
        send(0x83);
        finished = Clock::now();
        complete = true;
        unitEnded(true);
        return Step::Go;
    default:
        return Step::Go;
    }
}

// Asks for the word at offset, unless a fault option says otherwise.
Device::Step Device::answerData(long offset)
{
    if (offset == o.hangupAt)
        return Step::HangUp;
    if (offset == o.stallAt) {
        stalled = true;
        return Step::Go;
    }
    if (offset == o.cancelAt || (unit == o.failUnit && offset == 512)) {
        send(0x84);
        unitEnded(false);
        return Step::Go;
    }
    send(0x82, static_cast<unsigned long>(offset));
    if (o.timing)
        requestWritten = Clock::now();
    return Step::Go;
}

void Device::send(unsigned char code, unsigned long arg, unsigned char b2, unsigned char b3,
                  unsigned char b4, unsigned char b5)
{
    unsigned char payload[8] = {0x50, code, b2, b3, b4, b5, 0, 0};
    if (code == 0x82) {
        for (int i = 0; i < 4; ++i)
            payload[2 + i] = static_cast<unsigned char>(arg >> (8 * i));
    }
    payload[7] = static_cast<unsigned char>(crc16Bits(payload, 7) & 0xFF);
    Bytes bytes{0x7E, 0x5E};
    for (unsigned char b : payload) {
        if (b == 0x7E || b == 0x7D) {
            bytes.push_back(0x7D);
            bytes.push_back(b ^ 0x20);
        } else {
            bytes.push_back(b);
        }
    }
    if (o.lateMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(o.lateMs));
    if (o.noise)
        writeNoise();
    pace(bytes.size());
    if (!o.split) {
        writeAll(bytes);
        return;
    }
    // Byte by byte, with a pause between them, as a slow device would.
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t piece = 1;
        writeAll(Bytes(bytes.begin() + long(at), bytes.begin() + long(at + piece)));
        at += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(o.splitUs));
    }
}

void Device::writeAll(const Bytes &bytes)
{
    bytesOut += long(bytes.size());
    if (capture && !bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), capture);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (errno == EAGAIN || errno == EINTR) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

// Line noise between frames: never 0x7E, which would open a frame. Now and
// then a burst longer than one read of the updater's.
void Device::writeNoise()
{
    const bool burst = noise() % 40 == 0;
    Bytes bytes(burst ? 1100 + noise() % 2000 : noise() % 12);
    for (auto &b : bytes) {
        b = static_cast<unsigned char>(noise());
        if (b == 0x7E)
            b = 0x7F;
    }
    writeAll(bytes);
}

// At a set line rate the updater's frame takes ten bit times a byte to
// arrive, and the answer as long again to go out: one wait covers both.
void Device::pace(size_t answerBytes)
{
    if (!o.baud)
        return;
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / o.baud);
    const auto received = frameStart + byteTime * long(frameBytes);
    const auto sent = std::max(received, Clock::now()) + byteTime * long(answerBytes);
    // A sleep wakes tens of microseconds late, which over thousands of
    // exchanges would be charged to the updater: sleep most of the way and
    // spin the rest.
    std::this_thread::sleep_until(sent - std::chrono::microseconds(300));
    while (Clock::now() < sent) {
    }
}

// A pseudo-terminal hands written bytes to the other side a moment later, and
// a hang-up drops what is still queued; so first see the answer arrive, then
// see it taken.
void Device::waitUntilRead()
{
    const auto pending = [this] {
        int count = 0;
        return ::ioctl(slave, FIONREAD, &count) == 0 ? count : 0;
    };
    const auto arrived = Clock::now() + std::chrono::milliseconds(100);
    while (pending() == 0 && Clock::now() < arrived)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto taken = Clock::now() + std::chrono::seconds(2);
    while (pending() > 0 && Clock::now() < taken)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// With several units, each goes away for a moment after its update (a
// person takes it off the fixture) and the next one takes its place; its
// image is kept in --out with the unit's number added.
void Device::unitEnded(bool received)
{
    if (o.units <= 1) {
        ended = true;
        return;
    }
    if (received) {
        ++unitsReceived;
        const std::string path = o.out + "." + std::to_string(unit);
        FILE *f = o.out.empty() ? nullptr : std::fopen(path.c_str(), "wb");
        if (f) {
            std::fwrite(image.data(), 1, image.size(), f);
            std::fclose(f);
        }
    }
    std::printf("mwire-sim: unit %ld %s\n", unit, received ? "updated" : "cancelled");
    std::fflush(stdout);
    image.clear();
    nextOffset = 0;
    if (unit == o.units) {
        ended = true;
        return;
    }
    ++unit;
    awayUntil = Clock::now() + std::chrono::milliseconds(o.awayMs);
}

bool Device::saveImage()
{
    if (o.out.empty())
        return true;
    FILE *f = std::fopen(o.out.c_str(), "wb");
    const bool written =
        f && (image.empty() || std::fwrite(image.data(), 1, image.size(), f) == image.size());
    if (!f || std::fclose(f) != 0 || !written) {
        std::perror(("mwire-sim: " + o.out).c_str());
        return false;
    }
    return true;
}

long long percentile(std::vector<long long> values, double p)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return values[at];
}

void Device::summary() const
{
    const auto end = complete ? finished : Clock::now();
    const double seconds = std::chrono::duration<double>(end - started).count();
    std::printf("mwire-sim: %s: words %ld, bytes %zu, bad checksums %ld, time %.3f s, "
                "%.0f bytes/s\n",
                complete ? "image received" : "no complete image", words, image.size(),
                badChecksums, seconds, seconds > 0 ? double(image.size()) / seconds : 0.0);
    if (o.baud)
        std::printf("mwire-sim: line bytes in %ld, out %ld, wire time at %ld baud %.3f s\n",
                    bytesIn, bytesOut, o.baud, double(bytesIn + bytesOut) * 10.0 / double(o.baud));
    if (o.timing)
        std::printf("mwire-sim: turnaround median %.1f us, p99 %.1f us, exchanges %zu, "
                    "%.0f exchanges/s\n",
                    double(percentile(turnarounds, 0.5)) / 1000.0,
                    double(percentile(turnarounds, 0.99)) / 1000.0, turnarounds.size(),
                    seconds > 0 ? double(words) / seconds : 0.0);
    std::fflush(stdout);
}

void onSignal(int)
{
    stopRequested = 1;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    struct sigaction action{};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // Paced lines wake on the microsecond, not 50 us late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
    Device device(options);
    if (!device.open())
        return 1;
    return device.run();
}

#include "device.h"

#include "crc16bits.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include <csignal>

volatile std::sig_atomic_t stopRequested = 0;

bool Device::open()
{
    if (!line.open())
        return false;
    silentLeft = o.silent;
    if (!o.capture.empty() && !(capture = std::fopen(o.capture.c_str(), "wb"))) {
        std::perror(("mwire-sim: " + o.capture).c_str());
        return false;
    }
    std::printf("%s\n", line.path().c_str());
    std::fflush(stdout);
    return true;
}

// The terminal goes, as a pulled adapter's port does; the updater sees a
// hang-up. It comes back (comeBack) when the time is up.
void Device::goAway(long ms)
{
    line.close();
    awayUntil = Clock::now() + std::chrono::milliseconds(ms);
}

bool Device::comeBack()
{
    if (!line.open())
        return false;
    position = 0;
    std::printf("mwire-sim: unit %ld on %s\n", unit, line.path().c_str());
    std::fflush(stdout);
    return true;
}

int Device::run()
{
    if (o.flood)
        return flood();
    unsigned char buffer[4096];
    Step step = Step::Go;
    while (step != Step::HangUp && !stopRequested && !((o.once || o.units > 1) && ended)) {
        if (!line.isOpen()) {
            std::this_thread::sleep_until(std::min(awayUntil, Clock::now() + std::chrono::milliseconds(100)));
            if (Clock::now() >= awayUntil && !comeBack())
                return 1;
            continue;
        }
        if (!turn(buffer, sizeof buffer, step))
            break;
        if (step == Step::Hiccup) {
            goAway(o.hiccupMs);
            step = Step::Go;
        }
    }
    // Its last answer reaches the updater before the line closes; a device
    // stopped by a signal goes at once (its updater may be gone already,
    // and then the answer waited for would never be read).
    if (step != Step::HangUp && !stopRequested)
        line.waitUntilRead();
    line.close();
    if (capture)
        std::fclose(capture);
    return finish();
}

// One read from the line, and the frames in it; false when the line is gone.
bool Device::turn(unsigned char *buffer, size_t size, Step &step)
{
    pollfd p{line.fd(), POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0)
        return true;
    const ssize_t n = ::read(line.fd(), buffer, size);
    if (n <= 0)
        return false;
    if (requestWritten) {
        turnarounds.push_back(std::chrono::nanoseconds(Clock::now() - *requestWritten).count());
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
    return true;
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
    if (stalled || Clock::now() < awayUntil || Clock::now() < restartUntil)
        return Step::Go;
    switch (payload[1]) {
    case 0x00:
        if (o.hiccupAt == hiccupSearching && !hiccupDone) {
            hiccupDone = true;
            return Step::Hiccup;
        }
        if (silentLeft > 0) {
            --silentLeft;
            return Step::Go;
        }
        send(0x80);
        return Step::Go;
    case 0x01:
        send(0x81, 0, o.hardwareMinor, o.hardwareMajor, firmwareMinor, firmwareMajor);
        if (restarting) {
            restarting = false;
            unitEnded(true);
        }
        return Step::Go;
    case 0x03:
        // Back after a hiccup, it asks on from where it was.
        if (keptPlace) {
            keptPlace = false;
            return answerData(nextOffset);
        }
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
        if (o.hiccupAt == hiccupAtTheEnd && !hiccupDone) {
            hiccupDone = keptPlace = true;
            return Step::Hiccup;
        }
        send(0x83);
        finished = Clock::now();
        complete = true;
        if (o.restartMs >= 0)
            restart();
        else
            unitEnded(true);
        return Step::Go;
    default:
        return Step::Go;
    }
}

// Into the image just written, or back into the old one without
// --firmware-after: silent while it boots.
void Device::restart()
{
    restarting = true;
    restartUntil = Clock::now() + std::chrono::milliseconds(o.restartMs);
    if (o.firmwareAfterSet) {
        firmwareMajor = o.firmwareAfterMajor;
        firmwareMinor = o.firmwareAfterMinor;
    }
}

// Asks for the word at offset, unless a fault option says otherwise.
Device::Step Device::answerData(long offset)
{
    if (offset == o.hangupAt)
        return Step::HangUp;
    if (offset == o.hiccupAt && !hiccupDone) {
        hiccupDone = keptPlace = true;
        return Step::Hiccup;
    }
    if (offset == o.stallAt) {
        stalled = true;
        return Step::Go;
    }
    // A device that refuses a try or two and stays: the updater may try again.
    if (offset == o.cancelAt && o.cancelTries > 0) {
        if (triesCancelled < o.cancelTries) {
            ++triesCancelled;
            send(0x84);
            return Step::Go;
        }
    } else if (offset == o.cancelAt || (unit == o.failUnit && offset == 512)) {
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
    line.writeAll(bytes);
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
    // spin the rest. Many devices on a few cores spin none (--spin-us 0),
    // or their spinning would be what slows the updater.
    std::this_thread::sleep_until(sent - std::chrono::microseconds(o.spinUs));
    while (Clock::now() < sent) {
    }
}


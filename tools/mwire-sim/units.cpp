// The end of a unit and of the run, and what mwire-sim says of them.
#include "device.h"

#include <algorithm>

// With several units, each goes away for a moment after its update (a
// person takes it off the fixture) and the next one takes its place; its
// image is kept in --out with the unit's number added. With --replug each
// unit brings its own adapter: the terminal goes with the unit.
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
    triesCancelled = 0;
    firmwareMajor = o.firmwareMajor; // the next unit is as the first was
    firmwareMinor = o.firmwareMinor;
    if (unit == o.units) {
        ended = true;
        return;
    }
    ++unit;
    if (o.replug) {
        line.waitUntilRead(); // the outcome reaches the updater first
        goAway(o.awayMs);
    } else {
        awayUntil = Clock::now() + std::chrono::milliseconds(o.awayMs);
    }
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

namespace {
long long percentile(std::vector<long long> values, double p)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return values[at];
}
} // namespace

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

// The exit code: 0 when every image that should have come came whole.
int Device::finish()
{
    if (o.units > 1) {
        const long failing = o.failUnit >= 1 && o.failUnit <= o.units ? 1 : 0;
        std::printf("mwire-sim: units %ld, updated %ld\n", unit, unitsReceived);
        return unitsReceived == o.units - failing ? 0 : 1;
    }
    const bool saved = saveImage();
    summary();
    return complete && saved ? 0 : 1;
}

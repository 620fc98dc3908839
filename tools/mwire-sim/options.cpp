#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int exitUsage = 64;

[[noreturn]] void usage(const std::string &error)
{
    std::fprintf(stderr,
                 "mwire-sim: %s\n"
                 "usage: mwire-sim [--link PATH] [--out FILE] [--once] [--firmware XX.YY]\n"
                 "                 [--hardware XX.YY] [--restart-ms MS [--firmware-after XX.YY]]\n"
                 "                 [--silent N] [--cancel-at OFFSET]\n"
                 "                 [--cancel-tries N] [--stall-at OFFSET] [--hangup-at OFFSET]\n"
                 "                 [--late MS]\n"
                 "                 [--hiccup-at OFFSET|search|end[:MS]]\n"
                 "                 [--noise] [--split] [--split-us US] [--baud RATE]\n"
                 "                 [--spin-us US] [--flood]\n"
                 "                 [--timing] [--units N [--fail-unit K] [--away-ms MS] [--replug]]\n"
                 "                 [--capture FILE]\n",
                 error.c_str());
    std::exit(exitUsage);
}

// Every option, for a person setting up a test: on standard output, exit 0.
[[noreturn]] void help()
{
    std::fputs(
        "usage: mwire-sim [OPTION]...\n"
        "A device on the M.Wire protocol behind a pseudo-terminal, for trying and testing\n"
        "the updater without hardware. It prints the path of its port on its first line,\n"
        "answers the updater as a device does, and prints a summary when it ends; exit 0\n"
        "when every image that should have come came whole, 64 for a bad command line.\n"
        "\nThe line:\n"
        "  --link PATH          also make PATH a symbolic link to the port\n"
        "  --baud RATE          pace the line at RATE baud both ways, as a real wire\n"
        "                       (default 0: unpaced, as fast as the pseudo-terminal)\n"
        "  --spin-us US         of each paced wait, spin the last US microseconds rather than\n"
        "                       sleep (default 300; 0 for many devices on few cores)\n"
        "  --noise              random bytes between frames, now and then over 1024 at once\n"
        "  --split              write each answer byte by byte, 500 us apart\n"
        "  --split-us US        the same, US microseconds apart\n"
        "  --late MS            answer every request MS late\n"
        "  --flood              a broken device: frame starts and noise as fast as the line\n"
        "                       takes them, never an answer\n"
        "\nThe device:\n"
        "  --firmware XX.YY     the firmware version it reports, two hex digits each as the\n"
        "                       updater shows it (default 01.00)\n"
        "  --hardware XX.YY     the hardware version it reports (default 01.00)\n"
        "  --restart-ms MS      after its update, restart: silent for MS, then answer again;\n"
        "                       its update ends once it has answered a version query\n"
        "  --firmware-after XX.YY  with --restart-ms: the version it restarts into (default: its\n"
        "                       old one, as a device whose new image did not take)\n"
        "  --out FILE           write the image received to FILE\n"
        "  --once               end when the update ends (updated or cancelled)\n"
        "\nFaults:\n"
        "  --silent N           ignore the first N device queries\n"
        "  --cancel-at OFFSET   cancel instead of asking for OFFSET\n"
        "  --cancel-tries N     with --cancel-at: cancel the first N tries only, and stay\n"
        "  --stall-at OFFSET    stop answering instead of asking for OFFSET\n"
        "  --hangup-at OFFSET   close its side of the line there, as an unplugged adapter\n"
        "  --hiccup-at WHERE[:MS]  the terminal goes away at OFFSET, at the first device query\n"
        "                       (search) or at the end-of-image request (end), and a new one\n"
        "                       comes after MS (default 1000); the device keeps its place\n"
        "\nA row of units:\n"
        "  --units N            N devices one after another, each away after its update\n"
        "  --fail-unit K        with --units: unit K cancels at offset 512\n"
        "  --away-ms MS         with --units: how long a unit is away (default 3000)\n"
        "  --replug             with --units: each unit brings its own terminal; the --link goes\n"
        "                       while it is away\n"
        "\nMeasuring:\n"
        "  --timing             the turnaround per exchange in the summary\n"
        "  --capture FILE       every byte it sends, for fuzzing seeds\n"
        "  --help               this text\n",
        stdout);
    std::exit(0);
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

// Two hex digits a part, as the updater shows a version ("Firm V01.0a") and
// takes it in --expect-firmware: what is typed here is what the window says.
int versionPart(const std::string &option, const std::string &part)
{
    char *end = nullptr;
    const long value = std::strtol(part.c_str(), &end, 16);
    if (part.empty() || part.size() > 2 || !std::isxdigit(static_cast<unsigned char>(part[0])) || *end)
        usage("bad value '" + part + "' for " + option + " (want XX.YY, two hex digits each)");
    return int(value);
}

void version(const std::string &option, const char *text, int &major, int &minor)
{
    const char *dot = std::strchr(text, '.');
    if (!dot)
        usage("bad value '" + std::string(text) + "' for " + option + " (want XX.YY, two hex digits each)");
    major = versionPart(option, std::string(text, dot));
    minor = versionPart(option, dot + 1);
}

// OFFSET, search or end, then :MS the terminal stays away.
void hiccup(const std::string &option, const std::string &text, Options &o)
{
    const size_t colon = text.find(':');
    const std::string at = text.substr(0, colon);
    o.hiccupAt = at == "search" ? hiccupSearching
                 : at == "end"  ? hiccupAtTheEnd
                                : number(option, at.c_str(), 0xFFFFFFFFL);
    if (colon != std::string::npos)
        o.hiccupMs = number(option, text.c_str() + colon + 1, 600000);
}
} // namespace

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
        else if (arg == "--replug") o.replug = true;
        else if (arg == "--flood") o.flood = true;
        else if (arg == "--link") o.link = value();
        else if (arg == "--out") o.out = value();
        else if (arg == "--capture") o.capture = value();
        else if (arg == "--firmware") version(arg, value(), o.firmwareMajor, o.firmwareMinor);
        else if (arg == "--hardware") version(arg, value(), o.hardwareMajor, o.hardwareMinor);
        else if (arg == "--firmware-after") o.firmwareAfterSet = true, version(arg, value(), o.firmwareAfterMajor, o.firmwareAfterMinor);
        else if (arg == "--restart-ms") o.restartMs = number(arg, value(), 3600000);
        else if (arg == "--silent") o.silent = number(arg, value(), 1L << 30);
        else if (arg == "--cancel-at") o.cancelAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--stall-at") o.stallAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--hangup-at") o.hangupAt = number(arg, value(), 0xFFFFFFFFL);
        else if (arg == "--hiccup-at") hiccup(arg, value(), o);
        else if (arg == "--late") o.lateMs = number(arg, value(), 60000);
        else if (arg == "--baud") o.baud = number(arg, value(), 4000000);
        else if (arg == "--spin-us") o.spinUs = number(arg, value(), 100000);
        else if (arg == "--units") o.units = std::max(1L, number(arg, value(), 100000));
        else if (arg == "--fail-unit") o.failUnit = number(arg, value(), 100000);
        else if (arg == "--cancel-tries") o.cancelTries = number(arg, value(), 100000);
        else if (arg == "--away-ms") o.awayMs = number(arg, value(), 600000);
        else if (arg == "--help" || arg == "-h") help();
        else usage("unknown option '" + arg + "'");
    }
    if (o.cancelTries > 0 && o.cancelAt == noOffset)
        usage("--cancel-tries goes with --cancel-at");
    if (o.replug && o.units < 2)
        usage("--replug goes with --units");
    if (o.firmwareAfterSet && o.restartMs < 0)
        usage("--firmware-after goes with --restart-ms");
    return o;
}

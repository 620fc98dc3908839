// libFuzzer target: arbitrary device bytes through the de-framer and the
// frame handler, in every state of the update procedure, with a real image
// file and a real (pseudo-terminal) port. The first input byte picks the
// state; the rest is what the device "sent".
//
// Besides the sanitizers it checks the promise the updater makes to devices:
// an end-of-image request goes out only for an offset just past the image.
#include "framecodec.h"
#include "pelkoupdate.h"

#include <QApplication>
#include <QFile>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class FuzzAccess
{
public:
    static void reset(pelkoUpdate &d, uint8_t selector)
    {
        d.retryTimer.stop();
        d.state = selector % 6;
        d.requestedOffset = 0;
        if (d.state >= StateStartDownload) {
            if (!d.prepareImage())
                std::abort();
            d.readOffset = 0;
        }
        processDeframer() = Deframer();
    }
    static void feed(pelkoUpdate &d, const uint8_t *data, size_t size)
    {
        const qint32 before = d.state;
        d.receiveBytes(data, qint64(size));
        if (d.state < StateFindDevice || d.state > StateEndOfImage)
            std::abort();
        // Entered the end of image now: only when asked just past the image's
        // end, never for an offset inside it or far beyond it.
        const quint32 asked = quint32(d.requestedOffset);
        const quint32 imageEnd = (quint32(d.imageSize) + 3) & ~3u;
        if (d.state == StateEndOfImage && before != StateEndOfImage
            && (asked < quint32(d.imageSize) || asked > imageEnd + 3))
            std::abort();
    }
    static void choose(pelkoUpdate &d, const QString &path) { d.chooseFile(path); }
    static bool ready(const pelkoUpdate &d) { return d.serialPort.isOpen(); }
};

namespace {
pelkoUpdate *window = nullptr;
int master = -1;

void drainLine()
{
    char buffer[4096];
    while (::read(master, buffer, sizeof buffer) > 0) {
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(*argc, *argv);
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        std::abort();
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // An image of several blocks and a tail that is not a whole word.
    static const QString image = QStringLiteral("/tmp/pelko-fuzz-%1.pelk").arg(::getpid());
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly))
        std::abort();
    for (int i = 0; i < 16 + 2600; ++i)
        file.putChar(char(i * 13));
    file.close();
    pelkoUpdate::enumeratePorts = [] { return QList<PortIdentity>(); };
    window = new pelkoUpdate(QStringList{QString::fromLocal8Bit(name)});
    FuzzAccess::choose(*window, image);
    if (!FuzzAccess::ready(*window))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FuzzAccess::reset(*window, data[0]);
    FuzzAccess::feed(*window, data + 1, size - 1);
    drainLine();
    return 0;
}

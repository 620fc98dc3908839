// libFuzzer target: arbitrary device bytes through the de-framer and the
// frame handler, in every state of the update procedure, with a real image
// file and a real (pseudo-terminal) port. The first input byte picks the
// state; the rest is what the device "sent".
//
// Besides the sanitizers it checks the promise the updater makes to devices:
// an end-of-image request goes out only for an offset just past the image.
#include "framecodec.h"
#include "pelkoupdate.h"
#include "updateraccess.h"

#include <QApplication>
#include <QFile>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using A = UpdaterAccess;

namespace fuzzing {
// The image was prepared once, as Download does, and stays open: checking
// the file again for every input (its status, its time as a date, its name)
// would be most of what a short input costs, and none of it is receiving.
void reset(pelkoUpdate &d, uint8_t selector)
{
    A::retryTimer(d).stop();
    A::state(d) = selector % 6;
    A::requestedOffset(d) = 0;
    if (A::state(d) >= StateStartDownload) {
        if (!A::file(d).isOpen() && !A::prepareImage(d))
            std::abort();
        A::readOffset(d) = 0;
    }
    A::deframer(d) = Deframer();
}

void feed(pelkoUpdate &d, const uint8_t *data, size_t size)
{
    const qint32 before = A::state(d);
    A::receiveBytes(d, data, qint64(size));
    const qint32 state = A::state(d);
    if (state < StateFindDevice || state > StateEndOfImage)
        std::abort();
    // Entered the end of image now: only when asked just past the image's
    // end, never for an offset inside it or far beyond it.
    const quint32 asked = quint32(A::requestedOffset(d));
    const quint32 size32 = quint32(A::imageSize(d));
    const quint32 imageEnd = (size32 + 3) & ~3u;
    if (state == StateEndOfImage && before != StateEndOfImage
        && (asked < size32 || asked > imageEnd + 3))
        std::abort();
}
} // namespace fuzzing

namespace {
QApplication *application = nullptr;
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
    application = new QApplication(*argc, *argv);
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
    window->chooseFile(image);
    if (!A::portOpen(*window) || !A::prepareImage(*window))
        std::abort();
    // Both gone while Qt's own statics are still there: the font caches the
    // status line filled are freed with the application, and were reported
    // as leaked at exit when the two were left to the end.
    std::atexit([] {
        delete window;
        delete application;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzzing::reset(*window, data[0]);
    fuzzing::feed(*window, data + 1, size - 1);
    drainLine();
    return 0;
}

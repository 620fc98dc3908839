// The device's side of its serial line: a pseudo-terminal whose other side
// the updater opens, and the link that names it. Like a USB adapter that is
// pulled out and plugged in again, it can go away and come back as another
// terminal.
#ifndef MWIRE_SIM_TERMINAL_H
#define MWIRE_SIM_TERMINAL_H

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

class Terminal
{
public:
    explicit Terminal(const std::string &link) : link(link) {}
    ~Terminal() { close(); }

    // A new terminal, raw, and the link pointing at it.
    bool open();
    // The updater's side sees a hang-up; the link goes with it.
    void close();
    bool isOpen() const { return master >= 0; }
    int fd() const { return master; }
    const std::string &path() const { return name; }

    // Returns the bytes written; false when the line is gone.
    bool writeAll(const Bytes &bytes);
    // A pseudo-terminal hands written bytes to the other side a moment
    // later, and a hang-up drops what is still queued: waits to see the
    // last answer arrive, then taken.
    void waitUntilRead() const;

private:
    std::string link;
    std::string name;
    int master = -1;
    int slave = -1;
};

#endif

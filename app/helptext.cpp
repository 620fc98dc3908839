#include "helptext.h"

// Read by people at a terminal and turned into the manual page by help2man,
// which makes sections of "Files:" and "Examples:", so the two never differ.
const char helpEpilogue[] =
    "\nFiles:\n"
    "The serial port (/dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0 and the like) must be\n"
    "readable and writable by the user. On Debian that means being in the group\n"
    "dialout: sudo adduser $USER dialout, then log in again. The image file (.plk,\n"
    "a raw image, or .pelk, an image behind a 16-byte header) must be readable and\n"
    "must stay unchanged until the update ends.\n"
    "\nExamples:\n"
    "Open the window with ttyUSB0 first in the port choice.\n\n"
    "  $ pelkoupdate --port ttyUSB0\n\n"
    "Update the device on ttyUSB0 without a person.\n\n"
    "  $ pelkoupdate --port ttyUSB0 --file new.pelk --download\n\n"
    "The same on the one USB serial port there is, giving up after 60 s without\n"
    "progress.\n\n"
    "  $ pelkoupdate --file new.pelk --download --timeout 60\n\n"
    "Write every frame on the wire to wire.log.\n\n"
    "  $ pelkoupdate --file new.pelk --download --trace 2>wire.log\n\n"
    "Update the FTDI adapter with serial number A50285BI, whatever its name.\n\n"
    "  $ pelkoupdate --port usb:0403:6001:A50285BI --file new.pelk --download\n\n"
    "List the ports, and see what stands in the way of one.\n\n"
    "  $ pelkoupdate --list-ports\n"
    "  $ pelkoupdate --doctor --port ttyUSB0\n";

const char helpDescription[] =
    "Firmware updater for devices on an M.Wire serial bus. Without --download it\n"
    "opens the window (on FILE, when one is given). With --file and --download it\n"
    "updates a device without a person and ends with one of these exit codes:\n\n"
    "  0      updated: the device confirmed the whole image\n"
    "  1      cancelled by the device\n"
    "  2      no progress within --timeout, or the line lost\n"
    "  3      file or port unusable\n"
    "  4      the device asked for an offset past the image's end\n"
    "  5      the device confirmed, but never asked for some image bytes\n"
    "  64     bad command line, or a platform (-platform) that does not exist\n"
    "  69     no display for the window\n"
    "  129    stopped by SIGHUP (128 + the signal's number)\n"
    "  130    stopped by SIGINT, or the window closed by hand\n"
    "  143    stopped by SIGTERM";

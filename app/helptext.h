#ifndef HELPTEXT_H
#define HELPTEXT_H

// What --help says beyond the options: the exit codes in front, the files
// and examples after. help2man makes the manual page of it.
extern const char helpDescription[];
extern const char helpEpilogue[];

#endif

// The scratch file a load filters its input into: made by this run, known as its own, read while the filter writes it,
// released, finished.
#pragma once

#include "filter.h"

#include <signal.h>
#include <sys/types.h>

#include <cstddef>

// One load's scratch file in the working directory, and the filter writing it.
// It must stay where it is from S_start on: a signal handler reaches it there.
struct Scratch {
    Filter filter;
    int lock;                    // the working directory, locked while the name is in use; -1 without a lock
    int file;                    // the file as this run made it: the filter writes, the run reads at offsets
    volatile sig_atomic_t named; // the file still stands under its name,
    dev_t device;                // where it is known by these
    ino_t inode;                 //
    off_t delivered, largest;    // bytes handed to the reader so far; the largest size the file has shown
    off_t dataEnd;               // where the filter's output ends, short of its trailer, once known; or -1
    bool readFailed;             // the file could not be read, or was cut under the reader
};

// Opens the input, makes the scratch file in the working directory where no
// other file stands, and starts the filter writing into it:
// "cat 'NAME' | LC_ALL=C grep -a -v \#". On failure reports it and exits with
// status 1. From here until the load ends, SIGINT, SIGQUIT, SIGTERM and SIGHUP
// end the filter, remove the scratch file and then end the process by that
// signal; SIGTSTP stops the filter with the process.
void S_start(Scratch& scratch, const char* input, bool standardInput);

// Reads the filter's output as the filter writes it (an R_Read for a
// Scratch): waits until there are bytes to give, and gives 0 only once the
// filter has ended and all it kept has been read, or once the file cannot be
// read on.
size_t S_read(void* source, char* buffer, size_t size);

// Gives the name back: the file is read on through its descriptor alone, and
// nothing stands in the working directory whatever happens next.
void S_release(Scratch& scratch);

// Waits for the filter and checks that everything it kept is in the file. If
// the filter was interrupted, ends the process by that signal; if it failed,
// reports "File NAME could not be read whole." and exits with status 1. Either
// way the scratch file is removed. Otherwise a file still named is left
// holding exactly the filter's output.
void S_finish(Scratch& scratch);

// For an input that is no P3 image: leaves the file named, for whoever wants to
// see what was read. A finite input is filtered to its end, as S_finish does; a
// stream, which may never end, is cut where it stands.
void S_keep(Scratch& scratch);

// Ends the filter where it stands and removes the scratch file: for a load
// that needs no more of it, or that has failed for reasons of its own.
void S_stop(Scratch& scratch);

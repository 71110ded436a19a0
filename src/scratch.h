// The scratch file a load filters its input into: made by this run, known as its own, read while the filter writes it,
// released, finished.
#pragma once

#include "filter.h"

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

// One load's scratch file in the working directory, and the filter whose
// output the load reads from a pipe and records in the file while it stands
// under its name. It must stay where it is from S_start on: a signal handler
// reaches it there.
struct Scratch {
    Filter filter{};
    int lock = -1;                   // the working directory, locked while the name is in use; -1 without a lock
    int file = -1;                   // the file as this run made it
    volatile sig_atomic_t named = 0; // the file still stands under its name,
    dev_t device = 0;                // where it is known by these
    ino_t inode = 0;                 //
    int output = -1;                 // the filter's output, read here
    off_t delivered = 0;             // bytes of it handed on
    std::string trailer;             // what it held from its first '#' on: the statuses the shell ends it with
    bool ended = false;              // it has ended
    bool readFailed = false;         // it could not be read
};

// Opens the input, makes the scratch file in the working directory where no
// other file stands, and starts the filter: "cat 'NAME' | LC_ALL=C grep -a -v
// \#". On failure reports it and exits with status 1. From here until the load
// ends, SIGINT, SIGQUIT, SIGTERM and SIGHUP end the filter, remove the scratch
// file and then end the process by that signal; SIGTSTP stops the filter with
// the process.
void S_start(Scratch& scratch, const char* input, bool standardInput);

// Reads the filter's output as the filter writes it (an R_Read for a
// Scratch), into the scratch file too while it is named: gives 0 only once
// the output has ended, or cannot be read.
size_t S_read(void* source, char* buffer, size_t size);

// Gives the name back: nothing stands in the working directory whatever
// happens next, and what is read from here on goes nowhere else.
void S_release(Scratch& scratch);

// Once the output has ended: waits for the filter and checks that it read
// its input whole. If the filter was interrupted, ends the process by that
// signal; if it failed, reports "File NAME could not be read whole." and exits
// with status 1. Either way the scratch file is removed. Otherwise a file
// still named is left holding exactly the filter's output.
void S_finish(Scratch& scratch);

// For an input that is no P3 image: leaves the file named, for whoever wants to
// see what was read. A finite input is filtered to its end, as S_finish does; a
// stream, which may never end, is cut where it stands.
void S_keep(Scratch& scratch);

// Ends the filter where it stands and removes the scratch file: for a load
// that needs no more of it, or that has failed for reasons of its own.
void S_stop(Scratch& scratch);

// The scratch file a load filters its input into: made by this run, written by the comment filter, read back, released.
#pragma once

#include <sys/types.h>

#include <cstddef>

// One load's scratch file and the filter writing it. A run has at most one:
// the signal handlers that clean up after it know of it by the process.
struct Scratch {
    const char* input;         // the input's name, for messages
    bool standardInput;        // the input is the process's standard input
    int lock;                  // the working directory, locked while the name is in use; -1 without a lock
    int file;                  // the file as this run made it: the filter appends, the run reads at offsets
    pid_t filter;              // the shell running the filter, which leads its session; 0 once waited for
    int ended;                 // readable once the filter has ended (a pidfd); -1 where none can be had
    int lifeline;              // while this end is open, the filter lives; when the run ends, however, it closes
    int stalls;                // reads in a row that found nothing where the file's size said there was more
    int status;                // its wait status, once waited for
    bool named;                // the file still stands under its name
    off_t delivered, dataEnd;  // bytes handed to the stream so far; where the filter's output ends, once known, or -1
    bool readFailed;           // a read of the file failed, so what was read is not all there is
    int catStatus, grepStatus; // as the shell reported them; -1 when it did not
};

// Makes the scratch file in the working directory and starts the filter
// writing into it: "cat 'NAME' | LC_ALL=C grep -a -v \#", or "cat -" for the
// process's standard input or a terminal named as the input. On failure
// reports it and exits with status 1. From here until S_finish, SIGINT,
// SIGQUIT, SIGTERM and SIGHUP end the filter, remove the scratch file and then
// end the process by that signal; SIGTSTP stops the filter with the process.
Scratch S_start(const char* input, bool standardInput);

// Reads the filter's output as the filter writes it (an R_Read for a
// Scratch): waits until there are bytes to give, and gives 0 only once the
// filter has ended and all it kept has been read.
size_t S_read(void* source, char* buffer, size_t size);

// Gives the name back: the file is read on through its descriptor alone, and
// nothing stands in the working directory whatever happens next.
void S_release(Scratch& scratch);

// Waits for the filter and checks that everything it kept is in the file. If
// the filter was interrupted, ends the process by that signal; if it failed,
// reports "File NAME could not be read whole." and exits with status 1. Either
// way the scratch file is removed. Otherwise a file still named is left
// holding exactly the filter's output. Signals get their default actions back.
void S_finish(Scratch& scratch);

// Ends the filter where it stands and removes the scratch file; for a load
// that has failed for reasons of its own.
void S_abandon(Scratch& scratch);

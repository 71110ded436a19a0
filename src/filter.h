// The comment filter as a child process: its input, command line and environment, its start tied to the run, its end,
// and what its statuses say.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

// One run of "cat INPUT | LC_ALL=C grep -a -v \#" into a pipe, whose output
// the shell then ends with a trailer, "#C G\n": cat's and grep's exit statuses,
// after a '#', which grep never lets through.
struct Filter {
    const char* name;   // the input's name, as given
    bool standardInput; // the input is the process's standard input
    int input;          // what this process opened for cat to read as its standard input, or -1
    bool unreadable;    // this process could not open or read the input: cat failing on it is the input's doing
    bool stream;        // the input may never end: a pipe, FIFO, socket or device
    volatile sig_atomic_t leader; // the shell, which leads the filter's session; 0 once reaped
    int lifeline;                 // while this end is open, the filter lives; however the run ends, it closes
    int status;                   // the shell's wait status once reaped; -1 when it could not be had
    int catStatus, grepStatus;    // as the trailer gave them; -1 where it did not
};

// The trailer is never longer than this.
inline constexpr size_t kTrailerRoom = 16;

// Opens the input for cat where this process can, so that cat reads what the
// name means here, whatever descriptors the filter's own plumbing takes. A
// terminal is read to its end (Ctrl-D) here, where job control stops a
// background run that reads it, and handed on as a copy. A name that cannot
// be opened is left for cat, to fail on in its own words.
Filter F_open(const char* name, bool standardInput);

// The input's file as it will be read: false where it cannot be told.
bool F_inputFile(const Filter& filter, struct stat& file);

// Starts the filter writing into `output`, in a session of its own, so that it
// may be signalled as a whole and has no terminal to be stopped by; from here
// until it is reaped, a fatal signal ends it and Ctrl-Z stops it. Every
// process of it holds a lifeline whose other end only this process holds:
// when the run ends, however it ends, the kernel sends the session SIGKILL.
// The shell runs nothing before that holds.
// Returns 0, or the error that kept it from starting.
int F_start(Filter& filter, int output);

// Whether the filter has ended; with `wait`, once it has. Whatever it leaves
// running in its session is ended before the shell is reaped, while the
// session's number cannot yet be another's.
bool F_reap(Filter& filter, bool wait);

// Ends the filter where it stands, and reaps it.
void F_stop(Filter& filter);

// Takes the statuses from the trailer, everything the output held from its
// first '#' on; false, with none taken, where it is no trailer.
bool F_readTrailer(Filter& filter, const std::string& trailer);

enum class F_Outcome { whole, failed, interrupted };

// What the reaped filter's statuses say, `kept` being the bytes it wrote:
// whole, when all the input that could be read is in them; interrupted, by
// `signal`, one of those that end a load; or failed.
F_Outcome F_outcome(const Filter& filter, off_t kept, int& signal);

// Closes what the filter left open in this process.
void F_close(Filter& filter);

// The comment filter as a child process: its input, its start tied to the run, its output, its end, and what its
// statuses say.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

// One run of "cat INPUT | LC_ALL=C grep -a -v \#" into a pipe, whose output
// the shell then ends with a trailer, "#C G\n": cat's and grep's exit
// statuses, after a '#', which grep never lets through. Its states are told
// at the top of filter.cpp.
struct Filter {
    const char* name = nullptr; // the input's name, as given
    bool standardInput = false; // the input is the process's standard input
    int input = -1;             // what cat reads as its standard input; -1: cat is given the name
    bool unreadable = false;    // this process could not open the input: cat failing on it is the input's doing
    bool stream = false;        // the input may never end: a pipe, FIFO, socket or device
    pid_t leader = 0;           // the shell, which leads the filter's session
    int lifeline = -1;          // while this end is open, the filter may live
    int output = -1;            // the filter's output, read here
    bool held = false;          // a '\n' that ends the data read so far, not yet handed on
    bool ended = false;         // the output has ended, or could not be read
    bool stopped = false;       // the filter was ended early, by F_stop
    off_t delivered = 0;        // bytes of data handed on
    std::string trailer;        // what the output held from its first '#' on
};

enum class F_Outcome {
    whole,       // every byte handed on is the input's, read whole
    unread,      // cat could not open or read the input, and handed on nothing: no data, and no fault of the run's
    broken,      // the input was not read whole, or the filter failed
    interrupted, // ended by `signal`, one of those that end a load
};

struct F_Result {
    F_Outcome outcome;
    int signal;
};

// Opens the input where this process can, so that cat reads what the name
// means here. A terminal is read to its end (Ctrl-D) here, where job control
// stops a background run that reads it, into a copy that cat reads; a name
// that cannot be opened is left for cat, to fail on in its own words.
// Returns 0, or the error that keeps the terminal from being read.
int F_open(Filter& filter, const char* name, bool standardInput);

// The input's file as it will be read: false where it cannot be told.
bool F_inputFile(const Filter& filter, struct stat& file);

// Starts the filter, in a session of its own, with no terminal to be stopped
// by. Every process of it holds a lifeline whose other end only this process
// holds: when that end closes, however the run ends, the kernel sends the
// session SIGKILL. The shell runs nothing before that holds.
// Returns 0, or the error that kept it from starting; nothing then runs.
int F_start(Filter& filter);

// Reads the filter's data, without its trailer, into `buffer` (at least 2
// bytes); 0 only once the output has ended or cannot be read. A '\n' that
// ends what has come so far is handed on only once more has come: grep ends
// its last line with one, whether or not the input did, so a token before it
// is known whole only by what follows.
size_t F_read(Filter& filter, char* buffer, size_t size);

// Ends the filter where it stands: what it has written can still be read.
void F_stop(Filter& filter);

// Once the output has been read to its end, or the filter stopped: reaps it
// and says what its statuses tell of the load.
F_Result F_finish(Filter& filter);

// Closes the input.
void F_close(Filter& filter);

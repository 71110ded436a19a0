// The scratch file a load records its filtered input in: made by this run where no other file stands, known as its
// own, kept or given back.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

// One load's scratch file in the working directory. Its states are told at
// the top of scratch.cpp. It must stay where it is from S_make on: a signal
// handler reaches it there.
struct Scratch {
    int lock = -1;                   // the working directory, locked while the name is in use; -1 without a lock
    int file = -1;                   // the file as this run made it
    volatile sig_atomic_t named = 0; // the file still stands under its name,
    dev_t device = 0;                // where it is known by these
    ino_t inode = 0;                 //
    bool whole = true;               // every byte recorded has been written
};

enum class S_Failure {
    none,
    notAFile,   // something other than a regular file has the name
    theInput,   // the input is the scratch file
    oldStays,   // an old scratch file cannot be removed, for `error`
    cannotMake, // the file cannot be made, for `error`
};

struct S_Error {
    S_Failure what;
    int error;
};

// The scratch file's name.
inline constexpr const char* kScratchName = "ppmdumppppp";

// Makes the scratch file where no other file stands, an old scratch file
// removed first unless it is `input` (null when the input's file cannot be
// told). From here on a handled signal removes it; CL_install comes first.
S_Error S_make(Scratch& scratch, const struct stat* input);

// Writes data into the file while it is named; one that cannot be written
// whole is not left behind.
void S_record(Scratch& scratch, const char* data, size_t size);

// Gives the name back: nothing of this run's stands there whatever happens
// next. Returns 0, or the error that kept the file from being removed.
int S_release(Scratch& scratch);

// Leaves the file under its name holding what was recorded, for whoever wants
// to see what was read, or gives it back when that could not be written whole;
// returns as S_release does.
int S_keep(Scratch& scratch);

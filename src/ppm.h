// P3 image files: loading through the comment filter, parsing, saving, and helpers.
#pragma once

#include "color.h"
#include "reader.h"

#include <cstdint>
#include <cstdio>
#include <string>

struct PPM {
    FILE* file; // no stream stays open: the loader reads the filter's pipe through a descriptor, so null
    int32_t width;
    int32_t height;
    int32_t nbPixels; // width * height
    Color* pixels;    // nbPixels elements; shared by every copy, never released
};

// Loads the named file; on failure reports it and exits with status 1.
PPM PPM_new(const char* name);
// The same for a name from the command line, where standard output holds
// images alone, so every message goes to standard error; with
// `standardInput`, reads standard input, which `name` stands for in messages.
PPM PPM_newFromCommandLine(const char* name, bool standardInput);
int32_t PPM_nbPixels(PPM ppm);
Color* PPM_pixels(PPM ppm);

// Writes the given array with ppm's width, height and nbPixels; on failure
// reports it and exits with status 1.
void PPM_save(const Color* pixels, const char* name, PPM ppm);
// The same to standard output, as it stands: nothing is opened or truncated.
void PPM_saveToStandardOutput(const Color* pixels, PPM ppm);

// Dumps the size and every pixel to standard output.
void PPM_check(PPM ppm);

// a followed by b in a new malloc'ed string the caller frees; null if allocation fails.
char* concat(const char* a, const char* b);

// The stages PPM_new and PPM_save are made of, for callers that parse or write
// without the shell and without exiting.

enum class PPM_Status { ok, notPpm, tooLarge };

// What the file holds that the images will not show as the file meant, each
// where it first happened.
struct PPM_Surprises {
    int32_t maxval = 255; // the maximum sample value the file gives; samples are taken out of 255 whatever it says
    int64_t outside = -1; // the first sample outside 0..255, counted from 0 in file order; -1 for none
    int32_t outsideValue = 0;
    int64_t missing = 0; // samples the file ends short of, which repeat the last one read
};

struct PPM_Parsed {
    PPM_Status status;
    PPM ppm; // file is null; pixels is null unless nbPixels > 0
    PPM_Surprises surprises = {};
};

// Parses tokens as loaded from the scratch file. A pixel count above maxPixels,
// below the int range, or one whose array cannot be allocated is tooLarge.
PPM_Parsed PPM_parse(Reader& in, int64_t maxPixels);
// The same in two steps: the first token's netpbm magic, as its digit '1' to
// '7' when the token is exactly P1 to P7 and 0 otherwise, and then, when it
// is '3', the rest, from the reader standing just past it.
int PPM_readMagic(Reader& in);
PPM_Parsed PPM_parseImage(Reader& in, int64_t maxPixels);

// The most memory, in bytes, that this process can ever have: physical memory
// plus swap, or the lowest limit of the cgroups that `cgroups` (as
// /proc/self/cgroup) names under `cgroupRoot` and of those above them, where
// that is lower: memory.max in the unified hierarchy, memory.limit_in_bytes
// under memory/ for version 1's memory controller. UINT64_MAX when none of it
// can be read.
uint64_t PPM_memoryLimit(const char* cgroups, const std::string& cgroupRoot);

// Writes the whole file layout; false when a write fell short, with errno set.
bool PPM_write(FILE* file, const Color* pixels, PPM ppm);

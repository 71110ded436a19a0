#include "ppm.h"

#include "cleanup.h"
#include "filter.h"
#include "image.h"
#include "scratch.h"
#include "shell.h"
#include "writer.h"

#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr const char* kComment = "# File created by imagewrightkit Tovalenmirsky\n";
// Large enough that a system call's cost vanishes.
constexpr size_t kReadChunk = size_t{1024} * 1024;
// The most text one pixel can take: three times "-2147483648 ".
constexpr size_t kPixelRoom = 3 * kNumberRoom;
// Pixels formatted at once, their text written in one call: 4 MiB of room, or
// far less on the stack when memory is short. Formatting on two cores at once
// was no faster: the kernel's copying of what is written takes most of a save.
constexpr size_t kSegment = (size_t{4} << 20) / kPixelRoom;
constexpr size_t kSmallSegment = 512;

// The value of the next token, or the last value read once the input has run out.
int32_t nextValue(Reader& in, int32_t& last)
{
    R_next(in, last);
    return last;
}

// Fills the array from the samples, red, green and blue of each pixel in turn;
// once the input runs out, every sample left takes the last value read.
[[gnu::flatten]] void readPixels(Reader& in, int32_t& last, Color* pixels, size_t count, PPM_Surprises& surprises)
{
    constexpr size_t kBatch = 512; // pixels converted at once
    int32_t samples[3 * kBatch];
    for (size_t at = 0; at < count; at += kBatch) {
        size_t n = std::min(kBatch, count - at);
        size_t got = R_values(in, samples, 3 * n, last);
        std::fill(samples + got, samples + 3 * n, last);
        // Bits above the low eight, in any sample of the batch, mean one outside 0..255.
        uint32_t bits = 0;
        for (size_t j = 0; j < n; ++j) {
            pixels[at + j] = C_new(samples[3 * j], samples[3 * j + 1], samples[3 * j + 2]);
            bits |= static_cast<uint32_t>(samples[3 * j]) | static_cast<uint32_t>(samples[3 * j + 1]) |
                    static_cast<uint32_t>(samples[3 * j + 2]);
        }
        // Only samples the file holds are told of, not the last value standing in for missing ones.
        const int32_t* first = samples + got;
        if (bits > 255 && surprises.outside < 0)
            first = std::find_if(samples, samples + got, [](int32_t s) { return s < 0 || s > 255; });
        if (first != samples + got) {
            surprises.outside = static_cast<int64_t>(3 * at) + (first - samples);
            surprises.outsideValue = *first;
        }
        if (got < 3 * n) {
            surprises.missing = static_cast<int64_t>(3 * (count - at) - got);
            std::fill(pixels + at + n, pixels + count, C_new(last, last, last));
            return;
        }
    }
}

constexpr size_t kPage = 4096;

// The most pixels one array may hold: its bytes, even rounded up to whole
// pages, stay within PTRDIFF_MAX, the largest object the compiler and the C
// library allow, so that no byte count or pointer difference can overflow.
// With a 32-bit size_t that is half the address space, some 179 million
// pixels; whether that much can be had is then the allocation's to say. With a
// 64-bit size_t it is far beyond any pixel count an int can hold.
constexpr size_t kMostPixels = (static_cast<size_t>(PTRDIFF_MAX) - kPage) / sizeof(Color);

// Not zero-filled: the loader writes every element exactly once. Small pages,
// not huge ones: a user's single run finds none made, and the kernel making
// them afresh takes far longer than faulting in small ones; back to back,
// huge pages were no faster.
Color* allocatePixels(size_t count)
{
    if (count > kMostPixels)
        return nullptr;
    size_t bytes = (count * sizeof(Color) + kPage - 1) / kPage * kPage;
    return static_cast<Color*>(std::aligned_alloc(kPage, bytes));
}

// Formats the pixels' samples, each followed by a space, at `at`, with
// kPixelRoom bytes free there for each pixel; returns the end.
char* formatPixels(char* at, const Color* pixel, const Color* end)
{
    for (; pixel != end; ++pixel) {
        at = W_put(at, pixel->r);
        at = W_put(at, pixel->g);
        at = W_put(at, pixel->b);
    }
    return at;
}

// False, with errno set, when the write fell short.
bool writeAll(FILE* file, const char* from, const char* to)
{
    auto n = static_cast<size_t>(to - from);
    return n == 0 || std::fwrite(from, 1, n, file) == n;
}

[[noreturn]] void die(const char* name)
{
    std::perror(name);
    std::exit(1);
}

} // namespace

int PPM_readMagic(Reader& in)
{
    while (R_isSpace(R_peek(in)))
        R_take(in);
    if (R_peek(in) != 'P')
        return 0;
    R_take(in);
    int digit = R_peek(in);
    if (digit < '1' || digit > '7')
        return 0;
    R_take(in);
    int next = R_peek(in);
    return next == -1 || R_isSpace(next) ? digit : 0;
}

PPM_Parsed PPM_parseImage(Reader& in, int64_t maxPixels)
{
    int32_t last = 0; // "P3" converts to 0, and is the last token read so far
    int32_t width = nextValue(in, last);
    int32_t height = nextValue(in, last);
    // The maximum sample value is read, and then only told of: samples are taken out of 255 whatever it says.
    PPM_Surprises surprises;
    if (R_next(in, last))
        surprises.maxval = last;
    int64_t count = int64_t{width} * height;
    if (count > maxPixels || count > static_cast<int64_t>(kMostPixels) || count < INT32_MIN)
        return {PPM_Status::tooLarge, {}};

    PPM ppm{nullptr, width, height, static_cast<int32_t>(count), nullptr};
    if (count > 0) {
        ppm.pixels = allocatePixels(static_cast<size_t>(count));
        if (ppm.pixels == nullptr)
            return {PPM_Status::tooLarge, {}};
        readPixels(in, last, ppm.pixels, static_cast<size_t>(count), surprises);
    }
    return {PPM_Status::ok, ppm, surprises};
}

PPM_Parsed PPM_parse(Reader& in, int64_t maxPixels)
{
    if (PPM_readMagic(in) != '3')
        return {PPM_Status::notPpm, {}};
    return PPM_parseImage(in, maxPixels);
}

uint64_t PPM_memoryLimit(const char* cgroups, const std::string& cgroupRoot)
{
    uint64_t limit = UINT64_MAX;
    struct sysinfo info;
    if (sysinfo(&info) == 0)
        limit = (uint64_t{info.totalram} + info.totalswap) * std::max<uint64_t>(info.mem_unit, 1);
    // Each line names this process's cgroup in one hierarchy, as "ID:CONTROLLERS:/PATH":
    // the unified one ("0::/PATH") or the memory controller's of version 1. Each
    // cgroup from there up may set a lower limit than the machine's.
    FILE* list = std::fopen(cgroups, "r");
    char text[4096];
    while (list != nullptr && std::fgets(text, sizeof text, list) != nullptr) {
        std::string line(text, std::strcspn(text, "\n"));
        size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos || line[second + 1] != '/')
            continue;
        std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        std::string directory, file;
        if (line.compare(0, second + 1, "0::") == 0)
            directory = cgroupRoot, file = "/memory.max";
        else if (controllers.find(",memory,") != std::string::npos)
            directory = cgroupRoot + "/memory", file = "/memory.limit_in_bytes";
        else
            continue;
        for (std::string path = line.substr(second + 1); !path.empty(); path.resize(path.find_last_of('/'))) {
            // NOLINTNEXTLINE(performance-inefficient-string-concatenation): a few short paths, once a run.
            FILE* max = std::fopen((directory + path + file).c_str(), "r");
            unsigned long long bytes = 0;
            if (max != nullptr && std::fscanf(max, "%llu", &bytes) == 1)
                limit = std::min<uint64_t>(limit, bytes);
            if (max != nullptr)
                std::fclose(max);
        }
    }
    if (list != nullptr)
        std::fclose(list);
    return limit;
}

namespace {

// What each netpbm magic from P1 to P7 stands for.
constexpr const char* kNetpbm[] = {
    "plain PBM", "plain PGM", "plain PPM", "binary PBM", "binary PGM", "binary PPM", "PAM"};

// The first line, among the first 64 KiB of the input, that holds data
// before a '#', which the comment filter drops whole with the data; 0 for
// none. `first` tells whether no line before it held data: it held the
// magic. Only a regular file can be read again, through the descriptor the
// filter read it from, as the same bytes.
long droppedDataLine(const Filter& filter, bool& first)
{
    struct stat status;
    char head[size_t{64} << 10];
    ssize_t got = filter.input >= 0 && fstat(filter.input, &status) == 0 && S_ISREG(status.st_mode)
                      ? pread(filter.input, head, sizeof head, 0)
                      : 0;
    const char* end = head + std::max<ssize_t>(got, 0);
    auto data = [](const char* from, const char* to) {
        return std::any_of(from, to, [](char c) { return !R_isSpace(static_cast<unsigned char>(c)); });
    };
    first = true;
    long line = 1;
    for (const char* p = head; p < end; ++line) {
        const char* eol = std::find(p, end, '\n');
        const char* hash = std::find(p, eol, '#');
        if (hash != eol && data(p, hash))
            return line;
        first = first && (hash != eol || !data(p, eol));
        p = eol == end ? end : eol + 1;
    }
    return 0;
}

void warnDropped(const char* name, long line)
{
    std::fprintf(
        stderr, "ppmtool: warning: %s: line %ld holds data before a '#', and was dropped whole with it\n", name, line);
}

// Tells, on standard error, each thing the images will not show as the file
// meant, once, where it first happened.
void warn(const char* name, PPM ppm, const PPM_Surprises& surprises, long dropped)
{
    const char* channels[] = {"red", "green", "blue"};
    if (dropped > 0)
        warnDropped(name, dropped);
    if (surprises.maxval != 255)
        std::fprintf(stderr,
            "ppmtool: warning: %s: maxval is %d, not 255: samples are taken as they stand, out of 255\n", name,
            surprises.maxval);
    if (surprises.outside >= 0) {
        long long pixel = surprises.outside / 3, columns = std::llabs(ppm.width);
        std::fprintf(stderr, "ppmtool: warning: %s: the %s sample at row %lld, column %lld is %d, outside 0..255\n",
            name, channels[surprises.outside % 3], pixel / columns + 1, pixel % columns + 1, surprises.outsideValue);
    }
    if (surprises.missing > 0)
        std::fprintf(stderr,
            "ppmtool: warning: %s: the file ends %lld sample%s short; the last one read, %d, stands in for them\n",
            name, static_cast<long long>(surprises.missing), surprises.missing == 1 ? "" : "s",
            ppm.pixels[ppm.nbPixels - 1].b);
}

// One load: the filter it reads the input through, and the scratch file that
// records what was read.
struct Load {
    const char* name;
    Filter filter;
    Scratch scratch;
};

// Reads the filtered input (an R_Read for a Load), recorded while the scratch file is named.
size_t readFiltered(void* source, char* buffer, size_t size)
{
    auto& load = *static_cast<Load*>(source);
    size_t n = F_read(load.filter, buffer, size);
    S_record(load.scratch, buffer, n);
    return n;
}

void reportRemoval(int error)
{
    if (error != 0)
        std::fprintf(stderr, "Cannot remove the scratch file %s: %s\n", kScratchName, std::strerror(error));
}

// Gives the scratch file back and exits with status 1; with the process goes
// the lifeline, and whatever of the filter still runs.
[[noreturn]] void fail(Load& load, const std::string& message)
{
    reportRemoval(S_release(load.scratch));
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(1);
}

std::string scratchMessage(const Load& load, S_Error made)
{
    const std::string name = kScratchName;
    switch (made.what) {
    case S_Failure::notAFile:
        return "Cannot make the scratch file " + name +
               ": something other than a regular file has that name; rename it first.";
    case S_Failure::theInput:
        return std::string("File ") + load.name + " is the scratch file " + name + "; rename it first.";
    case S_Failure::oldStays:
        return "Cannot remove the old scratch file " + name + ": " + std::strerror(made.error);
    case S_Failure::none:
    case S_Failure::cannotMake:
        break;
    }
    std::string message = "Cannot make the scratch file " + name + ": " + std::strerror(made.error);
    if (made.error == EACCES || made.error == EPERM || made.error == EROFS)
        message += "; run ppmtool in a directory you may write to.";
    return message;
}

// How every load ends, whatever it found: the filter is read to its end and
// reaped, or, on a stream that has not ended, which may never end, cut where
// it stands first; then its statuses say whether the input was read whole.
// Returns only when it was, or when cat could not read it at all.
void endFilter(Load& load, Reader& in)
{
    if (load.filter.stream && !in.exhausted)
        F_stop(load.filter);
    while (readFiltered(&load, in.buffer, in.capacity) > 0) {
    }
    F_Result result = F_finish(load.filter);
    if (result.outcome == F_Outcome::interrupted) {
        reportRemoval(S_release(load.scratch));
        CL_die(result.signal);
    }
    if (result.outcome == F_Outcome::broken)
        fail(load, std::string("File ") + load.name + " could not be read whole.");
}

// Says that the input is no P3 image, to `report`, or to standard error when
// `report` cannot take it (a closed pipe included), and how to make one of
// another netpbm format, as a command quoted to work as pasted whatever the
// name. netpbm's tools make a P3 of any of them, with the maximum brought to
// the 255 that samples are taken as.
void tellNotPpm(const char* name, bool standardInput, int magic, FILE* report)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (std::fprintf(report, "File %s is not a ppm file.\n", name) < 0 || std::fflush(report) != 0)
        std::fprintf(stderr, "File %s is not a ppm file.\n", name);
    if (magic == 0)
        return;
    const char* dot = std::strrchr(name, '.');
    bool extension = dot != nullptr && std::strchr(dot, '/') == nullptr;
    std::string stem = standardInput ? "stdin" : extension ? std::string(name, dot) : name;
    std::string source = standardInput ? "" : " " + SH_word(name);
    std::fprintf(stderr,
        "ppmtool: %s is a %s (P%c); this writes it as P3: pamtopnm%s | pamdepth 255 | ppmtoppm -plain > %s\n", name,
        kNetpbm[magic - '1'], magic, source.c_str(), SH_word(stem + "-plain.ppm").c_str());
}

// Loads the named file, or standard input under that name, through the
// comment filter; the scratch file's name is given back as soon as the magic
// shows the input to be worth reading on. "Not a ppm file" goes to `report`.
// The one place that reports what went wrong in a load.
PPM load(const char* name, bool standardInput, FILE* report)
{
    Load load{name, {}, {}};
    if (int error = F_open(load.filter, name, standardInput); error != 0) {
        std::fprintf(stderr, "%s: %s\n", name, std::strerror(error));
        std::exit(1);
    }
    CL_install();
    struct stat input;
    S_Error made = S_make(load.scratch, F_inputFile(load.filter, input) ? &input : nullptr);
    if (made.what != S_Failure::none)
        fail(load, scratchMessage(load, made));
    if (int error = F_start(load.filter); error != 0)
        fail(load, std::string("Cannot start the comment filter: ") + std::strerror(error));
    std::unique_ptr<char[]> large(new (std::nothrow) char[kReadChunk]);
    char small[4096];
    Reader in = large != nullptr ? R_source(readFiltered, &load, large.get(), kReadChunk)
                                 : R_source(readFiltered, &load, small, sizeof small);
    int magic = PPM_readMagic(in);
    if (magic != '3') {
        endFilter(load, in);
        reportRemoval(S_keep(load.scratch));
        tellNotPpm(name, standardInput, magic, report);
        // The magic itself may have gone with a comment on its line.
        bool first = false;
        long dropped = droppedDataLine(load.filter, first);
        if (dropped > 0 && first)
            warnDropped(name, dropped);
        std::exit(1);
    }
    reportRemoval(S_release(load.scratch));
    uint64_t maxPixels = PPM_memoryLimit("/proc/self/cgroup", "/sys/fs/cgroup") / sizeof(Color);
    PPM_Parsed parsed = PPM_parseImage(in, static_cast<int64_t>(std::min<uint64_t>(maxPixels, INT32_MAX)));
    endFilter(load, in);
    if (parsed.status == PPM_Status::tooLarge)
        fail(load, std::string("File ") + name + " is too large.");
    CL_uninstall();
    bool first = false;
    warn(name, parsed.ppm, parsed.surprises, droppedDataLine(load.filter, first));
    F_close(load.filter);
    return parsed.ppm;
}

} // namespace

PPM PPM_new(const char* name)
{
    return load(name, false, stdout);
}

PPM PPM_newFromCommandLine(const char* name, bool standardInput)
{
    return load(name, standardInput, stderr);
}

int32_t PPM_nbPixels(PPM ppm)
{
    return ppm.nbPixels;
}

Color* PPM_pixels(PPM ppm)
{
    return ppm.pixels;
}

bool PPM_write(FILE* file, const Color* pixels, PPM ppm)
{
    char header[128] = "P3\n";
    // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy): 3 + 48 bytes into 128.
    std::strcat(header, kComment);
    char* at = header + std::strlen(header);
    at = W_number(at, ppm.width, ' ');
    at = W_number(at, ppm.height, '\n');
    at = W_number(at, 255, '\n');
    if (!writeAll(file, header, at))
        return false;

    const Color* end = pixels + std::max(ppm.nbPixels, 0);
    size_t segment = std::min(kSegment, static_cast<size_t>(end - pixels));
    std::unique_ptr<char[]> large(new (std::nothrow) char[segment * kPixelRoom]);
    char small[kSmallSegment * kPixelRoom];
    char* room = large.get();
    if (room == nullptr) {
        room = small;
        segment = kSmallSegment;
    }
    for (const Color* from = pixels; from != end;) {
        const Color* to = from + std::min<ptrdiff_t>(end - from, static_cast<ptrdiff_t>(segment));
        if (!writeAll(file, room, formatPixels(room, from, to)))
            return false;
        from = to;
    }
    return true;
}

void PPM_save(const Color* pixels, const char* name, PPM ppm)
{
    FILE* file = std::fopen(name, "w");
    if (file == nullptr)
        die(name);
    // Checked once at the end: a short write, then whatever flushing and closing find.
    if (!PPM_write(file, pixels, ppm) || std::fflush(file) != 0 || std::ferror(file))
        die(name);
    if (std::fclose(file) != 0)
        die(name);
}

void PPM_saveToStandardOutput(const Color* pixels, PPM ppm)
{
    if (!PPM_write(stdout, pixels, ppm) || std::fflush(stdout) != 0 || std::ferror(stdout))
        die("standard output");
}

void PPM_check(PPM ppm)
{
    std::printf("width    : %d\n", ppm.width);
    std::printf("height   : %d\n", ppm.height);
    std::printf("nbpixels : %d\n", ppm.nbPixels);
    I_print(ppm.pixels, ppm.nbPixels);
    std::printf("\n");
}

char* concat(const char* a, const char* b)
{
    size_t lengthA = std::strlen(a);
    size_t lengthB = std::strlen(b);
    char* joined = static_cast<char*>(std::malloc(lengthA + lengthB + 1));
    if (joined == nullptr)
        return nullptr;
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the next copy ends it with b's null.
    std::memcpy(joined, a, lengthA);
    std::memcpy(joined + lengthA, b, lengthB + 1);
    return joined;
}

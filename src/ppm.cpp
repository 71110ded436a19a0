#include "ppm.h"

#include "image.h"
#include "writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kDumpFile = "ppmdumppppp";
constexpr const char* kComment = "# File created by imagewrightkit Tovalenmirsky\n";
// Large enough that a system call's cost vanishes.
constexpr size_t kReadChunk = 1024 * 1024;
// The most text one pixel can take: three times "-2147483648 ".
constexpr size_t kPixelRoom = 3 * kNumberRoom;
// Pixels formatted at once, their text written in one call: 4 MiB of room, or
// far less on the stack when memory is short. Formatting on two cores at once
// was no faster: the kernel's copying of what is written takes most of a save.
constexpr size_t kSegment = (size_t{4} << 20) / kPixelRoom;
constexpr size_t kSmallSegment = 512;

// The name as one literal shell word: single-quoted, and never taken for an
// option or for standard input, which holds the dialogue.
std::string shellWord(const char* name)
{
    std::string word = "'";
    if (name[0] == '-')
        word += "./";
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '\'')
            word += "'\\''";
        else
            word += *p;
    }
    word += '\'';
    return word;
}

// Its status is not examined: a scratch file left behind is removed by the next load.
void removeDumpFile()
{
    [[maybe_unused]] int status = std::system("rm ppmdumppppp");
}

// Loads in one working directory take turns on the scratch file: an exclusive
// lock on the directory itself adds no file, and no child inherits it. -1 where
// no lock can be had; the load then goes on without one.
int lockWorkingDirectory()
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Whether the input, by whatever path, is the scratch file itself, which the
// load would remove and overwrite before reading it.
bool isScratchFile(const char* name)
{
    struct stat input, scratch;
    return stat(name, &input) == 0 && lstat(kDumpFile, &scratch) == 0 && input.st_dev == scratch.st_dev &&
           input.st_ino == scratch.st_ino;
}

// Where the filter was interrupted by SIGINT, SIGQUIT or SIGTERM (the shell
// was killed by it, or reports it as 128 + n), removes the scratch file and
// ends the process by the same signal, as the caller's shell expects of an
// interrupted program.
void dieIfInterrupted(int status)
{
    int n = 0;
    if (status != -1 && WIFSIGNALED(status))
        n = WTERMSIG(status);
    else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) > 128)
        n = WEXITSTATUS(status) - 128;
    if (n != SIGINT && n != SIGQUIT && n != SIGTERM)
        return;
    unlink(kDumpFile);
    std::signal(n, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, n);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(n);
    std::exit(128 + n);
}

// The scratch file as the filter left it, only if it is a regular file: what
// else stands in its place is never followed, waited on or read.
FILE* openDumpFile()
{
    int fd = open(kDumpFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status;
    int error = 0;
    if (fstat(fd, &status) != 0)
        error = errno;
    else if (!S_ISREG(status.st_mode))
        error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        close(fd);
        errno = error;
        return nullptr;
    }
    return fdopen(fd, "r");
}

// The comment filter, run through the shell on a second thread where one can
// be had, so that the scratch file is read while it is written.
struct Filter {
    std::string command;
    std::atomic<bool> done{false};
    int status = 0;
    std::thread thread;
};

void runFilter(Filter& filter)
{
    filter.status = std::system(filter.command.c_str());
    filter.done.store(true, std::memory_order_release);
}

// Where no thread can be had, the filter runs here, to its end.
void startFilter(Filter& filter)
{
    try {
        filter.thread = std::thread(runFilter, std::ref(filter));
    } catch (const std::system_error&) {
        runFilter(filter);
    }
}

int finishFilter(Filter& filter)
{
    if (filter.thread.joinable())
        filter.thread.join();
    return filter.status;
}

// A reader that has caught up with the filter sleeps rather than spin a core.
bool waitForFilter(void* filter)
{
    if (static_cast<Filter*>(filter)->done.load(std::memory_order_acquire))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

// The scratch file once the shell has created it, which it does only where
// nothing stood, so every byte in it is this run's. Null, with errno set, once
// the filter has ended without it, or when something else stands there.
FILE* openWhenCreated(Filter& filter)
{
    for (;;) {
        bool done = filter.done.load(std::memory_order_acquire);
        FILE* dump = openDumpFile();
        if (dump != nullptr || errno != ENOENT || done)
            return dump;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Whether the first token is exactly "P3". It is looked at byte by byte, as it
// may cross chunks; the cursor then stands just past it.
bool readMagic(Reader& in)
{
    while (R_isSpace(R_peek(in)))
        R_take(in);
    for (int c : {'P', '3'}) {
        if (R_peek(in) != c)
            return false;
        R_take(in);
    }
    int next = R_peek(in);
    return next == -1 || R_isSpace(next);
}

// The value of the next token, or the last value read once the input has run out.
int32_t nextValue(Reader& in, int32_t& last)
{
    R_next(in, last);
    return last;
}

// Fills the array from the samples, red, green and blue of each pixel in turn;
// once the input runs out, every sample left takes the last value read.
[[gnu::flatten]] void readPixels(Reader& in, int32_t& last, Color* pixels, size_t count)
{
    constexpr size_t kBatch = 512; // pixels converted at once
    int32_t samples[3 * kBatch];
    for (size_t at = 0; at < count; at += kBatch) {
        size_t n = std::min(kBatch, count - at);
        size_t got = R_values(in, samples, 3 * n, last);
        std::fill(samples + got, samples + 3 * n, last);
        for (size_t j = 0; j < n; ++j)
            pixels[at + j] = C_new(samples[3 * j], samples[3 * j + 1], samples[3 * j + 2]);
        if (got < 3 * n) {
            std::fill(pixels + at + n, pixels + count, C_new(last, last, last));
            return;
        }
    }
}

constexpr size_t kPage = 4096, kHugePage = size_t{2} << 20;

// The most pixels one array may hold: its bytes, even rounded up to whole huge
// pages, stay within PTRDIFF_MAX, the largest object the compiler and the C
// library allow, so that no byte count or pointer difference can overflow.
// With a 32-bit size_t that is half the address space, some 179 million
// pixels; whether that much can be had is then the allocation's to say. With a
// 64-bit size_t it is far beyond any pixel count an int can hold.
constexpr size_t kMostPixels = (static_cast<size_t>(PTRDIFF_MAX) - kHugePage) / sizeof(Color);

// Not zero-filled: the loader writes every element exactly once. A large
// array is made of whole huge pages and asks for them: one fault then covers
// 2 MiB instead of 4 KiB, and every later pass over the array misses the TLB
// far less. The advice is only advice: without it, or without
// free huge pages, the array is made of small pages as usual.
Color* allocatePixels(size_t count)
{
    if (count > kMostPixels)
        return nullptr;
    size_t bytes = count * sizeof(Color);
    size_t unit = bytes >= 2 * kHugePage ? kHugePage : kPage;
    bytes = (bytes + unit - 1) / unit * unit;
    void* pixels = std::aligned_alloc(unit, bytes);
    if (pixels != nullptr && unit == kHugePage)
        madvise(pixels, bytes, MADV_HUGEPAGE);
    return static_cast<Color*>(pixels);
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

PPM_Parsed PPM_parse(Reader& in, int64_t maxPixels)
{
    if (!readMagic(in))
        return {PPM_Status::notPpm, {}};
    int32_t last = 0; // "P3" converts to 0, and is the last token read so far
    int32_t width = nextValue(in, last);
    int32_t height = nextValue(in, last);
    nextValue(in, last); // the maximum sample value: read and ignored
    int64_t count = int64_t{width} * height;
    if (count > maxPixels || count > static_cast<int64_t>(kMostPixels) || count < INT32_MIN)
        return {PPM_Status::tooLarge, {}};

    PPM ppm{nullptr, width, height, static_cast<int32_t>(count), nullptr};
    if (count > 0) {
        ppm.pixels = allocatePixels(static_cast<size_t>(count));
        if (ppm.pixels == nullptr)
            return {PPM_Status::tooLarge, {}};
        readPixels(in, last, ppm.pixels, static_cast<size_t>(count));
    }
    return {PPM_Status::ok, ppm};
}

uint64_t PPM_memoryLimit(const char* cgroups, const std::string& cgroupRoot)
{
    uint64_t limit = UINT64_MAX;
    struct sysinfo info;
    if (sysinfo(&info) == 0)
        limit = (uint64_t{info.totalram} + info.totalswap) * std::max<uint64_t>(info.mem_unit, 1);
    // The unified hierarchy's line names this process's cgroup; each cgroup
    // from there up may set a lower limit than the machine's.
    std::ifstream list(cgroups);
    for (std::string line; std::getline(list, line);) {
        if (line.rfind("0::/", 0) != 0)
            continue;
        for (std::string path = line.substr(3); !path.empty(); path.resize(path.find_last_of('/'))) {
            std::ifstream max(cgroupRoot + path + "/memory.max");
            uint64_t bytes = 0;
            if (max >> bytes)
                limit = std::min(limit, bytes);
        }
    }
    return limit;
}

PPM PPM_new(const char* name)
{
    int lock = lockWorkingDirectory();
    if (isScratchFile(name)) {
        std::fprintf(stderr, "File %s is the scratch file %s; rename it first.\n", name, kDumpFile);
        std::exit(1);
    }
    // The shell creates the scratch file only where nothing stands, and for its
    // owner alone; grep passes every byte of the lines it keeps, in any locale.
    unlink(kDumpFile);
    Filter filter;
    filter.command = "umask 077; set -C; cat " + shellWord(name) + " | LC_ALL=C grep -a -v \\# > " + kDumpFile;
    startFilter(filter);
    FILE* dump = openWhenCreated(filter);
    if (dump == nullptr) {
        // The shell's own message comes first, then the reason the file cannot be read.
        finishFilter(filter);
        dieIfInterrupted(filter.status);
        dump = openDumpFile();
        if (dump == nullptr)
            die(name);
    }
    std::unique_ptr<char[]> large(new (std::nothrow) char[kReadChunk]);
    char small[4096];
    Reader in = large != nullptr ? R_growing(dump, large.get(), kReadChunk, waitForFilter, &filter)
                                 : R_growing(dump, small, sizeof small, waitForFilter, &filter);
    uint64_t maxPixels = PPM_memoryLimit("/proc/self/cgroup", "/sys/fs/cgroup") / sizeof(Color);
    PPM_Parsed parsed = PPM_parse(in, static_cast<int64_t>(std::min<uint64_t>(maxPixels, INT32_MAX)));
    std::fclose(dump);
    int status = finishFilter(filter);
    dieIfInterrupted(status);
    // 0 is lines kept, 1 none; anything else, grep or the shell has said why,
    // and nothing read counts.
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        unlink(kDumpFile);
        std::fprintf(stderr, "File %s could not be read whole.\n", name);
        std::exit(1);
    }
    switch (parsed.status) {
    case PPM_Status::notPpm:
        // The scratch file stays, for whoever wants to see what was read.
        std::printf("File %s is not a ppm file.\n", name);
        std::exit(1);
    case PPM_Status::tooLarge:
        removeDumpFile();
        std::fprintf(stderr, "File %s is too large.\n", name);
        std::exit(1);
    case PPM_Status::ok:
        break;
    }
    removeDumpFile();
    if (lock >= 0)
        close(lock);
    return parsed.ppm;
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
    std::memcpy(joined, a, lengthA);
    std::memcpy(joined + lengthA, b, lengthB + 1);
    return joined;
}

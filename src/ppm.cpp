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
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
// Writes of 2 MiB took a third less time than writes of 512 KiB, the close
// that follows included; 64 KiB ones serve when memory is short.
constexpr size_t kWriteChunk = 2 * 1024 * 1024;
constexpr size_t kSmallWriteChunk = 64 * 1024;

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

void removeDumpFile()
{
    std::system("rm ppmdumppppp");
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

// The signal that interrupted the filter, the shell's own or one it reports
// as 128 + n; 0 when it was not interrupted.
int interruption(int status)
{
    int n = 0;
    if (status != -1 && WIFSIGNALED(status))
        n = WTERMSIG(status);
    else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) > 128)
        n = WEXITSTATUS(status) - 128;
    return n == SIGINT || n == SIGQUIT || n == SIGTERM ? n : 0;
}

// Ends the process by the signal, as the caller's shell expects of an
// interrupted program.
[[noreturn]] void dieBy(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::exit(128 + signal);
}

// The scratch file as the filter left it, only if it is a regular file: what
// else stands in its place is never followed, waited on or read.
FILE* openDumpFile()
{
    int fd = open(kDumpFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        int error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = error;
        return nullptr;
    }
    return fdopen(fd, "r");
}

// The value of the next token, or of the last one read once the input has run out.
int32_t nextValue(Reader& in, Token& last)
{
    R_next(in, last);
    return last.value;
}

// Samples are numbered through the array: r, g and b of pixel 0, then of pixel 1...
void setSample(Color* pixels, uint64_t at, int32_t v)
{
    Color& c = pixels[at / 3];
    switch (at % 3) {
    case 0:
        c.r = v;
        break;
    case 1:
        c.g = v;
        break;
    default:
        c.b = v;
    }
}

// Reads samples [first, end); gives how many were read, fewer only when the input ran out.
[[gnu::flatten]] uint64_t readSamples(Reader& in, Token& last, Color* pixels, uint64_t first, uint64_t end)
{
    constexpr uint64_t kBatch = 3 * 512;
    int32_t samples[kBatch];
    uint64_t at = first;
    while (at < end) {
        // Single samples where a pixel is begun or left for another reader.
        auto wanted = static_cast<size_t>(at % 3 != 0 || end - at < 3 ? 1 : std::min(kBatch, (end - at) / 3 * 3));
        size_t got = R_values(in, samples, wanted, last);
        size_t j = 0;
        for (Color* pixel = pixels + at / 3; j + 3 <= got; j += 3)
            *pixel++ = C_new(samples[j], samples[j + 1], samples[j + 2]);
        for (; j < got; ++j)
            setSample(pixels, at + j, samples[j]);
        at += got;
        if (got < wanted)
            break;
    }
    return at - first;
}

// Fresh pages cost a fault and a clearing each on first touch. Asking the
// kernel to map a megabyte of the array at once, just ahead of the reader,
// costs far less than taking the faults one at a time. The kernel leaves
// pages already present alone, so a page shared with the other reader is
// never cleared under it; a kernel that does not know the advice ignores it.
uint64_t readSamplesMapped(Reader& in, Token& last, Color* pixels, uint64_t first, uint64_t end)
{
    constexpr uint64_t kStep = (uint64_t{1} << 20) / sizeof(int32_t);
    constexpr uintptr_t kPage = 4096;
    uint64_t at = first;
    while (at < end) {
        uint64_t stop = std::min(end, at + kStep);
        auto from = reinterpret_cast<uintptr_t>(pixels + at / 3) / kPage * kPage;
        auto to = reinterpret_cast<uintptr_t>(pixels + (stop + 2) / 3);
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
        uint64_t got = readSamples(in, last, pixels, at, stop);
        at += got;
        if (at < stop)
            break;
    }
    return at - first;
}

void fillSamples(Color* pixels, uint64_t first, uint64_t end, int32_t v)
{
    for (; first < end && first % 3 != 0; ++first)
        setSample(pixels, first, v);
    if (first < end / 3 * 3)
        std::fill(pixels + first / 3, pixels + end / 3, C_new(v, v, v));
    for (first = std::max(first, end / 3 * 3); first < end; ++first)
        setSample(pixels, first, v);
}

// What the second reader of a split input did.
struct SecondPart {
    bool counted = false; // the first part was passed over whole
    uint64_t first = 0;   // the tokens in the first part: the first sample read here
    uint64_t got = 0;
    Token last{};
};

// A large input is read from two places at once: the second part on another
// thread, which first counts the first part's tokens to learn where its
// samples go. Every sample ends up as a single reader would have left it.
void readAllSamples(Reader& in, Token& last, Color* pixels, uint64_t total)
{
    constexpr uint64_t kWorthAThread = 256 << 10; // bytes: far more than a thread costs
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadChunk]);
    R_Split split;
    SecondPart second;
    std::thread thread;
    if (buffer != nullptr && R_split(in, kWorthAThread, buffer.get(), kReadChunk, split)) {
        try {
            thread = std::thread([&split, &second, pixels, total] {
                second.counted = R_skip(split.rest, split.firstBytes, second.first);
                if (second.counted && second.first < total)
                    second.got = readSamplesMapped(split.rest, second.last, pixels, second.first, total);
            });
            R_limit(in, split.firstBytes);
        } catch (const std::system_error&) {
        }
    }
    uint64_t got = readSamplesMapped(in, last, pixels, 0, total);
    if (thread.joinable()) {
        thread.join();
        // The second part follows on only from a first part read to its end.
        if (second.counted && got == std::min(second.first, total)) {
            got += second.got;
            if (second.got > 0)
                last = second.last;
        }
    }
    fillSamples(pixels, got, total, last.value);
}

// Not zero-filled: the loader writes every element exactly once. Whole pages,
// so that the kernel may be asked to map any part of them. A large array is
// made of whole huge pages and asks for them: one fault or mapping request
// then covers 2 MiB instead of 4 KiB, and every later pass over the array
// misses the TLB far less. The advice is only advice: without it, or without
// free huge pages, the array is made of small pages as usual.
Color* allocatePixels(size_t count)
{
    constexpr size_t kPage = 4096, kHugePage = size_t{2} << 20;
    size_t bytes = count * sizeof(Color);
    size_t unit = bytes >= 2 * kHugePage ? kHugePage : kPage;
    bytes = (bytes + unit - 1) / unit * unit;
    void* pixels = std::aligned_alloc(unit, bytes);
    if (pixels != nullptr && unit == kHugePage)
        madvise(pixels, bytes, MADV_HUGEPAGE);
    return static_cast<Color*>(pixels);
}

[[noreturn]] void die(const char* name)
{
    std::perror(name);
    std::exit(1);
}

} // namespace

PPM_Parsed PPM_parse(Reader& in, int64_t maxPixels)
{
    Token last{};
    if (!R_next(in, last) || !last.magic)
        return {PPM_Status::notPpm, {}};
    int32_t width = nextValue(in, last);
    int32_t height = nextValue(in, last);
    nextValue(in, last); // the maximum sample value: read and ignored
    int64_t count = int64_t{width} * height;
    if (count > maxPixels || count < INT32_MIN)
        return {PPM_Status::tooLarge, {}};

    PPM ppm{nullptr, width, height, static_cast<int32_t>(count), nullptr};
    if (count > 0) {
        ppm.pixels = allocatePixels(static_cast<size_t>(count));
        if (ppm.pixels == nullptr)
            return {PPM_Status::tooLarge, {}};
        readAllSamples(in, last, ppm.pixels, 3 * static_cast<uint64_t>(count));
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
    std::string command =
        "umask 077; set -C; cat " + shellWord(name) + " | LC_ALL=C grep -a -v \\# > " + kDumpFile;
    int status = std::system(command.c_str());
    if (int signal = interruption(status); signal != 0) {
        unlink(kDumpFile);
        dieBy(signal);
    }
    FILE* dump = openDumpFile();
    if (dump == nullptr)
        die(name);
    // 0 is lines kept, 1 none; anything else, grep or the shell has said why.
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        std::fclose(dump);
        unlink(kDumpFile);
        std::fprintf(stderr, "File %s could not be read whole.\n", name);
        std::exit(1);
    }

    constexpr size_t kSmallReadChunk = 4096;
    std::unique_ptr<char[]> large(new (std::nothrow) char[kReadChunk]);
    char small[kSmallReadChunk];
    Reader in = large != nullptr ? R_open(dump, large.get(), kReadChunk) : R_open(dump, small, sizeof small);
    uint64_t maxPixels = PPM_memoryLimit("/proc/self/cgroup", "/sys/fs/cgroup") / sizeof(Color);
    PPM_Parsed parsed = PPM_parse(in, static_cast<int64_t>(std::min<uint64_t>(maxPixels, INT32_MAX)));
    std::fclose(dump);
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
    constexpr size_t kSize = 2 * (kWriteChunk + kWriterSlack);
    std::unique_ptr<char[]> large(new (std::nothrow) char[kSize]);
    char small[2 * (kSmallWriteChunk + kWriterSlack)];
    Writer out = large != nullptr ? W_open(file, large.get(), kSize) : W_open(file, small, sizeof small);
    W_text(out, "P3\n");
    W_text(out, kComment);
    if (!W_reserve(out))
        return false;
    W_number(out, ppm.width, ' ');
    W_number(out, ppm.height, '\n');
    W_number(out, 255, '\n');
    for (int32_t i = 0; i < ppm.nbPixels;) {
        if (!W_reserve(out))
            return false;
        char* at = W_cursor(out);
        for (const char* end = W_chunkEnd(out); i < ppm.nbPixels && at < end; ++i) {
            at = W_put(at, pixels[i].r);
            at = W_put(at, pixels[i].g);
            at = W_put(at, pixels[i].b);
        }
        W_advance(out, at);
    }
    return W_flush(out);
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

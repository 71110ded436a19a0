#include "ppm.h"

#include "image.h"
#include "writer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kDumpFile = "ppmdumppppp";
constexpr const char* kComment = "# File created by imagewrightkit Tovalenmirsky\n";
// Large enough that a system call's cost vanishes, small enough for the stack.
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

// The shell's status is not examined, here or for the comment filter: a
// failed filter shows as a scratch file that is not a ppm file.
void removeDumpFile()
{
    [[maybe_unused]] int status = std::system("rm ppmdumppppp");
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

PPM PPM_new(const char* name)
{
    std::string command = "cat " + shellWord(name) + " | grep -v \\# > " + kDumpFile;
    [[maybe_unused]] int status = std::system(command.c_str());
    FILE* dump = std::fopen(kDumpFile, "r");
    if (dump == nullptr)
        die(name);

    char buffer[kReadChunk];
    Reader in = R_open(dump, buffer, sizeof buffer);
    PPM_Parsed parsed = PPM_parse(in, INT32_MAX);
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

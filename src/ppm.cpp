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
constexpr size_t kWriteChunk = 512 * 1024;

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
    uint64_t at = first;
    int32_t v;
    // The end of a pixel another reader began.
    for (; at < end && at % 3 != 0; ++at) {
        if (R_values(in, &v, 1, last) == 0)
            return at - first;
        setSample(pixels, at, v);
    }
    constexpr uint64_t kBatch = 3 * 512;
    int32_t samples[kBatch];
    while (end - at >= 3) {
        auto wanted = static_cast<size_t>(std::min(kBatch, (end - at) / 3 * 3));
        size_t got = R_values(in, samples, wanted, last);
        Color* pixel = pixels + at / 3;
        size_t j = 0;
        for (; j + 3 <= got; j += 3)
            *pixel++ = C_new(samples[j], samples[j + 1], samples[j + 2]);
        for (; j < got; ++j)
            setSample(pixels, at + j, samples[j]);
        at += got;
        if (got < wanted)
            return at - first;
    }
    for (; at < end; ++at) {
        if (R_values(in, &v, 1, last) == 0)
            return at - first;
        setSample(pixels, at, v);
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
                    second.got = readSamples(split.rest, second.last, pixels, second.first, total);
            });
            R_limit(in, split.firstBytes);
        } catch (const std::system_error&) {
        }
    }
    uint64_t got = readSamples(in, last, pixels, 0, total);
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

struct PixelArray {
    Color* pixels;
    size_t bytes; // as allocated: whole pages
};

// Not zero-filled: the loader writes every element exactly once.
PixelArray allocatePixels(size_t count)
{
    constexpr size_t kPage = 4096;
    size_t bytes = (count * sizeof(Color) + kPage - 1) / kPage * kPage;
    return {static_cast<Color*>(std::aligned_alloc(kPage, bytes)), bytes};
}

// Fresh pages cost a fault and a clearing each on first touch; for a large
// array, another core takes those ahead of the parser. The kernel does the
// touching (zero pages stay zero, written ones are left alone), so the two
// threads never race on the array's contents. Without a thread, or on a kernel
// that does not know the advice, the parser takes the faults itself.
void readSamplesPrefaulted(Reader& in, Token& last, PixelArray array, int32_t count)
{
    constexpr size_t kWorthAThread = size_t{4} << 20;
    std::thread prefault;
    if (array.bytes >= kWorthAThread) {
        try {
            prefault = std::thread([array] { madvise(array.pixels, array.bytes, MADV_POPULATE_WRITE); });
        } catch (const std::system_error&) {
        }
    }
    readAllSamples(in, last, array.pixels, 3 * static_cast<uint64_t>(count));
    if (prefault.joinable())
        prefault.join();
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
        PixelArray array = allocatePixels(static_cast<size_t>(count));
        if (array.pixels == nullptr)
            return {PPM_Status::tooLarge, {}};
        readSamplesPrefaulted(in, last, array, ppm.nbPixels);
        ppm.pixels = array.pixels;
    }
    return {PPM_Status::ok, ppm};
}

PPM PPM_new(const char* name)
{
    std::string command = "cat " + shellWord(name) + " | grep -v \\# > " + kDumpFile;
    std::system(command.c_str());
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
    char buffer[2 * (kWriteChunk + kWriterSlack)];
    Writer out = W_open(file, buffer, sizeof buffer);
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

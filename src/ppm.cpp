#include "ppm.h"

#include "image.h"
#include "writer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

[[gnu::flatten]] void readSamples(Reader& in, Token& last, Color* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        if (in.exhausted) {
            std::fill(pixels + i, pixels + count, C_new(last.value, last.value, last.value));
            return;
        }
        int32_t r = nextValue(in, last);
        int32_t g = nextValue(in, last);
        int32_t b = nextValue(in, last);
        pixels[i] = C_new(r, g, b);
    }
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
    readSamples(in, last, array.pixels, count);
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
    for (int32_t i = 0; i < ppm.nbPixels; ++i) {
        if (!W_reserve(out))
            return false;
        W_sample(out, pixels[i].r);
        W_sample(out, pixels[i].g);
        W_sample(out, pixels[i].b);
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

// Fuzz target: arbitrary scratch-file contents through the parser, checked
// against properties that must hold for every input.
#include "../support.h"
#include "image.h"
#include "ppm.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A tiny input must not ask for gigabytes, nor spend the fuzzer's time filling
// and saving a large array: a few thousand pixels show every property.
constexpr int64_t kMaxPixels = 4096;

#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

bool same(const Color& a, const Color& b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

// Every whitespace-separated token converts as strtoll does, keeping the low 32 bits.
void checkTokens(const std::string& text)
{
    for (const std::string& token : splitTokens(text))
        CHECK(R_atoi(token.data(), token.size()) == static_cast<int32_t>(std::strtoll(token.c_str(), nullptr, 10)));
}

void checkSameImage(const PPM& a, const PPM& b)
{
    CHECK(a.width == b.width && a.height == b.height && a.nbPixels == b.nbPixels);
    for (int32_t i = 0; i < a.nbPixels; ++i)
        CHECK(same(a.pixels[i], b.pixels[i]));
}

// Every value left in the reader, taken in batches of 1, 2, 3... tokens so
// that batches end at every place in a block.
std::vector<int32_t> valuesInBatches(Reader& in)
{
    std::vector<int32_t> values;
    int32_t last = 0;
    for (size_t batch = 1;; ++batch) {
        size_t had = values.size();
        values.resize(had + batch);
        size_t got = R_values(in, values.data() + had, batch, last);
        values.resize(had + got);
        if (got < batch)
            return values;
    }
}

// Read in bulk, the tokens are those that are read one by one.
void checkBulkReads(const std::string& text)
{
    std::vector<int32_t> expected;
    Reader one = R_memory(text.data(), text.size());
    for (int32_t v; R_next(one, v);)
        expected.push_back(v);
    Reader bulk = R_memory(text.data(), text.size());
    CHECK(valuesInBatches(bulk) == expected);
}

void checkSameResult(const PPM_Parsed& a, const PPM_Parsed& b)
{
    CHECK(a.status == b.status);
    if (a.status == PPM_Status::ok)
        checkSameImage(a.ppm, b.ppm);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkTokens(text);
    checkBulkReads(text);

    Reader memory = R_memory(text.data(), text.size());
    PPM_Parsed parsed = PPM_parse(memory, kMaxPixels);

    // Read in tiny chunks, or as a stream the reader keeps catching up with,
    // the same input gives the same result.
    if (size > 0) {
        FILE* file = fmemopen(const_cast<char*>(text.data()), size, "r");
        CHECK(file != nullptr);
        char buffer[7];
        Reader chunked = openStream(file, buffer, sizeof buffer);
        PPM_Parsed again = PPM_parse(chunked, kMaxPixels);
        std::fclose(file);
        checkSameResult(parsed, again);
        std::free(again.ppm.pixels);

        Growing written{text, {}};
        for (size_t at = data[0] % 13; at < size; at += 1 + data[at] % 29)
            written.cuts.push_back(at);
        std::vector<char> chunk(64);
        Reader growing = openGrowing(written, chunk);
        again = PPM_parse(growing, kMaxPixels);
        checkSameResult(parsed, again);
        std::free(again.ppm.pixels);
    }
    if (parsed.status != PPM_Status::ok)
        return 0;

    PPM& ppm = parsed.ppm;
    CHECK(ppm.nbPixels == int64_t{ppm.width} * ppm.height);
    CHECK((ppm.pixels != nullptr) == (ppm.nbPixels > 0));

    // What is saved loads back the same, once its comment line is dropped.
    std::string bytes;
    CHECK(saveToString(ppm.pixels, ppm, bytes));
    const std::string comment = "# File created by imagewrightkit Tovalenmirsky\n";
    CHECK(bytes.compare(3, comment.size(), comment) == 0);
    bytes.erase(3, comment.size());
    Reader back = R_memory(bytes.data(), bytes.size());
    PPM_Parsed reloaded = PPM_parse(back, kMaxPixels);
    CHECK(reloaded.status == PPM_Status::ok);
    checkSameImage(ppm, reloaded.ppm);
    std::free(reloaded.ppm.pixels);

    if (ppm.nbPixels > 0) {
        std::vector<Color> original(ppm.pixels, ppm.pixels + ppm.nbPixels);
        I_negative(ppm.pixels, ppm.nbPixels);
        I_negative(ppm.pixels, ppm.nbPixels);
        for (int32_t i = 0; i < ppm.nbPixels; ++i)
            CHECK(same(ppm.pixels[i], original[static_cast<size_t>(i)]));
        for (int k = 0; k < 3; ++k)
            I_permute(ppm.pixels, ppm.nbPixels);
        for (int32_t i = 0; i < ppm.nbPixels; ++i)
            CHECK(same(ppm.pixels[i], original[static_cast<size_t>(i)]));
        // Scaling always lands in the nominal range.
        I_coef(ppm.pixels, ppm.nbPixels, 1.2f);
        for (int32_t i = 0; i < ppm.nbPixels; ++i)
            CHECK(clamp(ppm.pixels[i].r) == ppm.pixels[i].r && clamp(ppm.pixels[i].g) == ppm.pixels[i].g &&
                  clamp(ppm.pixels[i].b) == ppm.pixels[i].b);
    }
    std::free(ppm.pixels);
    return 0;
}

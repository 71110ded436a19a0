// The fast reader and writer against a straightforward reference, on a large
// random image full of odd tokens.
#include "support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// A P3 text whose samples are mostly in range, with tokens of every odd kind
// and whitespace of every kind, in runs of every length.
std::string randomImage(std::mt19937& rng, int width, int height, size_t tokens)
{
    const char* odd[] = {"-45", "+7", "300", "12abc", "x", "-", "+", "007", "2147483648", "-2147483649",
        "99999999999999999999", "00000000000000000000000000000042", "P3", "1e5", "--1", "123456789", "12345678", "-0",
        "\x01\x7f\xff"};
    const char spaces[] = {' ', '\t', '\n', '\v', '\f', '\r'};
    std::string text = "P3 " + std::to_string(width) + " " + std::to_string(height) + " 255";
    for (size_t i = 0; i < tokens; ++i) {
        for (auto n = 1 + rng() % 3 * (rng() % 8 == 0); n > 0; --n)
            text += spaces[rng() % 6];
        if (rng() % 10 == 0)
            text += odd[rng() % std::size(odd)];
        else
            text += std::to_string(rng() % 256);
    }
    return text;
}

// Per-token strtoll, low 32 bits, with the repeat-last rule, and snprintf per value.
std::string reference(const std::string& text)
{
    std::vector<std::string> tokens = splitTokens(text);
    size_t next = 1;
    auto value = [&] {
        const std::string& token = tokens[std::min(next++, tokens.size() - 1)];
        return static_cast<int>(std::strtoll(token.c_str(), nullptr, 10));
    };
    int width = value(), height = value();
    value();
    char number[16];
    std::string out = "P3\n# File created by imagewrightkit Tovalenmirsky\n";
    std::snprintf(number, sizeof number, "%d %d\n", width, height);
    out += number;
    out += "255\n";
    for (long i = 0; i < long{width} * height * 3; ++i) {
        std::snprintf(number, sizeof number, "%d ", value());
        out += number;
    }
    return out;
}

std::string fast(Reader& in)
{
    PPM_Parsed parsed = PPM_parse(in, INT32_MAX);
    EXPECT_EQ(parsed.status, PPM_Status::ok);
    std::string bytes;
    EXPECT_TRUE(saveToString(parsed.ppm.pixels, parsed.ppm, bytes));
    std::free(parsed.ppm.pixels);
    return bytes;
}

// The same bytes from memory, from a stream in chunks, and from a stream that
// the reader keeps catching up with, mid-token and mid-pixel.
void expectReferenceBytes(const std::string& text, const std::string& expected)
{
    Reader memory = R_memory(text.data(), text.size());
    EXPECT_EQ(fast(memory), expected) << "memory";

    // Chunks of an odd size put chunk ends inside tokens and whitespace runs.
    std::vector<char> buffer(4099);
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    Reader chunked = openStream(stream, buffer.data(), buffer.size());
    EXPECT_EQ(fast(chunked), expected) << "stream";
    std::fclose(stream);

    std::mt19937 rng(static_cast<unsigned>(text.size()));
    Growing written{text, {}};
    for (size_t at = rng() % 5000; at < text.size(); at += rng() % 5000)
        written.cuts.push_back(at);
    Reader growing = openGrowing(written, buffer);
    EXPECT_EQ(fast(growing), expected) << "growing";
}

TEST(Equivalence, FastPathsGiveTheReferenceBytes)
{
    std::mt19937 rng(12345);
    const int width = 200, height = 300;
    // A complete list, and one that runs out two thirds of the way.
    for (size_t tokens : {size_t{3} * width * height + 10, size_t{2} * width * height}) {
        SCOPED_TRACE(tokens);
        std::string text = randomImage(rng, width, height, tokens);
        expectReferenceBytes(text, reference(text));
    }
    // Whitespace filling one half: a stretch of the input with no token at all.
    std::string text = randomImage(rng, width, height, size_t{width} * height);
    std::string blank(text.size() + 1000, ' ');
    size_t header = std::string("P3 200 300 255").size();
    for (const std::string& spaced : {text + blank, text.substr(0, header) + blank + text.substr(header)}) {
        SCOPED_TRACE(spaced.size());
        expectReferenceBytes(spaced, reference(spaced));
    }
}

} // namespace

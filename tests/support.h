// Helpers shared by the tests: a text's tokens as the C library splits them, and a P3 file saved to memory.
#pragma once

#include "ppm.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A reader over a stream, in chunks of at most `capacity` bytes; a failed read ends it.
inline Reader openStream(FILE* file, char* buffer, size_t capacity)
{
    return R_source(
        [](void* f, char* b, size_t n) { return std::fread(b, 1, n, static_cast<FILE*>(f)); }, file, buffer, capacity);
}

inline std::vector<std::string> splitTokens(const std::string& text)
{
    std::vector<std::string> tokens;
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > start)
            tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

// The bytes PPM_write gives; false if it reported a failure.
inline bool saveToString(const Color* pixels, PPM ppm, std::string& bytes)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    bool ok = out != nullptr && PPM_write(out, pixels, ppm);
    if (out != nullptr)
        std::fclose(out);
    bytes.assign(data == nullptr ? "" : data, size);
    std::free(data);
    return ok;
}

// A source that is still being written: it gives its text up to the next cut,
// and only on the next read goes past it, as a file read faster than its
// writer writes it. The reader thus catches up at every cut.
struct Growing {
    std::string text;
    std::vector<size_t> cuts; // ascending offsets
    size_t at = 0;
    size_t cut = 0; // cuts passed
};

inline size_t growingRead(void* source, char* buffer, size_t size)
{
    auto& g = *static_cast<Growing*>(source);
    while (g.cut < g.cuts.size() && g.cuts[g.cut] <= g.at)
        ++g.cut;
    size_t stop = g.cut < g.cuts.size() ? std::min(g.cuts[g.cut], g.text.size()) : g.text.size();
    size_t n = std::min(size, stop - std::min(stop, g.at));
    std::memcpy(buffer, g.text.data() + g.at, n);
    g.at += n;
    return n;
}

// A reader over g through `buffer`.
inline Reader openGrowing(Growing& g, std::vector<char>& buffer)
{
    return R_source(growingRead, &g, buffer.data(), buffer.size());
}

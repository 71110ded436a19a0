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

// A stream that is still being written: it gives its text up to the next cut,
// then nothing until the reader waits, as a file read faster than its writer
// writes it. The reader thus catches up at every cut.
struct Growing {
    std::string text;
    std::vector<size_t> cuts; // ascending offsets
    size_t at = 0;
    size_t cut = 0; // cuts passed
};

inline ssize_t growingRead(void* cookie, char* buffer, size_t size)
{
    auto& g = *static_cast<Growing*>(cookie);
    size_t stop = g.cut < g.cuts.size() ? std::min(g.cuts[g.cut], g.text.size()) : g.text.size();
    size_t n = std::min(size, stop - std::min(stop, g.at));
    std::memcpy(buffer, g.text.data() + g.at, n);
    g.at += n;
    return static_cast<ssize_t>(n);
}

inline bool growingWait(void* cookie)
{
    auto& g = *static_cast<Growing*>(cookie);
    return g.cut++ < g.cuts.size();
}

// A reader over g through `buffer`; close the stream it returns when done.
inline Reader openGrowing(Growing& g, std::vector<char>& buffer, FILE*& stream)
{
    stream = fopencookie(&g, "r", cookie_io_functions_t{growingRead, nullptr, nullptr, nullptr});
    return R_growing(stream, buffer.data(), buffer.size(), growingWait, &g);
}

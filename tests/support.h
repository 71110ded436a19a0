// Helpers shared by the tests: a text's tokens as the C library splits them, and a P3 file saved to memory.
#pragma once

#include "ppm.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
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

// Formats integers into a caller's buffer and writes it to a stream in large chunks.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

struct Writer {
    FILE* file;
    char* buffer;
    size_t capacity;
    size_t used;
    bool failed; // a write fell short; errno tells why, and nothing more is written
};

// The longest text W_number appends: "-2147483648" and its separator.
inline constexpr size_t kNumberRoom = 12;

Writer W_open(FILE* file, char* buffer, size_t capacity);

// Makes room for `bytes` more (at most the capacity), writing out what is held.
// False once a write has failed.
bool W_reserve(Writer& out, size_t bytes);

bool W_text(Writer& out, const char* text);

// Writes out what is held; false once a write has failed.
bool W_flush(Writer& out);

namespace writer_detail {
struct Decimal {
    char text[4]; // the digits and a trailing space
    uint8_t length;
};
// "0 " to "255 ", the values nearly every sample holds.
inline constexpr std::array<Decimal, 256> kSmall = [] {
    std::array<Decimal, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        Decimal& d = table[v];
        if (v >= 100)
            d.text[d.length++] = static_cast<char>('0' + v / 100);
        if (v >= 10)
            d.text[d.length++] = static_cast<char>('0' + v / 10 % 10);
        d.text[d.length++] = static_cast<char>('0' + v % 10);
        d.text[d.length++] = ' ';
    }
    return table;
}();
} // namespace writer_detail

// Appends v in decimal and a space. The caller has reserved kNumberRoom bytes.
inline void W_sample(Writer& out, int32_t v)
{
    char* at = out.buffer + out.used;
    if (static_cast<uint32_t>(v) < 256) {
        const writer_detail::Decimal& d = writer_detail::kSmall[static_cast<uint32_t>(v)];
        std::memcpy(at, d.text, sizeof d.text);
        out.used += d.length;
        return;
    }
    char* end = std::to_chars(at, at + kNumberRoom, v).ptr;
    *end++ = ' ';
    out.used += static_cast<size_t>(end - at);
}

// Appends v in decimal and the separator byte. The caller has reserved kNumberRoom bytes.
inline void W_number(Writer& out, int32_t v, char separator)
{
    char* at = out.buffer + out.used;
    char* end = std::to_chars(at, at + kNumberRoom, v).ptr;
    *end++ = separator;
    out.used += static_cast<size_t>(end - at);
}

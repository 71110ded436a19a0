// Formats integers as decimal text into a caller's buffer, with a separator after each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The longest text W_number or W_put appends: "-2147483648" and a separator.
inline constexpr size_t kNumberRoom = 12;

// Appends v in decimal and the separator byte at `at`, with kNumberRoom bytes
// free there; returns the end.
char* W_number(char* at, int32_t v, char separator);

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

// W_number with a space, from a table for the values 0 to 255.
inline char* W_put(char* at, int32_t v)
{
    if (static_cast<uint32_t>(v) >= 256)
        return W_number(at, v, ' ');
    const writer_detail::Decimal& d = writer_detail::kSmall[static_cast<uint32_t>(v)];
    std::memcpy(at, d.text, sizeof d.text);
    return at + d.length;
}

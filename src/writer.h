// Formats integers into a caller's buffer and writes it to a stream in whole chunks.
#pragma once

#include <array>
#include <future>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Bytes are written in chunks of exactly `chunk` bytes, so that every write but
// the last fills whole pages. The caller's buffer is split in two halves of a
// chunk plus kWriterSlack bytes (room for the number that crosses the chunk's
// end): one is filled while the other is written out by another thread, so
// formatting and the kernel's copying overlap.
struct Writer {
    FILE* file;
    char* halves[2];
    char* buffer; // the half being filled
    size_t chunk;
    size_t used;
    std::future<int> pending; // the other half's write: 0, or the errno it failed with
    bool failed; // a write fell short; errno tells why, and nothing more is written
};

// The longest text W_number or W_sample appends: "-2147483648" and a separator.
inline constexpr size_t kNumberRoom = 12;
// Room for a pixel's three numbers or one line of text past the chunk's end.
inline constexpr size_t kWriterSlack = 64;

// `buffer` holds `size` bytes, more than twice kWriterSlack.
Writer W_open(FILE* file, char* buffer, size_t size);

// Writes out a full chunk, keeping what lies past it; false once a write has failed.
bool W_drain(Writer& out);

// Makes sure kWriterSlack bytes may be appended; false once a write has failed.
inline bool W_reserve(Writer& out)
{
    return out.used < out.chunk ? !out.failed : W_drain(out);
}

// Appends text of at most kWriterSlack bytes.
bool W_text(Writer& out, const char* text);

// Writes out everything held; false once a write has failed.
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

// Where the bytes appended next go, and the end of the chunk being filled:
// appending may go past it by kWriterSlack bytes. Hot loops keep their own
// cursor, which stores into the buffer cannot be taken to change, and write
// it back with W_advance.
inline char* W_cursor(const Writer& out)
{
    return out.buffer + out.used;
}
inline const char* W_chunkEnd(const Writer& out)
{
    return out.buffer + out.chunk;
}
inline void W_advance(Writer& out, const char* cursor)
{
    out.used = static_cast<size_t>(cursor - out.buffer);
}

namespace writer_detail {
inline char* decimal(char* at, int32_t v, char separator)
{
    at = std::to_chars(at, at + kNumberRoom, v).ptr;
    *at++ = separator;
    return at;
}
} // namespace writer_detail

// Appends v in decimal and the separator byte, within reserved room.
inline void W_number(Writer& out, int32_t v, char separator)
{
    W_advance(out, writer_detail::decimal(W_cursor(out), v, separator));
}

// Appends v in decimal and a space at `at`, within reserved room; returns the end.
inline char* W_put(char* at, int32_t v)
{
    if (static_cast<uint32_t>(v) >= 256)
        return writer_detail::decimal(at, v, ' ');
    const writer_detail::Decimal& d = writer_detail::kSmall[static_cast<uint32_t>(v)];
    std::memcpy(at, d.text, sizeof d.text);
    return at + d.length;
}

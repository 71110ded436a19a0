// Splits a byte stream into whitespace-separated tokens and converts each one as atoi does.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills `buffer` with up to `capacity` bytes of a source and returns how many;
// 0 only at the source's end. It may give fewer than asked, as it has them.
using R_Read = size_t (*)(void* source, char* buffer, size_t capacity);

// A cursor over a source read in chunks into a caller's buffer, or over bytes
// already in memory. The cursor never stands inside a token: it is at the
// input's start, or just past a token or a whitespace byte.
struct Reader {
    R_Read read; // null for bytes in memory
    void* source;
    char* buffer;
    size_t capacity;
    const char* cur;
    const char* end;
    bool exhausted = false;      // the input has ended; every later read finds nothing
    const char* block = nullptr; // 64 bytes of the chunk from here, when not null,
    uint64_t spaces = 0;         // have their whitespace marked in these bits
    uint64_t digits = 0;         // and their decimal digits in these
};

Reader R_source(R_Read read, void* source, char* buffer, size_t capacity);
Reader R_memory(const char* data, size_t size);

// Whether c is one of the six bytes that separate tokens.
bool R_isSpace(int c);

// The byte at the cursor, or -1 at the input's end; R_take moves past it.
// For checks that look at a token's bytes rather than its value.
int R_peek(Reader& in);
void R_take(Reader& in);

// The value of the next token, however long; false once the input has no more.
bool R_next(Reader& in, int32_t& value);

// The values of the next `count` tokens, as R_next gives them one by one, into
// `values`; `last` becomes the last value read. Returns how many were read:
// fewer than `count` only when the input has run out.
size_t R_values(Reader& in, int32_t* values, size_t count, int32_t& last);

// A token of n bytes without whitespace, bytes past a NUL included, as strtol
// converts it with a 64-bit long (saturating at -2^63 and 2^63 - 1), then its
// low 32 bits: (int)strtol(token, nullptr, 10) where long has 64 bits, and the
// same value on every platform.
int32_t R_atoi(const char* token, size_t n);

// Splits a byte stream into whitespace-separated tokens and converts each one as atoi does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A cursor over a stream read in chunks into a caller's buffer, or over bytes
// already in memory (no file).
struct Reader {
    FILE* file;
    char* buffer;
    size_t capacity;
    const char* cur;
    const char* end;
    bool exhausted;     // the input has ended; every later read finds nothing
    const char* block;  // 64 bytes of the chunk from here, when not null,
    uint64_t spaces;    // have their whitespace marked in these bits
};

struct Token {
    int32_t value; // what atoi gives for the token
    bool magic;    // the token is exactly "P3"
};

Reader R_open(FILE* file, char* buffer, size_t capacity);
Reader R_memory(const char* data, size_t size);

// The next token, however long; false once the input has no more.
bool R_next(Reader& in, Token& token);

// (int)strtol(token, nullptr, 10) for a token of n bytes without whitespace,
// bytes past a NUL included: strtol saturates at the range of long, and the
// conversion keeps the low 32 bits.
int32_t R_atoi(const char* token, size_t n);

// Splits a byte stream into whitespace-separated tokens and converts each one as atoi does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A cursor over a stream read in chunks into a caller's buffer, over a file
// descriptor read the same way with pread, or over bytes already in memory.
struct Reader {
    FILE* file;         // the stream, if any;
    int fd;             // else the descriptor read from `offset`, or -1 for memory
    int64_t offset;
    uint64_t remaining; // bytes the stream or descriptor may still give
    char* buffer;
    size_t capacity;
    const char* cur;
    const char* end;
    bool exhausted;     // the input has ended; every later read finds nothing
    const char* block;  // 64 bytes of the chunk from here, when not null,
    uint64_t spaces;    // have their whitespace marked in these bits
    uint64_t digits;    // and their decimal digits in these
};

struct Token {
    int32_t value; // what atoi gives for the token
    bool magic;    // the token is exactly "P3"
};

Reader R_open(FILE* file, char* buffer, size_t capacity);
Reader R_memory(const char* data, size_t size);
// The file open on fd from `offset` on, through the caller's buffer.
Reader R_descriptor(int fd, int64_t offset, char* buffer, size_t capacity);

// The next token, however long; false once the input has no more.
bool R_next(Reader& in, Token& token);

// The values of the next `count` tokens, as R_next gives them one by one, into
// `values`; `last` becomes the last token read. Returns how many were read:
// fewer than `count` only when the input has run out.
size_t R_values(Reader& in, int32_t* values, size_t count, Token& last);

// (int)strtol(token, nullptr, 10) for a token of n bytes without whitespace,
// bytes past a NUL included: strtol saturates at the range of long, and the
// conversion keeps the low 32 bits.
int32_t R_atoi(const char* token, size_t n);

// The input left in `in`, to be read by two readers at once: `in` stops after
// the first `firstBytes` bytes, and `rest`, reading into its own buffer, covers
// the whole input left, so that it can count the first part's tokens with
// R_skip and then read the second part.
struct R_Split {
    Reader rest;
    uint64_t firstBytes;
};

// Chooses a cut at a whitespace byte near the middle of the input left, when
// at least minBytes are left and the input can be read from two places:
// bytes in memory, or a regular file. False when there is no such cut.
bool R_split(const Reader& in, uint64_t minBytes, char* buffer, size_t capacity, R_Split& split);

// Makes `in` end after its next `bytes` bytes.
void R_limit(Reader& in, uint64_t bytes);

// Passes over the next `bytes` bytes, which end at whitespace or at the
// input's end, and gives how many tokens start in them; false if the input
// ended first.
bool R_skip(Reader& in, uint64_t bytes, uint64_t& tokens);

#include "reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The C locale's isspace: these bytes, and only these, separate tokens.
constexpr std::array<bool, 256> kSpace = [] {
    std::array<bool, 256> space{};
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        space[static_cast<unsigned char>(c)] = true;
    return space;
}();

bool isSpace(char c)
{
    return kSpace[static_cast<unsigned char>(c)];
}

// Magnitudes are counted up to 2^63, LONG_MIN's; anything larger stays there.
constexpr uint64_t kSaturated = uint64_t{1} << 63;

enum Phase : uint8_t { kStart, kSigned, kDigits, kDone };

// A conversion in progress, so that a token may arrive in several chunks.
struct Conversion {
    uint64_t magnitude = 0;
    bool negative = false;
    Phase phase = kStart;
};

// Consumes token bytes from p up to the first whitespace or end; returns where it stopped.
const char* feed(Conversion& c, const char* p, const char* end)
{
    if (c.phase == kStart && p != end) {
        if (*p == '-' || *p == '+')
            c.negative = *p++ == '-';
        c.phase = kSigned;
    }
    if (c.phase == kSigned && p != end)
        c.phase = static_cast<unsigned char>(*p - '0') <= 9 ? kDigits : kDone;
    if (c.phase == kDigits) {
        for (; p != end; ++p) {
            unsigned digit = static_cast<unsigned char>(*p - '0');
            if (digit > 9) {
                c.phase = kDone;
                break;
            }
            c.magnitude = c.magnitude > (kSaturated - digit) / 10 ? kSaturated : c.magnitude * 10 + digit;
        }
    }
    while (p != end && !isSpace(*p))
        ++p;
    return p;
}

int32_t finish(const Conversion& c)
{
    // The long strtol would return, as bits; the cast to int keeps the low 32.
    uint64_t bits;
    if (c.negative)
        bits = c.magnitude >= kSaturated ? kSaturated : 0 - c.magnitude;
    else
        bits = c.magnitude >= kSaturated ? kSaturated - 1 : c.magnitude;
    return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

// Whether bytes [p, end), standing at offset `at` of a token, agree with "P3".
bool agreesWithMagic(size_t at, const char* p, const char* end)
{
    for (; at < 2 && p != end; ++at, ++p) {
        if (*p != "P3"[at])
            return false;
    }
    return true;
}

// Reads the next chunk; false, with the reader exhausted, at the input's end.
// A failed read ends the input as the end of the file does.
bool refill(Reader& in)
{
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(in.capacity, in.remaining));
    size_t n = 0;
    if (in.exhausted || wanted == 0) {
    } else if (in.file != nullptr) {
        n = std::fread(in.buffer, 1, wanted, in.file);
    } else if (in.fd >= 0) {
        ssize_t got = pread(in.fd, in.buffer, wanted, in.offset);
        n = got > 0 ? static_cast<size_t>(got) : 0;
        in.offset += static_cast<int64_t>(n);
    }
    in.remaining -= n;
    if (n == 0) {
        in.exhausted = true;
        return false;
    }
    in.cur = in.buffer;
    in.end = in.buffer + n;
    in.block = nullptr;
    return true;
}

// Whitespace is found 64 bytes at a time, as a bit mask; a token's place then
// follows from bit operations, not from a byte-by-byte walk.
constexpr ptrdiff_t kBlock = 64;

// For 64 readable bytes at p, bit i of `spaces` set when p[i] is whitespace and
// bit i of `digits` when it is a decimal digit, from one pass over the bytes.
void markBlock(const char* p, uint64_t& spaces, uint64_t& digits)
{
    spaces = 0;
    digits = 0;
#ifdef __SSE2__
    const __m128i blank = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), four = _mm_set1_epi8(4);
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
    for (int i = 0; i < 4; ++i) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        // '\t' to '\r' are the five bytes whose distance above '\t' is at most 4.
        __m128i aboveTab = _mm_sub_epi8(bytes, tab);
        __m128i space = _mm_or_si128(_mm_cmpeq_epi8(bytes, blank),
                                     _mm_cmpeq_epi8(_mm_min_epu8(aboveTab, four), aboveTab));
        __m128i aboveZero = _mm_sub_epi8(bytes, zero);
        __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(aboveZero, nine), aboveZero);
        spaces |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(space))) << (16 * i);
        digits |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(digit))) << (16 * i);
    }
#else
    for (int i = 0; i < kBlock; ++i) {
        spaces |= static_cast<uint64_t>(isSpace(p[i])) << i;
        digits |= static_cast<uint64_t>(static_cast<unsigned char>(p[i] - '0') <= 9) << i;
    }
#endif
}

// The value of 1 to 4 digits at p, with four bytes readable at p.
int32_t shortDigitsValue(const char* p, unsigned length)
{
    uint32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    if constexpr (std::endian::native != std::endian::little)
        bytes = __builtin_bswap32(bytes);
    // Borrows only run towards later bytes, which the shift drops.
    uint32_t digits = (bytes - 0x30303030) << (8 * (4 - length));
    digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF;
    return static_cast<int32_t>((digits * 100 + (digits >> 16)) & 0xFFFF);
}

// The value of `length` (1 to 8) bytes at p when all are digits, with at least
// eight bytes readable at p; false otherwise. The bytes are converted at once.
bool digitsValue(const char* p, unsigned length, int32_t& value)
{
    if constexpr (std::endian::native != std::endian::little) {
        return false;
    } else {
        uint64_t bytes;
        std::memcpy(&bytes, p, sizeof bytes);
        constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kThree = 0x3030303030303030;
        // A byte is a digit when it and the byte plus 6 both have 3 as high nibble.
        // Carries only run towards later bytes, beyond the first one not a digit.
        uint64_t notDigit = ((bytes & kHigh) ^ kThree) | (((bytes + 0x0606060606060606) & kHigh) ^ kThree);
        unsigned shift = 8 * (8 - length);
        if ((notDigit << shift) != 0)
            return false;
        // The digits moved to the top, as an eight-digit number with leading zeros.
        uint64_t digits = (bytes - kThree) << shift;
        digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FF;
        digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFF;
        digits = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFF;
        value = static_cast<int32_t>(digits);
        return true;
    }
}

} // namespace

Reader R_open(FILE* file, char* buffer, size_t capacity)
{
    return Reader{file, -1, 0, UINT64_MAX, buffer, capacity, buffer, buffer, false, nullptr, 0, 0};
}

Reader R_memory(const char* data, size_t size)
{
    return Reader{nullptr, -1, 0, 0, nullptr, 0, data, data + size, false, nullptr, 0, 0};
}

Reader R_descriptor(int fd, int64_t offset, char* buffer, size_t capacity)
{
    return Reader{nullptr, fd, offset, UINT64_MAX, buffer, capacity, buffer, buffer, false, nullptr, 0, 0};
}

namespace {

// Any token at p, the first byte of one, however long: converted in one pass
// per chunk, as a token only continues into the next chunk when it runs up to
// the end of this one.
bool longToken(Reader& in, const char* p, Token& token)
{
    Conversion conversion;
    size_t length = 0;
    bool magic = true;
    for (;;) {
        const char* stop = feed(conversion, p, in.end);
        magic = magic && agreesWithMagic(length, p, stop);
        length += static_cast<size_t>(stop - p);
        in.cur = stop;
        if (stop != in.end || !refill(in))
            break;
        p = in.cur;
    }
    token = Token{finish(conversion), magic && length == 2};
    return true;
}

// The next token, found byte by byte.
bool nextByBytes(Reader& in, Token& token)
{
    for (;;) {
        while (in.cur != in.end && isSpace(*in.cur))
            ++in.cur;
        if (in.cur != in.end)
            return longToken(in, in.cur, token);
        if (!refill(in))
            return false;
    }
}

} // namespace

namespace {

// The value and kind of a token of `length` bytes at t lying wholly inside the
// current block, with eight bytes readable at t.
Token blockToken(const char* t, unsigned length)
{
    Token token{0, false};
    if (length <= 8 && digitsValue(t, length, token.value))
        return token;
    Conversion conversion;
    feed(conversion, t, t + length);
    return Token{finish(conversion), length == 2 && t[0] == 'P' && t[1] == '3'};
}

// Starts the block at in.cur; false when too little of the chunk is left for one.
bool startBlock(Reader& in)
{
    if (in.end - in.cur < kBlock + 8)
        return false;
    in.block = in.cur;
    markBlock(in.cur, in.spaces, in.digits);
    return true;
}

} // namespace

bool R_next(Reader& in, Token& token)
{
    for (;;) {
        const char* p = in.cur;
        if ((in.block == nullptr || p >= in.block + kBlock) && !startBlock(in))
            return nextByBytes(in, token);
        auto at = static_cast<unsigned>(p - in.block);
        uint64_t text = ~in.spaces >> at;
        if (text == 0) {
            in.cur = in.block + kBlock;
            continue;
        }
        unsigned start = at + static_cast<unsigned>(std::countr_zero(text));
        uint64_t after = in.spaces >> start;
        if (after == 0) {
            // The token runs past the block.
            in.cur = in.block + start;
            in.block = nullptr;
            return nextByBytes(in, token);
        }
        auto length = static_cast<unsigned>(std::countr_zero(after));
        in.cur = in.block + start + length;
        token = blockToken(in.block + start, length);
        return true;
    }
}

size_t R_values(Reader& in, int32_t* values, size_t count, Token& last)
{
    size_t n = 0;
    while (n < count) {
        if ((in.block == nullptr || in.cur >= in.block + kBlock) && !startBlock(in)) {
            if (!R_next(in, last))
                return n;
            values[n++] = last.value;
            continue;
        }
        // The cursor never stands inside a token, so a token starts at every
        // text byte past it that follows whitespace or opens the block.
        const char* block = in.block;
        uint64_t spaces = in.spaces;
        uint64_t digits = in.digits;
        auto at = static_cast<unsigned>(in.cur - block);
        uint64_t starts = ~spaces & (spaces << 1 | 1) & (~uint64_t{0} << at);
        // A token running up to the block's end may go on past it.
        uint64_t open = 0;
        if ((spaces >> 63) == 0 && starts != 0) {
            open = uint64_t{1} << (63 - std::countl_zero(starts));
            starts &= ~open;
        }
        // Text other than digits, or five text bytes in a row, means a block
        // whose tokens are not all numbers of at most four digits.
        uint64_t text = ~spaces & (~uint64_t{0} << at) & (open - 1);
        uint64_t five = text & text >> 1;
        five &= five >> 2;
        five &= text >> 4;
        bool allShort = (text & ~digits) == 0 && five == 0;
        Token token = last;
        for (; starts != 0; starts &= starts - 1) {
            auto start = static_cast<unsigned>(std::countr_zero(starts));
            auto length = static_cast<unsigned>(std::countr_zero(spaces >> start));
            token = allShort ? Token{shortDigitsValue(block + start, length), false} : blockToken(block + start, length);
            values[n++] = token.value;
            if (n == count) {
                in.cur = block + start + length;
                last = token;
                return n;
            }
        }
        last = token;
        in.cur = block + kBlock;
        if (open != 0) {
            in.cur = block + std::countr_zero(open);
            in.block = nullptr;
            if (!R_next(in, last))
                return n;
            values[n++] = last.value;
        }
    }
    return n;
}

int32_t R_atoi(const char* token, size_t n)
{
    Conversion conversion;
    feed(conversion, token, token + n);
    return finish(conversion);
}

namespace {

// How far past the middle a cut may be looked for: a token longer than this
// there leaves the input whole.
constexpr size_t kCutWindow = 4096;

// The offset of the first whitespace byte in `window`, or its size if none.
size_t firstSpace(const char* window, size_t size)
{
    return static_cast<size_t>(std::find_if(window, window + size, isSpace) - window);
}

} // namespace

bool R_split(const Reader& in, uint64_t minBytes, char* buffer, size_t capacity, R_Split& split)
{
    if (in.exhausted)
        return false;
    auto held = static_cast<uint64_t>(in.end - in.cur);
    bool inMemory = in.file == nullptr && in.fd < 0;
    // A stream that is a regular file can be read again from any offset.
    int fd = in.file != nullptr ? fileno(in.file) : in.fd;
    int64_t here = 0; // the file offset of in.cur
    uint64_t left = held;
    if (!inMemory) {
        struct stat status;
        if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
            return false;
        int64_t consumed = in.file != nullptr ? ftello(in.file) : in.offset;
        if (consumed < 0)
            return false;
        here = consumed - static_cast<int64_t>(held);
        uint64_t inFile = static_cast<uint64_t>(std::max<int64_t>(status.st_size - here, 0));
        // What is held and what the stream may still give; the sum never overflows.
        left = in.remaining < inFile ? std::min(inFile, in.remaining + held) : inFile;
    }
    if (left < minBytes)
        return false;
    uint64_t middle = left / 2;
    auto size = static_cast<size_t>(std::min<uint64_t>(kCutWindow, left - middle));
    char copy[kCutWindow];
    const char* window = copy;
    if (inMemory) {
        window = in.cur + middle;
    } else {
        ssize_t got = pread(fd, copy, size, here + static_cast<int64_t>(middle));
        if (got <= 0)
            return false;
        size = static_cast<size_t>(got);
    }
    size_t space = firstSpace(window, size);
    if (space == size)
        return false;
    split = {inMemory ? R_memory(in.cur, held) : R_descriptor(fd, here, buffer, capacity), middle + space};
    if (!inMemory)
        split.rest.remaining = left;
    return true;
}

void R_limit(Reader& in, uint64_t bytes)
{
    auto held = static_cast<uint64_t>(in.end - in.cur);
    if (bytes <= held) {
        in.end = in.cur + bytes;
        in.remaining = 0;
        in.block = nullptr; // its mask may reach past the new end
    } else {
        in.remaining = std::min(in.remaining, bytes - held);
    }
}

bool R_skip(Reader& in, uint64_t bytes, uint64_t& tokens)
{
    tokens = 0;
    in.block = nullptr;
    bool afterSpace = true; // the cursor never stands inside a token
    while (bytes > 0) {
        if (in.cur == in.end && !refill(in))
            return false;
        size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, static_cast<uint64_t>(in.end - in.cur)));
        const char* p = in.cur;
        const char* stop = p + n;
        // Whole blocks a mask at a time; a token starts at text after whitespace.
        for (; stop - p >= kBlock; p += kBlock) {
            uint64_t spaces, digits;
            markBlock(p, spaces, digits);
            tokens += static_cast<unsigned>(std::popcount(~spaces & (spaces << 1 | uint64_t{afterSpace})));
            afterSpace = (spaces >> 63) != 0;
        }
        for (; p != stop; ++p) {
            bool space = isSpace(*p);
            tokens += !space && afterSpace;
            afterSpace = space;
        }
        in.cur = stop;
        bytes -= n;
    }
    return true;
}

#include "reader.h"

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

// Magnitudes are counted up to 2^63, that of a 64-bit long's minimum; anything larger stays there.
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
    // What strtol with a 64-bit long would return, as bits; the cast to int keeps the low 32.
    uint64_t bits;
    if (c.negative)
        bits = c.magnitude >= kSaturated ? kSaturated : 0 - c.magnitude;
    else
        bits = c.magnitude >= kSaturated ? kSaturated - 1 : c.magnitude;
    return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

// Reads the next chunk; false, with the reader exhausted, at the input's end.
bool refill(Reader& in)
{
    size_t n = in.exhausted || in.read == nullptr ? 0 : in.read(in.source, in.buffer, in.capacity);
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
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + ptrdiff_t{16} * i));
        // '\t' to '\r' are the five bytes whose distance above '\t' is at most 4.
        __m128i aboveTab = _mm_sub_epi8(bytes, tab);
        __m128i space =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, blank), _mm_cmpeq_epi8(_mm_min_epu8(aboveTab, four), aboveTab));
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

// The first bytes at p as a little-endian integer, whatever the machine's order.
template <class Word>
Word loadLittle(const char* p)
{
    Word word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big)
        word = static_cast<Word>(sizeof word == 8 ? __builtin_bswap64(word) : __builtin_bswap32(word));
    return word;
}

// Whether the first `length` (1 to 8) of the eight bytes are all decimal digits.
bool isMadeOfDigits(uint64_t bytes, unsigned length)
{
    constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kThree = 0x3030303030303030;
    // A byte is a digit when it and the byte plus 6 both have 3 as high nibble.
    // Carries only run towards later bytes, beyond the first one not a digit.
    uint64_t notDigit = ((bytes & kHigh) ^ kThree) | (((bytes + 0x0606060606060606) & kHigh) ^ kThree);
    return (notDigit << (8 * (8 - length))) == 0;
}

// The value of the first `length` (1 to 8) bytes, all decimal digits, at once.
int32_t parseEightDigits(uint64_t bytes, unsigned length)
{
    // The digits moved to the top, as an eight-digit number with leading zeros.
    uint64_t digits = (bytes - 0x3030303030303030) << (8 * (8 - length));
    digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FF;
    digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFF;
    digits = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFF;
    return static_cast<int32_t>(digits);
}

// The same for 1 to 4 digits, in fewer steps.
int32_t parseFourDigits(uint32_t bytes, unsigned length)
{
    // Borrows only run towards later bytes, which the shift drops.
    uint32_t digits = (bytes - 0x30303030) << (8 * (4 - length));
    digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF;
    return static_cast<int32_t>((digits * 100 + (digits >> 16)) & 0xFFFF);
}

// The value of a token of `length` bytes at t, with eight bytes readable there:
// the fastest conversion that is exact for it. `shortDigits` says the token is
// known to be 1 to 4 digits.
int32_t tokenValue(const char* t, unsigned length, bool shortDigits)
{
    if (shortDigits)
        return parseFourDigits(loadLittle<uint32_t>(t), length);
    if (length <= 8) {
        auto bytes = loadLittle<uint64_t>(t);
        if (isMadeOfDigits(bytes, length))
            return parseEightDigits(bytes, length);
    }
    return R_atoi(t, length);
}

// Bit i set where a token starts in a block whose whitespace is `spaces`: text
// that follows whitespace, or that opens the block when `afterSpace`.
uint64_t tokenStarts(uint64_t spaces, bool afterSpace)
{
    return ~spaces & (spaces << 1 | uint64_t{afterSpace});
}

// Any token at the cursor, however long: converted in one pass per chunk, as a
// token only continues into the next chunk when it runs up to this one's end.
bool longToken(Reader& in, int32_t& value)
{
    Conversion conversion;
    for (;;) {
        in.cur = feed(conversion, in.cur, in.end);
        if (in.cur != in.end || !refill(in))
            break;
    }
    value = finish(conversion);
    return true;
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

bool inBlock(const Reader& in)
{
    return in.block != nullptr && in.cur < in.block + kBlock;
}

} // namespace

Reader R_source(R_Read read, void* source, char* buffer, size_t capacity)
{
    return Reader{.read = read, .source = source, .buffer = buffer, .capacity = capacity, .cur = buffer, .end = buffer};
}

Reader R_memory(const char* data, size_t size)
{
    return Reader{
        .read = nullptr, .source = nullptr, .buffer = nullptr, .capacity = 0, .cur = data, .end = data + size};
}

bool R_isSpace(int c)
{
    return c >= 0 && c < 256 && kSpace[static_cast<size_t>(c)];
}

int R_peek(Reader& in)
{
    if (in.cur == in.end && !refill(in))
        return -1;
    return static_cast<unsigned char>(*in.cur);
}

void R_take(Reader& in)
{
    if (R_peek(in) != -1)
        ++in.cur;
}

// Found byte by byte: the tokens that R_values does not take in blocks are
// few, the header's and those that run across a block's end.
bool R_next(Reader& in, int32_t& value)
{
    for (;;) {
        while (in.cur != in.end && isSpace(*in.cur))
            ++in.cur;
        if (in.cur != in.end)
            return longToken(in, value);
        if (!refill(in))
            return false;
    }
}

size_t R_values(Reader& in, int32_t* values, size_t count, int32_t& last)
{
    size_t n = 0;
    while (n < count) {
        if (!inBlock(in) && !startBlock(in)) {
            if (!R_next(in, last))
                return n;
            values[n++] = last;
            continue;
        }
        const char* block = in.block;
        uint64_t spaces = in.spaces;
        auto at = static_cast<unsigned>(in.cur - block);
        // Every token starting past the cursor; as the cursor never stands
        // inside a token, the text at it opens one.
        uint64_t starts = tokenStarts(spaces, true) & (~uint64_t{0} << at);
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
        bool shortDigits = (text & ~in.digits) == 0 && five == 0;
        int32_t value = last;
        for (; starts != 0; starts &= starts - 1) {
            auto start = static_cast<unsigned>(std::countr_zero(starts));
            auto length = static_cast<unsigned>(std::countr_zero(spaces >> start));
            value = tokenValue(block + start, length, shortDigits);
            values[n++] = value;
            if (n == count) {
                in.cur = block + start + length;
                last = value;
                return n;
            }
        }
        last = value;
        in.cur = block + kBlock;
        if (open != 0) {
            in.cur = block + std::countr_zero(open);
            in.block = nullptr;
            if (!R_next(in, last))
                return n;
            values[n++] = last;
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

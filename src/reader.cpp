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

bool refill(Reader& in)
{
    if (in.exhausted || in.file == nullptr) {
        in.exhausted = true;
        return false;
    }
    size_t n = std::fread(in.buffer, 1, in.capacity, in.file);
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

// Bit i set when p[i] is whitespace, for 64 readable bytes at p.
uint64_t spaceMask(const char* p)
{
    uint64_t mask = 0;
#ifdef __SSE2__
    const __m128i blank = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), four = _mm_set1_epi8(4);
    for (int i = 0; i < 4; ++i) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        // '\t' to '\r' are the five bytes whose distance above '\t' is at most 4.
        __m128i above = _mm_sub_epi8(bytes, tab);
        __m128i space = _mm_or_si128(_mm_cmpeq_epi8(bytes, blank), _mm_cmpeq_epi8(_mm_min_epu8(above, four), above));
        mask |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(space))) << (16 * i);
    }
#else
    for (int i = 0; i < kBlock; ++i)
        mask |= static_cast<uint64_t>(isSpace(p[i])) << i;
#endif
    return mask;
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
    return Reader{file, buffer, capacity, buffer, buffer, false, nullptr, 0};
}

Reader R_memory(const char* data, size_t size)
{
    return Reader{nullptr, nullptr, 0, data, data + size, false, nullptr, 0};
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

bool R_next(Reader& in, Token& token)
{
    for (;;) {
        const char* p = in.cur;
        if (in.block == nullptr || p >= in.block + kBlock) {
            // Near the chunk's end, where a block would not fit, byte by byte.
            if (in.end - p < kBlock + 8)
                return nextByBytes(in, token);
            in.block = p;
            in.spaces = spaceMask(p);
        }
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
        const char* t = in.block + start;
        in.cur = t + length;
        if (length <= 8 && digitsValue(t, length, token.value)) {
            token.magic = false;
        } else {
            Conversion conversion;
            feed(conversion, t, t + length);
            token = Token{finish(conversion), length == 2 && t[0] == 'P' && t[1] == '3'};
        }
        return true;
    }
}

int32_t R_atoi(const char* token, size_t n)
{
    Conversion conversion;
    feed(conversion, token, token + n);
    return finish(conversion);
}

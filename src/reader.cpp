#include "reader.h"

#include <array>
#include <bit>
#include <cstring>

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
    return true;
}

// The common token at p: one to eight digits followed by whitespace, with at
// least nine bytes before end. Returns the token's end, or null to leave it to
// the general conversion. Eight bytes are classified at once, so the token's
// length costs no branch.
const char* shortNumber(const char* p, const char* end, int32_t& value)
{
    if constexpr (std::endian::native != std::endian::little) {
        return nullptr;
    } else {
        if (end - p <= 8)
            return nullptr;
        uint64_t bytes;
        std::memcpy(&bytes, p, sizeof bytes);
        constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kThree = 0x3030303030303030;
        // A byte is a digit when it and the byte plus 6 both have 3 as high nibble.
        // Carries only run towards later bytes, which no longer matter once an
        // earlier byte is not a digit.
        uint64_t notDigit = ((bytes & kHigh) ^ kThree) | (((bytes + 0x0606060606060606) & kHigh) ^ kThree);
        int length = notDigit == 0 ? 8 : std::countr_zero(notDigit) / 8;
        if (length == 0 || length == 8 || !isSpace(static_cast<char>(bytes >> (8 * length))))
            return nullptr;
        // The digits moved to the top, as an eight-digit number with leading zeros.
        uint64_t digits = (bytes - kThree) << (8 * (8 - length));
        digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FF;
        digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFF;
        digits = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFF;
        value = static_cast<int32_t>(digits);
        return p + length;
    }
}

} // namespace

Reader R_open(FILE* file, char* buffer, size_t capacity)
{
    return Reader{file, buffer, capacity, buffer, buffer, false};
}

Reader R_memory(const char* data, size_t size)
{
    return Reader{nullptr, nullptr, 0, data, data + size, false};
}

bool R_next(Reader& in, Token& token)
{
    // Locals, not the record's fields: stores through a char pointer could
    // otherwise change them, and the compiler would reload them every byte.
    const char* p = in.cur;
    for (;;) {
        while (p != in.end && isSpace(*p))
            ++p;
        if (p != in.end)
            break;
        if (!refill(in))
            return false;
        p = in.cur;
    }
    if (const char* after = shortNumber(p, in.end, token.value)) {
        in.cur = after;
        token.magic = false;
        return true;
    }
    // One pass per chunk; a token only continues into the next chunk when it
    // runs up to the end of this one.
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

int32_t R_atoi(const char* token, size_t n)
{
    Conversion conversion;
    feed(conversion, token, token + n);
    return finish(conversion);
}

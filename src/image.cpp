#include "image.h"

#include <system_error>
#include <thread>

namespace {

// Runs transform(begin, end) over the array's two halves at once when it is
// large enough that a second core pays for its thread; each half is a loop
// that streams through memory, so the two share no element.
template <class Transform>
void inHalves(Color* pixels, int32_t count, Transform transform)
{
    constexpr int32_t kWorthAThread = 1 << 20;
    Color* end = pixels + (count > 0 ? count : 0);
    Color* middle = end;
    std::thread second;
    if (count >= kWorthAThread) {
        try {
            second = std::thread(transform, pixels + count / 2, end);
            middle = pixels + count / 2;
        } catch (const std::system_error&) {
        }
    }
    transform(pixels, middle);
    if (second.joinable())
        second.join();
}

} // namespace

void I_print(const Color* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        C_print(pixels[i]);
}

void I_coef(Color* pixels, int32_t count, float coef)
{
    inHalves(pixels, count, [coef](Color* begin, Color* end) {
        for (Color* p = begin; p != end; ++p)
            *p = C_multiply(*p, coef);
    });
}

void I_negative(Color* pixels, int32_t count)
{
    inHalves(pixels, count, [](Color* begin, Color* end) {
        for (Color* p = begin; p != end; ++p)
            *p = C_negative(*p);
    });
}

void I_permute(Color* pixels, int32_t count)
{
    inHalves(pixels, count, [](Color* begin, Color* end) {
        for (Color* p = begin; p != end; ++p)
            *p = C_permute(*p);
    });
}

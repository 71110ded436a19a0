#include "color.h"

#include <cstdio>

Color C_new(int32_t r, int32_t g, int32_t b)
{
    return Color{r, g, b};
}

int32_t clamp(int32_t x)
{
    if (x < 0)
        return 0;
    if (x > 255)
        return 255;
    return x;
}

// Truncating the product and clamping the int gives what clamping the product
// to 0..255 in float and then truncating gives, for every product: one below 0
// truncates to 0 or less, and one at or above 255 to 255 or more, however far
// out of the int range. So no conversion is ever out of range. NaN, which only
// an infinite factor times zero can produce, goes to 0.
static int32_t scale(int32_t s, float coef)
{
    float product = static_cast<float>(s) * coef;
    float low = product > 0.0f ? product : 0.0f;
    return static_cast<int32_t>(low < 255.0f ? low : 255.0f);
}

Color C_multiply(Color c, float coef)
{
    if (!(coef > 0.0f))
        return c;
    return Color{scale(c.r, coef), scale(c.g, coef), scale(c.b, coef)};
}

static int32_t negate(int32_t s)
{
    // In unsigned arithmetic the wrap is defined; the conversion back is modular.
    return static_cast<int32_t>(255u - static_cast<uint32_t>(s));
}

Color C_negative(Color c)
{
    return Color{negate(c.r), negate(c.g), negate(c.b)};
}

Color C_permute(Color c)
{
    return Color{c.b, c.r, c.g};
}

void C_print(Color c)
{
    std::printf("(%d, %d, %d)\n", c.r, c.g, c.b);
}

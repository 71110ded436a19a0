#include "image.h"

void I_print(const Color* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        C_print(pixels[i]);
}

void I_coef(Color* pixels, int32_t count, float coef)
{
    for (int32_t i = 0; i < count; ++i)
        pixels[i] = C_multiply(pixels[i], coef);
}

void I_negative(Color* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        pixels[i] = C_negative(pixels[i]);
}

void I_permute(Color* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        pixels[i] = C_permute(pixels[i]);
}

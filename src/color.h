// One pixel as three signed samples, and the arithmetic on a single pixel.
#pragma once

#include <cstdint>

struct Color {
    int32_t r;
    int32_t g;
    int32_t b;
};

Color C_new(int32_t r, int32_t g, int32_t b);

// Brings x into 0..255.
int32_t clamp(int32_t x);

// Scales each channel in single precision, truncates toward zero and clamps.
// A factor that is not greater than zero (NaN included) leaves c as it is.
Color C_multiply(Color c, float coef);

// 255 - s for each channel, wrapping in 32 bits; applying it twice restores c.
Color C_negative(Color c);

// (r, g, b) becomes (b, r, g).
Color C_permute(Color c);

// Writes "(r, g, b)" and a line feed to standard output.
void C_print(Color c);

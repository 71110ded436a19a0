// In-place transforms over a whole pixel array; a count of zero or less does nothing.
#pragma once

#include "color.h"

#include <cstdint>

void I_print(const Color* pixels, int32_t count);
void I_coef(Color* pixels, int32_t count, float coef);
void I_negative(Color* pixels, int32_t count);
void I_permute(Color* pixels, int32_t count);

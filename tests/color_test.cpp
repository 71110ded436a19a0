#include "color.h"
#include "image.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

static bool operator==(Color a, Color b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

namespace {

int32_t scaled(int32_t s, float coef)
{
    return C_multiply(C_new(s, s, s), coef).r;
}

TEST(Color, ClampKeepsOnlyTheNominalRange)
{
    const int32_t cases[][2] = {{-1, 0}, {0, 0}, {255, 255}, {256, 255}, {INT_MIN, 0}, {INT_MAX, 255}, {17, 17}};
    for (auto [in, out] : cases)
        EXPECT_EQ(clamp(in), out) << in;
}

TEST(Color, MultiplyBySinglePrecisionFactors)
{
    const int32_t by12[][2] = {{0, 0}, {1, 1}, {4, 4}, {5, 6}, {100, 120}, {200, 240}, {212, 254}, {213, 255},
        {255, 255}, {300, 255}, {-5, 0}};
    for (auto [in, out] : by12)
        EXPECT_EQ(scaled(in, 1.2f), out) << in;
    const int32_t by08333[][2] = {{1, 0}, {120, 99}, {240, 199}, {255, 212}};
    for (auto [in, out] : by08333)
        EXPECT_EQ(scaled(in, 0.8333f), out) << in;
}

TEST(Color, MultiplyScalesEachChannelOnItsOwn)
{
    EXPECT_EQ(C_multiply(C_new(100, 200, 255), 1.2f), C_new(120, 240, 255));
}

TEST(Color, MultiplyByNonPositiveFactorChangesNothing)
{
    for (float coef : {0.0f, -1.0f, -0.0f, NAN})
        EXPECT_EQ(C_multiply(C_new(300, -4, 7), coef), C_new(300, -4, 7)) << coef;
}

TEST(Color, MultiplySaturatesProductsOutsideTheIntRange)
{
    EXPECT_EQ(C_multiply(C_new(INT_MAX, INT_MIN, 1), 1.2f), C_new(255, 0, 1));
    EXPECT_EQ(C_multiply(C_new(INT_MAX, INT_MIN, 0), 1e30f), C_new(255, 0, 0));
    EXPECT_EQ(C_multiply(C_new(2, -2, 0), INFINITY), C_new(255, 0, 0));
}

TEST(Color, NegativeWrapsAndIsItsOwnInverse)
{
    EXPECT_EQ(C_negative(C_new(0, 128, 255)), C_new(255, 127, 0));
    EXPECT_EQ(C_negative(C_new(300, -1, 255)), C_new(-45, 256, 0));
    EXPECT_EQ(C_negative(C_new(INT_MIN, INT_MAX, -2147483393)), C_new(-2147483393, -2147483392, INT_MIN));
    for (int32_t s : {INT_MIN, INT_MIN + 254, -1, 0, 256, INT_MAX}) {
        Color c = C_new(s, s, s);
        EXPECT_EQ(C_negative(C_negative(c)), c) << s;
    }
}

TEST(Color, PermuteRotatesChannels)
{
    EXPECT_EQ(C_permute(C_new(1, 2, 3)), C_new(3, 1, 2));
    EXPECT_EQ(C_permute(C_permute(C_permute(C_new(1, 2, 3)))), C_new(1, 2, 3));
}

TEST(Color, PrintWritesOneLine)
{
    testing::internal::CaptureStdout();
    C_print(C_new(1, 2, 3));
    I_print(std::vector<Color>{C_new(-1, 0, 300), C_new(4, 5, 6)}.data(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(1, 2, 3)\n(-1, 0, 300)\n(4, 5, 6)\n");
}

TEST(Image, TransformsEveryElementInPlace)
{
    std::vector<Color> pixels{C_new(100, 200, 255), C_new(0, 1, 2)};
    I_negative(pixels.data(), 2);
    EXPECT_EQ(pixels[0], C_new(155, 55, 0));
    EXPECT_EQ(pixels[1], C_new(255, 254, 253));
    I_negative(pixels.data(), 2);
    I_coef(pixels.data(), 2, 1.2f);
    EXPECT_EQ(pixels[0], C_new(120, 240, 255));
    I_coef(pixels.data(), 2, 0.8333f);
    I_permute(pixels.data(), 2);
    EXPECT_EQ(pixels[0], C_new(212, 99, 199));
    EXPECT_EQ(pixels[1], C_new(1, 0, 0));
}

// Large arrays are transformed in two parts at once: every element, the
// middle ones included, must still be transformed exactly once.
TEST(Image, LargeArraysTransformEveryElementOnce)
{
    for (int32_t count : {(1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 << 19}) {
        std::vector<Color> pixels(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i)
            pixels[static_cast<size_t>(i)] = C_new(i % 300, i % 7, -i % 5);
        std::vector<Color> expected = pixels;
        for (Color& c : expected)
            c = C_permute(C_multiply(C_negative(c), 1.2f));
        I_negative(pixels.data(), count);
        I_coef(pixels.data(), count, 1.2f);
        I_permute(pixels.data(), count);
        EXPECT_EQ(pixels, expected) << count;
    }
}

TEST(Image, NonPositiveCountTouchesNothing)
{
    I_negative(nullptr, 0);
    I_coef(nullptr, -3, 1.2f);
    I_permute(nullptr, INT_MIN);
    testing::internal::CaptureStdout();
    I_print(nullptr, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace

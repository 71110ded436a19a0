#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// strtol with a 64-bit long, saturating at -2^63 and 2^63 - 1, then the low
// 32 bits: strtoll is that strtol wherever long has 32 bits.
int32_t reference(const std::string& token)
{
    return static_cast<int32_t>(std::strtoll(token.c_str(), nullptr, 10));
}

TEST(Reader, ConvertsEveryTokenAsStrtolDoes)
{
    const std::string zeros(100000, '0');
    // clang-format off
    const std::string tokens[] = {
        "0", "7", "255", "-45", "+12", "12abc", "x", "-", "+", "--5", "+-5", "-+5", "5-", "007",
        "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967296", "4294967297",
        "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
        "99999999999999999999", "-99999999999999999999", "18446744073709551617", zeros + "42",
        "-" + zeros + "1", std::string(300, '9'), std::string("12\0" "34", 5), "P3", "0x1F", "1e5"};
    // clang-format on
    for (const std::string& token : tokens)
        EXPECT_EQ(R_atoi(token.data(), token.size()), reference(token)) << token.substr(0, 40);
}

std::vector<int32_t> readAll(Reader& in)
{
    std::vector<int32_t> values;
    for (int32_t v; R_next(in, v);)
        values.push_back(v);
    return values;
}

// Every token of one to four digits, leading zeros included, read in bulk.
TEST(Reader, EveryShortNumberConvertsAsStrtolDoes)
{
    std::string text;
    std::vector<std::string> tokens;
    for (int digits = 1, end = 10; digits <= 4; ++digits, end *= 10) {
        for (int v = 0; v < end; ++v) {
            std::string token = std::to_string(v);
            tokens.push_back(std::string(static_cast<size_t>(digits) - token.size(), '0') + token);
            text += tokens.back() + (v % 7 == 0 ? "\n" : " ");
        }
    }
    ASSERT_EQ(tokens.size(), 11110u);
    Reader in = R_memory(text.data(), text.size());
    std::vector<int32_t> values(tokens.size() + 1);
    int32_t last = 0;
    ASSERT_EQ(R_values(in, values.data(), values.size(), last), tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i)
        ASSERT_EQ(values[i], reference(tokens[i])) << tokens[i];
}

TEST(Reader, SplitsOnEveryWhitespaceKind)
{
    const std::string text = " P3\t2\n\v3\f\r255 P3x p3 -7  ";
    Reader in = R_memory(text.data(), text.size());
    EXPECT_EQ(readAll(in), (std::vector<int32_t>{0, 2, 3, 255, 0, 0, -7}));
    int32_t v = 0;
    EXPECT_FALSE(R_next(in, v));
    EXPECT_TRUE(in.exhausted);
}

// Every token may be cut by a chunk boundary, or by the reader catching up
// with the writer, at every offset.
TEST(Reader, TokensAcrossChunksAndCatchUpsReadWhole)
{
    const std::string text = "P3 12345 -9223372036854775809 P3 7x9 +" + std::string(50, '0') + "8 P\n3";
    const std::vector<int32_t> values = {0, 12345, 0, 0, 7, 8, 0, 3};
    for (size_t capacity = 1; capacity <= 8; ++capacity) {
        FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        ASSERT_NE(file, nullptr);
        std::vector<char> buffer(capacity);
        Reader in = openStream(file, buffer.data(), capacity);
        EXPECT_EQ(readAll(in), values) << capacity;
        std::fclose(file);
    }
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        Growing written{text, {cut, cut, cut + 3}};
        std::vector<char> buffer(64);
        Reader in = openGrowing(written, buffer);
        EXPECT_EQ(readAll(in), values) << cut;
    }
}

TEST(Reader, EmptyAndBlankInputsHoldNoToken)
{
    for (const std::string text : {"", " ", "\n\n\t \r\n"}) {
        Reader in = R_memory(text.data(), text.size());
        int32_t v = 0;
        EXPECT_FALSE(R_next(in, v));
    }
}

} // namespace

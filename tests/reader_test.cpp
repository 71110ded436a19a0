#include "reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

int32_t reference(const std::string& token)
{
    return static_cast<int32_t>(std::strtol(token.c_str(), nullptr, 10));
}

TEST(Reader, ConvertsEveryTokenAsStrtolDoes)
{
    const std::string zeros(100000, '0');
    const std::string tokens[] = {
        "0", "7", "255", "-45", "+12", "12abc", "x", "-", "+", "--5", "+-5", "-+5", "5-", "007",
        "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967296", "4294967297",
        "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
        "99999999999999999999", "-99999999999999999999", "18446744073709551617", zeros + "42",
        "-" + zeros + "1", std::string(300, '9'), std::string("12\0" "34", 5), "P3", "0x1F", "1e5"};
    for (const std::string& token : tokens)
        EXPECT_EQ(R_atoi(token.data(), token.size()), reference(token)) << token.substr(0, 40);
}

std::vector<Token> readAll(Reader& in)
{
    std::vector<Token> tokens;
    for (Token t; R_next(in, t);)
        tokens.push_back(t);
    return tokens;
}

TEST(Reader, SplitsOnEveryWhitespaceKind)
{
    const std::string text = " P3\t2\n\v3\f\r255 P3x p3 -7  ";
    Reader in = R_memory(text.data(), text.size());
    std::vector<Token> tokens = readAll(in);
    ASSERT_EQ(tokens.size(), 7u);
    const int32_t values[] = {0, 2, 3, 255, 0, 0, -7};
    for (size_t i = 0; i < tokens.size(); ++i) {
        EXPECT_EQ(tokens[i].value, values[i]) << i;
        EXPECT_EQ(tokens[i].magic, i == 0) << i;
    }
    Token t{};
    EXPECT_FALSE(R_next(in, t));
    EXPECT_TRUE(in.exhausted);
}

// Every token may be cut by a chunk boundary, at every offset.
TEST(Reader, TokensAcrossChunkBoundariesReadWhole)
{
    const std::string text = "P3 12345 -9223372036854775809 P3 7x9 +" + std::string(50, '0') + "8 P\n3";
    const int32_t values[] = {0, 12345, 0, 0, 7, 8, 0, 3};
    for (size_t capacity = 1; capacity <= 8; ++capacity) {
        FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        ASSERT_NE(file, nullptr);
        std::vector<char> buffer(capacity);
        Reader in = R_open(file, buffer.data(), capacity);
        std::vector<Token> tokens = readAll(in);
        std::fclose(file);
        ASSERT_EQ(tokens.size(), std::size(values)) << capacity;
        for (size_t i = 0; i < tokens.size(); ++i) {
            EXPECT_EQ(tokens[i].value, values[i]) << capacity << " " << i;
            EXPECT_EQ(tokens[i].magic, i == 0 || i == 3) << capacity << " " << i;
        }
    }
}

TEST(Reader, EmptyAndBlankInputsHoldNoToken)
{
    for (const std::string text : {"", " ", "\n\n\t \r\n"}) {
        Reader in = R_memory(text.data(), text.size());
        Token t{};
        EXPECT_FALSE(R_next(in, t));
    }
}

} // namespace

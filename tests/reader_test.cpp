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

namespace {

// Where a reader gets its bytes from, for running one case over each source.
struct Source {
    const char* name;
    size_t capacity; // 0 for bytes in memory
};

TEST(Reader, SplitInputReadsAsOneReaderWould)
{
    std::string numbers;
    for (int i = 0; i < 2000; ++i)
        numbers += std::to_string(i * 7919 % 1000) + (i % 7 != 0 ? " " : "\r\n") + (i % 13 == 0 ? "x1 -4 P3 " : "");
    const std::string half = numbers.substr(0, numbers.size() / 2);
    struct Case {
        const char* name;
        std::string text;
        bool splits;
    };
    const Case cases[] = {
        {"numbers", numbers, true},
        {"a long token across the middle", "P3 5 " + std::string(3000, '7') + " 6", true},
        {"no whitespace near the middle", "P3 1 " + std::string(9000, '8') + " 2", false},
        {"whitespace after the middle", "P3 " + half + std::string(numbers.size(), ' '), true},
        {"whitespace before the middle", "P3 " + std::string(numbers.size(), '\n') + half, true},
        {"a cut inside the block being read", "P3 " + numbers.substr(0, 110), true},
        {"too short", "P3 1", false},
    };
    const Source sources[] = {{"memory", 0}, {"file in small chunks", 100}, {"file in one chunk", 1 << 16}};
    for (const Case& c : cases) {
        Reader whole = R_memory(c.text.data(), c.text.size());
        const std::vector<Token> expected = readAll(whole);
        for (const Source& source : sources) {
            SCOPED_TRACE(std::string(c.name) + ", " + source.name);
            FILE* file = nullptr;
            std::vector<char> buffer(source.capacity), restBuffer(64);
            Reader in = R_memory(c.text.data(), c.text.size());
            if (source.capacity > 0) {
                file = std::tmpfile();
                ASSERT_NE(file, nullptr);
                std::fputs(c.text.c_str(), file);
                std::rewind(file);
                in = R_open(file, buffer.data(), buffer.size());
            }
            // Split after the first token, as the loader splits after the header.
            std::vector<Token> tokens(1);
            ASSERT_TRUE(R_next(in, tokens[0]));
            R_Split split;
            ASSERT_EQ(R_split(in, 2, restBuffer.data(), restBuffer.size(), split), c.splits);
            if (c.splits) {
                R_limit(in, split.firstBytes);
                std::vector<Token> first = readAll(in);
                uint64_t counted = 0;
                ASSERT_TRUE(R_skip(split.rest, split.firstBytes, counted));
                EXPECT_EQ(counted, first.size());
                tokens.insert(tokens.end(), first.begin(), first.end());
            }
            std::vector<Token> rest = readAll(c.splits ? split.rest : in);
            tokens.insert(tokens.end(), rest.begin(), rest.end());
            ASSERT_EQ(tokens.size(), expected.size());
            for (size_t i = 0; i < tokens.size(); ++i) {
                EXPECT_EQ(tokens[i].value, expected[i].value) << i;
                EXPECT_EQ(tokens[i].magic, expected[i].magic) << i;
            }
            if (file != nullptr)
                std::fclose(file);
        }
    }
}

} // namespace

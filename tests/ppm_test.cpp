#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string kHeaderComment = "# File created by imagewrightkit Tovalenmirsky\n";

PPM_Parsed parse(const std::string& text, int64_t maxPixels = INT32_MAX)
{
    Reader in = R_memory(text.data(), text.size());
    return PPM_parse(in, maxPixels);
}

std::vector<int32_t> samples(const PPM& ppm)
{
    std::vector<int32_t> out;
    for (int32_t i = 0; i < ppm.nbPixels; ++i)
        out.insert(out.end(), {ppm.pixels[i].r, ppm.pixels[i].g, ppm.pixels[i].b});
    return out;
}

std::string written(const Color* pixels, PPM ppm)
{
    std::string bytes;
    EXPECT_TRUE(saveToString(pixels, ppm, bytes));
    return bytes;
}

TEST(Ppm, ParsesAsTheFormatSays)
{
    struct Case {
        const char* text;
        int32_t width, height, nbPixels;
        std::vector<int32_t> samples;
    };
    // clang-format off
    const Case cases[] = {
        {"P3 2 1 255 255 0 0 0 0 255", 2, 1, 2, {255, 0, 0, 0, 0, 255}},
        {"P3\n1 1\n15\n0 7 15\n", 1, 1, 1, {0, 7, 15}},
        {"P3 1 1 255 1 2 3 4 5 6", 1, 1, 1, {1, 2, 3}},             // trailing tokens ignored
        {"P3 2 2 255", 2, 2, 4, std::vector<int32_t>(12, 255)},     // short list repeats the last token
        {"P3 2 1 255 9 8", 2, 1, 2, {9, 8, 8, 8, 8, 8}},
        {"P3", 0, 0, 0, {}},                                        // "P3" itself is the last token
        {"P3 -2 3 255 1 2 3", -2, 3, -6, {}},
        {"P3 0 5 255 1 2 3", 0, 5, 0, {}},
        {"P3 1x 1 zz 12abc x -45", 1, 1, 1, {12, 0, -45}},
        {"P3 1 1 255 300 2147483648 -9999999999", 1, 1, 1, {300, INT_MIN, -1410065407}},
    };
    // clang-format on
    for (const Case& c : cases) {
        PPM_Parsed parsed = parse(c.text);
        ASSERT_EQ(parsed.status, PPM_Status::ok) << c.text;
        EXPECT_EQ(parsed.ppm.width, c.width) << c.text;
        EXPECT_EQ(parsed.ppm.height, c.height) << c.text;
        EXPECT_EQ(parsed.ppm.nbPixels, c.nbPixels) << c.text;
        if (c.nbPixels <= 0) {
            EXPECT_EQ(parsed.ppm.pixels, nullptr) << c.text;
        }
        EXPECT_EQ(samples(parsed.ppm), c.samples) << c.text;
        std::free(parsed.ppm.pixels);
    }
}

TEST(Ppm, RejectsAWrongMagicAndOversizedImages)
{
    for (const char* text : {"", "  \n", "P6 1 1 255 0 0 0", "p3 1 1", "P3x 1 1", "P 3", "P33", "P", "\nP\n3"})
        EXPECT_EQ(parse(text).status, PPM_Status::notPpm) << text;
    // The magic read a byte at a time, across chunk ends.
    const std::pair<std::string, PPM_Status> bytewise[] = {{"P3", PPM_Status::ok},
        {" P3 1 1 255 1 2 3", PPM_Status::ok}, {"P3x", PPM_Status::notPpm}, {"P\n3", PPM_Status::notPpm},
        {"\tP33", PPM_Status::notPpm}};
    for (const auto& [text, status] : bytewise) {
        FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        char byte[1];
        Reader in = openStream(file, byte, sizeof byte);
        PPM_Parsed parsed = PPM_parse(in, INT32_MAX);
        EXPECT_EQ(parsed.status, status) << text;
        std::free(parsed.ppm.pixels);
        std::fclose(file);
    }
    for (const char* text :
        {"P3 65536 32768 255", "P3 -65536 32769 255", "P3 2147483647 2147483647", "P3 -2147483648 -2147483648"})
        EXPECT_EQ(parse(text).status, PPM_Status::tooLarge) << text;
    // 2^32 + 8 bytes: where size_t has 32 bits, a count whose byte count wraps.
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(parse("P3 357913942 1 255").status, PPM_Status::tooLarge);
    }
    EXPECT_EQ(parse("P3 -65536 32768 255").status, PPM_Status::ok);
    EXPECT_EQ(parse("P3 10 10 255", 99).status, PPM_Status::tooLarge);
}

TEST(Ppm, MemoryLimitIsTheLowestOfMachineAndCgroups)
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "ppm-cgroup-XXXXXX").string();
    const fs::path root = mkdtemp(pattern.data());
    const uint64_t machine = PPM_memoryLimit("/nonexistent", root.string());
    ASSERT_GT(machine, uint64_t{1} << 20);
    fs::create_directories(root / "a/b/c");
    std::ofstream(root / "a/memory.max") << "1048576\n";
    std::ofstream(root / "a/b/memory.max") << "max\n";
    std::ofstream(root / "a/b/c/memory.max") << "2097152\n";
    std::ofstream(root / "self") << "4:memory:/x\n0::/a/b/c\n";
    EXPECT_EQ(PPM_memoryLimit((root / "self").c_str(), root.string()), uint64_t{1} << 20);
    std::ofstream(root / "self") << "4:memory:/a\n0::/a/b\n1:cpu:/\n";
    std::ofstream(root / "a/memory.max") << "max\n";
    EXPECT_EQ(PPM_memoryLimit((root / "self").c_str(), root.string()), machine);
    // Version 1's memory controller, with a limit above the group's.
    fs::create_directories(root / "memory/v1/g");
    std::ofstream(root / "memory/v1/memory.limit_in_bytes") << "3145728\n";
    std::ofstream(root / "memory/v1/g/memory.limit_in_bytes") << "9223372036854771712\n";
    std::ofstream(root / "self") << "5:cpu,memory:/v1/g\n0::/\n";
    EXPECT_EQ(PPM_memoryLimit((root / "self").c_str(), root.string()), uint64_t{3} << 20);
    fs::remove_all(root);
}

TEST(Ppm, WritesTheExactLayout)
{
    const Color pixels[] = {C_new(255, 0, 0), C_new(0, 0, 255)};
    EXPECT_EQ(written(pixels, PPM{nullptr, 2, 1, 2, nullptr}), "P3\n" + kHeaderComment + "2 1\n255\n255 0 0 0 0 255 ");
    const Color odd[] = {C_new(-45, 256, INT_MIN), C_new(INT_MAX, 1000, 99)};
    EXPECT_EQ(written(odd, PPM{nullptr, 1, 2, 2, nullptr}),
        "P3\n" + kHeaderComment + "1 2\n255\n-45 256 -2147483648 2147483647 1000 99 ");
    EXPECT_EQ(written(nullptr, PPM{nullptr, -3, 7, -21, nullptr}), "P3\n" + kHeaderComment + "-3 7\n255\n");
}

TEST(Ppm, ReadsBackWhatItWrote)
{
    std::vector<Color> pixels;
    for (int32_t i = 0; i < 50000; ++i)
        pixels.push_back(C_new(i % 256, (i * 7) % 300 - 20, i * 40503));
    std::string bytes = written(pixels.data(), PPM{nullptr, 250, 200, 50000, nullptr});
    // The comment line goes the way of every line holding '#' before parsing.
    size_t comment = bytes.find(kHeaderComment);
    ASSERT_NE(comment, std::string::npos);
    bytes.erase(comment, kHeaderComment.size());
    PPM_Parsed parsed = parse(bytes);
    ASSERT_EQ(parsed.status, PPM_Status::ok);
    EXPECT_EQ(parsed.ppm.width, 250);
    EXPECT_EQ(parsed.ppm.height, 200);
    ASSERT_EQ(parsed.ppm.nbPixels, 50000);
    for (size_t i = 0; i < pixels.size(); ++i) {
        ASSERT_EQ(parsed.ppm.pixels[i].r, pixels[i].r) << i;
        ASSERT_EQ(parsed.ppm.pixels[i].g, pixels[i].g) << i;
        ASSERT_EQ(parsed.ppm.pixels[i].b, pixels[i].b) << i;
    }
    std::free(parsed.ppm.pixels);
}

TEST(Ppm, WriteReportsAFullDevice)
{
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::vector<Color> pixels(100000, C_new(1, 2, 3));
    errno = 0;
    EXPECT_FALSE(PPM_write(full, pixels.data(), PPM{nullptr, 1000, 100, 100000, nullptr}));
    EXPECT_EQ(errno, ENOSPC);
    std::fclose(full);
}

TEST(Ppm, CheckDumpsSizeAndPixels)
{
    Color pixels[] = {C_new(1, 2, 3), C_new(-4, 5, 600)};
    testing::internal::CaptureStdout();
    PPM_check(PPM{nullptr, 2, 1, 2, pixels});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "width    : 2\nheight   : 1\nnbpixels : 2\n(1, 2, 3)\n(-4, 5, 600)\n\n");
}

TEST(Ppm, ConcatJoinsIntoANewString)
{
    char* joined = concat("neg", ".ppm");
    ASSERT_NE(joined, nullptr);
    EXPECT_STREQ(joined, "neg.ppm");
    std::free(joined);
    joined = concat("", "");
    EXPECT_STREQ(joined, "");
    std::free(joined);
}

} // namespace

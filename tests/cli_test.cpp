// Runs the real ppmtool in a fresh directory and checks its dialogue, streams, status and files.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <vector>

using namespace sandbox;

namespace {

TEST(Cli, LoadsAsTheFormatSays)
{
    struct Case {
        const char* what;
        std::string input, negative, coefficient, permuted;
        std::string err = ""; // what the run warns of
    };
    const std::string warning = "ppmtool: warning: in: ";
    // clang-format off
    const Case cases[] = {
        {"the worked example", "P3\n1 1\n255\n100 200 255\n", ppm("1 1", "155 55 0 "), ppm("1 1", "120 240 255 "),
         ppm("1 1", "212 99 199 ")},
        {"comment lines, data and comment on one line", "P3\n# made by hand\n2 1\n255 # max\n15\n0 1 2 3 4 5\n",
         ppm("2 1", "255 254 253 252 251 250 "), ppm("2 1", "0 1 2 3 4 6 "), ppm("2 1", "1 0 0 4 2 3 "),
         warning + "line 4 holds data before a '#', and was dropped whole with it\n" + warning +
         "maxval is 15, not 255: samples are taken as they stand, out of 255\n"},
        {"short list", "P3 2 1 255 10", ppm("2 1", "245 245 245 245 245 245 "),
         ppm("2 1", "12 12 12 12 12 12 "), ppm("2 1", "9 9 9 9 9 9 "),
         warning + "the file ends 5 samples short; the last one read, 10, stands in for them\n"},
        {"one sample short", "P3 1 1 255 10 20", ppm("1 1", "245 235 235 "), ppm("1 1", "12 24 24 "),
         ppm("1 1", "19 9 19 "), warning + "the file ends 1 sample short; the last one read, 20, stands in for them\n"},
        {"no sample, and the maxval beyond 255 stands in", "P3 1 1 300", ppm("1 1", "-45 -45 -45 "),
         ppm("1 1", "255 255 255 "), ppm("1 1", "212 212 212 "),
         warning + "maxval is 300, not 255: samples are taken as they stand, out of 255\n" + warning +
         "the file ends 3 samples short; the last one read, 300, stands in for them\n"},
        {"only the magic", "P3\n", ppm("0 0", ""), ppm("0 0", ""), ppm("0 0", "")},
        {"negative size", "P3 -2 3 255 1 2 3", ppm("-2 3", ""), ppm("-2 3", ""), ppm("-2 3", "")},
        {"out-of-range samples", "P3 2 1 255 1 2 3 300 -5 2147483647", ppm("2 1", "254 253 252 -45 260 -2147483392 "),
         ppm("2 1", "1 2 3 255 0 255 "), ppm("2 1", "2 0 1 212 212 0 "),
         warning + "the red sample at row 1, column 2 is 300, outside 0..255\n"},
        {"a saved file's own layout", ppm("1 1", "100 200 255 "), ppm("1 1", "155 55 0 "),
         ppm("1 1", "120 240 255 "), ppm("1 1", "212 99 199 ")},
        {"CRLF line ends", "P3\r\n1 1\r\n255\r\n100 200 255\r\n", ppm("1 1", "155 55 0 "),
         ppm("1 1", "120 240 255 "), ppm("1 1", "212 99 199 ")},
    };
    // clang-format on
    for (const Case& c : cases)
        expectThreeImages(c.what, c.input, c.negative, c.coefficient, c.permuted, c.err);
}

TEST(Cli, AnswersReuseNames)
{
    Sandbox box;
    box.put("in", "P3 1 1 255 100 200 255");
    EXPECT_EQ(box.run("in x x in").status, 0);
    EXPECT_EQ(box.get("x"), ppm("1 1", "120 240 255 "));
    EXPECT_EQ(box.get("in"), ppm("1 1", "212 99 199 "));
}

TEST(Cli, LoadFailuresEndTheRun)
{
    struct Case {
        const char* what;
        const char* input; // null: no such file
        std::string out, err;
        const char* kept; // what the scratch file left holds, the input without its comment lines; null: none left
        Limits limits = {};
    };
    const std::string notPpm = prompts(1) + "File in is not a ppm file.\n";
    // clang-format off
    const Case cases[] = {
        {"wrong magic", "P6 1 1 255 0 0 0", notPpm, "", "P6 1 1 255 0 0 0\n"},
        {"magic in another case", "# by hand\np3 1 1 255 0 0 0\n", notPpm, "", "p3 1 1 255 0 0 0\n"},
        {"empty file", "", notPpm, "", ""},
        {"only comments", "# P3 1 1 255\n#\n", notPpm, "", ""},
        {"magic's line dropped with its comment", "P3 1 1 255 # max\n1 2 3\n", notPpm,
         "ppmtool: warning: in: line 1 holds data before a '#', and was dropped whole with it\n", "1 2 3\n"},
        {"product beyond int", "P3 65536 32768 255 1 2 3", prompts(1), "File in is too large.\n", nullptr},
        {"product below int", "P3 -65536 32769 255", prompts(1), "File in is too large.\n", nullptr},
        {"missing input", nullptr, notPpm, "cat: ", ""}, // in cat's own words
        // A shell that obeyed exported options would stop at cat's failure (bash as /bin/sh).
        {"missing input, shell options exported", nullptr, notPpm, "cat: ", "", {.env = "SHELLOPTS=errexit:nounset"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        if (c.input != nullptr)
            box.put("in", c.input);
        Outcome r = box.run("in neg coef perm\n", c.limits);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.what;
        EXPECT_EQ(fs::exists(box.dir / "ppmdumppppp"), c.kept != nullptr) << c.what;
        EXPECT_EQ(box.get("ppmdumppppp"), c.kept != nullptr ? c.kept : "") << c.what;
        EXPECT_FALSE(fs::exists(box.dir / "neg")) << c.what;
    }
}

// The command line: four names used whole and nothing read from standard
// input, the two options, and usage errors that touch no file.
TEST(Cli, CommandLine)
{
    const std::string example = "P3 1 1 255 100 200 255";
    const char* usage = "ppmtool: [^\n]+\nTry 'ppmtool --help'\\.\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;     // where the worked example lies
        const char *out, *err; // regular expressions for the whole of each stream
        int status;
        std::vector<std::string> images;   // the negative, coefficient and permuted files; "" for standard output
        std::string answers = "x y z w\n"; // standard input
    };
    const std::string neg = ppm("1 1", "155 55 0 "), perm = ppm("1 1", "212 99 199 ");
    // clang-format off
    const Case cases[] = {
        {{"my photo.ppm", "my neg.ppm", "c o e f", "p\tp"}, "my photo.ppm", "", "", 0,
         {"my neg.ppm", "c o e f", "p\tp"}},
        {{"--", "-in.ppm", "-n", "--help", "./-"}, "-in.ppm", "", "", 0, {"-n", "--help", "-"}},
        {{"--", "--", "n", "c", "p"}, "--", "", "", 0, {"n", "c", "p"}}, // after "--", "--" is a name
        {{"-", "n", "c", "p"}, "in", "", "", 0, {"n", "c", "p"}, example},
        {{"in", "-", "c", "p"}, "in", neg.c_str(), "", 0, {"", "c", "p"}},
        {{"--", "-", "n", "c", "-"}, "in", perm.c_str(), "", 0, {"n", "c", ""}, example},
        {{"in", "-", "c", "-"}, "in", "", usage, 2, {}},
        {{"--help"}, "in", "Usage: ppmtool\n  or:  ppmtool \\[--\\] IN NEG COEF PERM\n[\\s\\S]*\nThe manual: man ppmtool\n",
         "", 0, {}},
        {{"-h", "in", "n"}, "in", "Usage: ppmtool\n[\\s\\S]*\n  -h, --help +print this help[\\s\\S]*", "", 0, {}},
        {{"--version"}, "in", "ppmtool " PPMTOOL_VERSION "\n", "", 0, {}},
        {{"--frobnicate", "in", "n", "c", "p"}, "in", "", usage, 2, {}},
        {{"-in", "n", "c", "p"}, "-in", "", "ppmtool: unknown option '-in' \\(put '--' first if it is a file name\\)\nTry 'ppmtool --help'\\.\n", 2, {}},
        {{"in"}, "in", "", usage, 2, {}},
        {{"in", "n"}, "in", "", usage, 2, {}},
        {{"in", "n", "c"}, "in", "", usage, 2, {}},
        {{"in", "n", "c", "p", "q"}, "in", "", usage, 2, {}},
        {{"--", "--version"}, "in", "", usage, 2, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& arg : c.args)
            what += " [" + arg + "]";
        Sandbox box;
        box.put(c.input, example);
        Outcome r = box.run(c.answers, {}, c.args);
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << what << "\n" << r.out;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << what << "\n" << r.err;
        std::set<std::string> files{c.input};
        const std::string expected[] = {neg, ppm("1 1", "120 240 255 "), perm};
        for (size_t i = 0; i < c.images.size(); ++i) {
            if (!c.images[i].empty()) {
                files.insert(c.images[i]);
                EXPECT_EQ(box.get(c.images[i]), expected[i]) << what;
            }
        }
        EXPECT_EQ(box.files(), files) << what;
        EXPECT_EQ(box.get(c.input), example) << what;
    }
}

} // namespace

// Runs the real ppmtool against failing outputs, hostile input names, malformed input files and
// broken dialogues, and checks its status, both streams and every file left behind.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

using namespace sandbox;
using namespace std::string_literals;

namespace {

// Address and thread sanitizers reserve terabytes of shadow memory at start-up.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShadowMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kShadowMemory = true;
#else
constexpr bool kShadowMemory = false;
#endif
#else
constexpr bool kShadowMemory = false;
#endif

std::string repeat(const std::string& s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    while (n-- > 0)
        out += s;
    return out;
}

// The samples of `pixels` pixels that all hold v in every channel.
std::string same(long long v, size_t pixels = 1)
{
    return repeat(std::to_string(v) + " ", 3 * pixels);
}

const std::string kInput = "P3 1 1 255 100 200 255";
const std::string kNeg = "155 55 0 ", kCoef = "120 240 255 ", kPerm = "212 99 199 ";
const std::string kNines = repeat("9", 100000); // saturates at 2^63 - 1, whose low 32 bits are -1
const std::string kMegaToken = repeat("x", 1 << 20);

std::set<std::string> keysOf(const std::map<std::string, std::string>& m, std::set<std::string> extra)
{
    for (const auto& [name, bytes] : m)
        extra.insert(name);
    return extra;
}

TEST(Faults, OutputsThatCannotBeWritten)
{
    // 100,000 pixels read from a one-sample list, as the run warns. From 250 the negative holds
    // "5 " per sample and the coefficient image "255 "; from 100 the negative holds "155 ".
    const std::string big250 = "P3 1000 100 255 250", big100 = "P3 1000 100 255 100";
    auto shortOf = [](int v) {
        return "ppmtool: warning: in: the file ends 299999 samples short; the last one read, " + std::to_string(v) +
               ", stands in for them\n";
    };
    const std::string neg250 = ppm("1000 100", same(5, 100000)), coef250 = ppm("1000 100", same(255, 100000));
    const std::string neg100 = ppm("1000 100", same(155, 100000));
    const rlim_t mib = 1 << 20;
    struct Case {
        const char* what;
        std::string input, answers;
        Limits limits;
        int prompted;
        std::string err;
        std::map<std::string, std::string> complete;
        std::string partial = "", partialWhole = ""; // an output cut short, and what it would have held
        std::vector<std::string> args = {};
    };
    // clang-format off
    const Case cases[] = {
        {"full device as the negative", kInput, "in /dev/full c p", {}, 2, "/dev/full: No space left on device\n", {}},
        {"full device, many writes, negative", big250, "in /dev/full c p", {}, 2, shortOf(250) + "/dev/full: No space left on device\n", {}},
        {"full device, many writes, coefficient", big250, "in n /dev/full p", {}, 3,
         shortOf(250) + "/dev/full: No space left on device\n", {{"n", neg250}}},
        {"full device, many writes, permuted", big250, "in n c /dev/full", {}, 4,
         shortOf(250) + "/dev/full: No space left on device\n", {{"n", neg250}, {"c", coef250}}},
        {"size limit inside the coefficient image", big250, "in n c p", {.fileSize = mib}, 3, shortOf(250) + "c: File too large\n", {{"n", neg250}},
         "c", coef250},
        {"size limit inside the negative", big100, "in n c p", {.fileSize = mib}, 2, shortOf(100) + "n: File too large\n", {}, "n", neg100},
        {"directory as the negative", kInput, "in sub c p", {}, 2, "sub: Is a directory\n", {}},
        {"missing directory in the negative's name", kInput, "in nodir/n c p", {}, 2, "nodir/n: No such file or directory\n", {}},
        {"working directory as the permuted image", kInput, "in n c .", {}, 4, ".: Is a directory\n",
         {{"n", ppm("1 1", kNeg)}, {"c", ppm("1 1", kCoef)}}},
        {"directory with a slash as the coefficient image", kInput, "in n sub/ p", {}, 3, "sub/: Is a directory\n",
         {{"n", ppm("1 1", kNeg)}}},
        {"file used as a directory", kInput, "in n c in/p", {}, 4, "in/p: Not a directory\n",
         {{"n", ppm("1 1", kNeg)}, {"c", ppm("1 1", kCoef)}}},
        // What stdio still holds must reach the device before the run may end well.
        {"full device as standard output", kInput, "", {.out = "/dev/full"}, 0,
         "standard output: No space left on device\n", {}, "", "", {"in", "-", "c", "p"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        box.put("in", c.input);
        fs::create_directory(box.dir / "sub");
        Outcome r = box.run(c.answers, c.limits, c.args);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, prompts(c.prompted)) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        std::set<std::string> files = keysOf(c.complete, {"in", "sub"});
        if (!c.partial.empty())
            files.insert(c.partial);
        EXPECT_EQ(box.files(), files) << c.what;
        for (const auto& [name, bytes] : c.complete)
            EXPECT_TRUE(box.get(name) == bytes) << c.what << ": " << name << " is not complete";
        if (!c.partial.empty()) {
            std::string got = box.get(c.partial);
            EXPECT_LE(got.size(), c.limits.fileSize) << c.what;
            EXPECT_LT(got.size(), c.partialWhole.size()) << c.what;
            EXPECT_TRUE(c.partialWhole.compare(0, got.size(), got) == 0) << c.what << ": not a prefix";
        }
    }
}

// Whatever a name holds, it is one literal file, which the tool opens, or
// cat when it cannot: no command runs (it would leave "y"), nothing expands,
// and no option or standard input is read in its place.
TEST(Faults, InputNamesAreTakenLiterally)
{
    struct Case {
        std::string name, top; // top: the entry the name's file lies under; "" for the name itself
    };
    // clang-format off
    std::vector<Case> cases = {
        {"(touch${IFS}y)", ""}, {"{a,b}", ""}, {"[ab]", ""}, {"a?", ""}, {"x&&touch${IFS}y", ""},
        {"x||touch${IFS}y", ""}, {"x\\", ""}, {"\"", ""}, {"''", ""}, {"'$(touch${IFS}y)'", ""},
        {"a=b", ""}, {"%s%n", ""}, {"^x", ""}, {"#x", ""}, {"x#y", ""}, {":,+@", ""}, {"\x1b[31m\a", ""},
        {"'\\''", ""}, {"--", ""}, {"-e", ""}, {"-A", ""}, {"-'x", ""}, {"-;touch${IFS}y", ""},
        {"x;touch${IFS}y", ""}, {"`touch${IFS}y`", ""}, {"it's.ppm", ""}, {"-n", ""}, {"-", ""}, {"--help", ""},
        {"*", ""}, {"~", ""}, {"$HOME", ""}, {"a|b&c>d<e", ""}, {"\\\"q\"", ""}, {"!#x", ""}, {std::string(250, 'n'), ""},
        {"sub/in", "sub"}, {"./in", "in"}, {"sub//in", "sub"}, {"-/in", "-"}, {"-/-", "-"}, {"sub/-n", "sub"},
        {"@/in", "in"}, // '@' stands for the sandbox's absolute path
    };
    // clang-format on
    // 4,000 characters through nested directories; each component stays under 255 bytes.
    std::string deep;
    for (char c = 'a'; c < 'a' + 19; ++c)
        deep += "-" + std::string(183, c) + "$(touch${IFS}y)/";
    deep += std::string(200, 'z');
    ASSERT_EQ(deep.size(), 4000u);
    cases.push_back({deep, deep.substr(0, 199)});
    for (Case& c : cases) {
        Sandbox box, empty;
        if (c.name[0] == '@')
            c.name = box.dir.string() + c.name.substr(1);
        fs::path file = box.dir / (c.name[0] == '/' ? fs::path(c.name).filename() : fs::path(c.name));
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << kInput;
        Outcome r = box.run(c.name + "\nneg coef perm\n");
        const std::string shown = c.name.substr(0, 60);
        EXPECT_EQ(r.status, 0) << shown << r.err;
        EXPECT_EQ(r.out, prompts(4)) << shown;
        EXPECT_EQ(r.err, "") << shown;
        EXPECT_EQ(box.get("perm"), ppm("1 1", kPerm)) << shown;
        EXPECT_EQ(box.files(), (std::set<std::string>{c.top.empty() ? c.name : c.top, "neg", "coef", "perm"})) << shown;
        // Where the name leads nowhere, cat is given it, and says so in its own words.
        if (c.name[0] == '/')
            continue;
        r = empty.run(c.name + "\nneg coef perm\n");
        EXPECT_EQ(r.out, prompts(1) + "File " + c.name + " is not a ppm file.\n") << shown;
        EXPECT_EQ(r.err.substr(0, 5), "cat: ") << shown;
        EXPECT_EQ(empty.files(), std::set<std::string>{"ppmdumppppp"}) << shown;
    }
}

TEST(Faults, SamplesConvertAsAtoiAndWrap)
{
    struct Case {
        std::string token;
        long long negative, coefficient, permuted;
    };
    // clang-format off
    const Case cases[] = {
        {"2147483647", -2147483392, 255, 212}, {"2147483648", -2147483393, 0, 0},
        {"-2147483648", -2147483393, 0, 0},    {"-2147483647", -2147483394, 0, 0},
        {"-2147483649", -2147483392, 255, 212}, {"4294967296", 255, 0, 0},
        {"4294967551", 0, 255, 212},           {"9223372036854775807", 256, 0, 0},
        {"9223372036854775808", 256, 0, 0},    {"-9223372036854775809", 255, 0, 0},
        {"18446744073709551615", 256, 0, 0},   {kNines, 256, 0, 0},
        {"-" + kNines, 255, 0, 0},             {repeat("0", 99998) + "42", 213, 50, 41},
        {"+" + repeat("0", 99999) + "7", 248, 8, 6}, {"7" + kMegaToken, 248, 8, 6},
        {kMegaToken, 255, 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        box.put("in", "P3 1 1 255 " + c.token + " " + c.token + " " + c.token);
        Outcome r = box.run("in neg coef perm");
        const std::string shown = c.token.substr(0, 30);
        const auto value = static_cast<int32_t>(255u - static_cast<uint32_t>(c.negative));
        EXPECT_EQ(r.status, 0) << shown;
        EXPECT_EQ(r.out, prompts(4)) << shown;
        EXPECT_EQ(r.err, value >= 0 && value <= 255 ? ""
                                                    : "ppmtool: warning: in: the red sample at row 1, column 1 is " +
                                                          std::to_string(value) + ", outside 0..255\n")
            << shown;
        EXPECT_EQ(box.get("neg"), ppm("1 1", same(c.negative))) << shown;
        EXPECT_EQ(box.get("coef"), ppm("1 1", same(c.coefficient))) << shown;
        EXPECT_EQ(box.get("perm"), ppm("1 1", same(c.permuted))) << shown;
        EXPECT_EQ(box.files(), (std::set<std::string>{"in", "neg", "coef", "perm"})) << shown;
    }
}

TEST(Faults, OddFilesStillLoad)
{
    struct Case {
        const char* what;
        std::string input, size, negative, coefficient, permuted;
    };
    // clang-format off
    const Case cases[] = {
        {"CR line ends", "P3\r1 1\r255\r100 200 255\r", "1 1", kNeg, kCoef, kPerm},
        {"CRLF with a comment line", "P3\r\n# by hand\r\n1 1\r\n255\r\n100 200 255\r\n", "1 1", kNeg, kCoef, kPerm},
        {"1 MB token across reads", "P3 1 1 255 100 200 255" + kMegaToken, "1 1", kNeg, kCoef, kPerm},
        {"1 MB token after the samples", kInput + " " + kMegaToken, "1 1", kNeg, kCoef, kPerm},
        {"100,000-digit dimensions", "P3 " + kNines + " " + kNines + " 255 100 200 255", "-1 -1", kNeg, kCoef, kPerm},
        {"100,000-digit width", "P3 " + kNines + " 5 255 1", "-1 5", "", "", ""},
        {"100,000-digit negative width", "P3 -" + kNines + " 5 255 1", "0 5", "", "", ""},
        {"width wrapping to 1", "P3 4294967297 1 255 100 200 255", "1 1", kNeg, kCoef, kPerm},
        {"product exactly the smallest int", "P3 -2147483648 1 255 1", "-2147483648 1", "", "", ""},
        {"signs and leading zeros", "P3 +0001 001 0255 0100 +200 00255", "1 1", kNeg, kCoef, kPerm},
        // Every byte but whitespace belongs to a token, whatever the locale makes of it.
        {"NUL inside a sample", "P3 1 1 255 100 200\0x 255"s, "1 1", kNeg, kCoef, kPerm},
        {"Latin-1 comment line", "P3\n# caf\xe9\n1 1\n255\n100 200 255\n", "1 1", kNeg, kCoef, kPerm},
        {"stray high bytes in a sample", "P3 1 1 255 100\x80\xff 200 255", "1 1", kNeg, kCoef, kPerm},
    };
    // clang-format on
    for (const Case& c : cases)
        expectThreeImages(
            c.what, c.input, ppm(c.size, c.negative), ppm(c.size, c.coefficient), ppm(c.size, c.permuted));
}

TEST(Faults, FilesThatAreRefused)
{
    // A name the shell would take for an option and an open quote: the hint's command quotes it.
    const std::string name = "-it's.pnm";
    const std::string notPpm = "File " + name + " is not a ppm file.\n", tooLarge = "File " + name + " is too large.\n";
    const std::string recipe =
        "; this writes it as P3: pamtopnm './-it'\\''s.pnm' | pamdepth 255 | ppmtoppm -plain > "
        "'./-it'\\''s-plain.ppm'\n";
    auto hint = [&](const std::string& kind) { return "ppmtool: " + name + " is a " + kind + recipe; };
    struct Case {
        const char* what;
        std::string input, out, err;
    };
    // clang-format off
    const Case cases[] = {
        {"NUL in the magic", "P3\0 1 1 255 1 2 3"s, notPpm, ""},
        {"1 MB magic", "P3" + kMegaToken + " 1 1 255 1 2 3", notPpm, ""},
        {"P1", "P1 1 1 0", notPpm, hint("plain PBM (P1)")}, {"P2", "\nP2\t1 1 255 0", notPpm, hint("plain PGM (P2)")},
        {"P4", "P4 1 1\n\x80", notPpm, hint("binary PBM (P4)")}, {"P5", "P5", notPpm, hint("binary PGM (P5)")},
        {"P6", "P6 1 1 255 abc", notPpm, hint("binary PPM (P6)")}, {"P7", "P7\nWIDTH 1", notPpm, hint("PAM (P7)")},
        {"P6x", "P6x 1 1 255 abc", notPpm, ""}, {"P8", "P8 1 1", notPpm, ""}, {"P0", "P0", notPpm, ""},
        {"2^16 by 2^16", "P3 65536 65536 255 1", "", tooLarge},
        {"2^16 by -2^16", "P3 65536 -65536 255 1", "", tooLarge},
        {"just above the largest int", "P3 46341 46341 255 1", "", tooLarge},
        {"just below the smallest int", "P3 -46341 46341 255 1", "", tooLarge},
        {"largest by largest", "P3 2147483647 2147483647 255 1", "", tooLarge},
        {"smallest by -1", "P3 -2147483648 -1 255 1", "", tooLarge},
        {"wrapped width by -1", "P3 2147483648 -1 255 1", "", tooLarge},
        {"100,000 digits by the smallest", "P3 " + kNines + " -2147483648 255 1", "", tooLarge},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        box.put(name, c.input);
        Outcome r = box.run(name + " neg coef perm\n");
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, prompts(1) + c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        // The scratch file stays only when the magic is wrong.
        std::set<std::string> files{name};
        if (c.out == notPpm)
            files.insert("ppmdumppppp");
        EXPECT_EQ(box.files(), files) << c.what;
        // With arguments, standard output is for images alone.
        r = box.run("", {}, {"--", name, "neg", "coef", "-"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out + "|" + r.err, "|" + c.out + c.err) << c.what;
        EXPECT_EQ(box.files(), files) << c.what;
    }
}

// The scratch file is the run's own: nothing that stands in its place, and no
// failure of the filter, is read as the image, and no file of the user's is lost.
TEST(Faults, ScratchFileSituations)
{
    const std::string big = ppm("300 300", same(250, 90000));
    const std::string ownFile = "File ppmdumppppp is the scratch file ppmdumppppp; rename it first.\n";
    const std::string notWhole = "File in could not be read whole.\n";
    const std::string cannotRemove = "Cannot remove the old scratch file ppmdumppppp: ";
    const std::string notAFile =
        "Cannot make the scratch file ppmdumppppp: something other than a regular file has "
        "that name; rename it first.\n";
    const std::map<std::string, std::string> done = {
        {"in", kInput}, {"n", ppm("1 1", kNeg)}, {"c", ppm("1 1", kCoef)}, {"p", ppm("1 1", kPerm)}};
    const uid_t nobody = 65534;
    struct Case {
        const char* what;
        std::function<void(const Sandbox&)> setUp;
        std::string answers;
        Limits limits;
        int status;
        std::string err;                          // how standard error begins
        std::map<std::string, std::string> files; // every file left, and its bytes ("" not checked)
        std::string out = "";                     // what standard output holds after the prompts
    };
    auto scratch = [](const Sandbox& box) { box.put("ppmdumppppp", kInput); };
    auto withInput = [](const Sandbox& box) { box.put("in", kInput); };
    // Another user's file in a shared directory where only its owner may remove it.
    auto planted = [](const Sandbox& box) {
        box.put("in", kInput);
        fs::permissions(box.dir, fs::perms::all | fs::perms::sticky_bit);
        box.put("ppmdumppppp", "P3 1 1 255 1 2 3");
    };
    // A command of that name first on the PATH, and `input` to read.
    auto fake = [](const std::string& command, const std::string& body, const std::string& input = kInput) {
        return [=](const Sandbox& box) {
            box.put("in", input);
            box.putCommand(box.dir.string() + ".bin", command, body);
        };
    };
    // clang-format off
    const Case cases[] = {
        {"input named as the scratch file", scratch, "ppmdumppppp n c p", {}, 1, ownFile, {{"ppmdumppppp", kInput}}},
        {"scratch file's name a link to the input",
         [](const Sandbox& box) { box.put("in", kInput), fs::create_symlink("in", box.dir / "ppmdumppppp"); },
         "ppmdumppppp n c p", {}, 1, notAFile, {{"in", kInput}, {"ppmdumppppp", kInput}}},
        {"a link to the scratch file's name, a link to the input's directory",
         [](const Sandbox& box) {
             fs::create_directory(box.dir / "sub"), box.put("sub/in", kInput);
             fs::create_directory_symlink("sub", box.dir / "ppmdumppppp"), fs::create_symlink("ppmdumppppp", box.dir / "lnk");
         },
         "lnk/in n c p", {}, 1, notAFile, {{"sub", ""}, {"ppmdumppppp", ""}, {"lnk", ""}}},
        {"symlink to the scratch file",
         [&](const Sandbox& box) { scratch(box), fs::create_symlink("ppmdumppppp", box.dir / "in"); }, "in n c p",
         {}, 1, "File in is the scratch file ppmdumppppp; rename it first.\n", {{"ppmdumppppp", kInput}, {"in", ""}}},
        {"hard link to the scratch file",
         [&](const Sandbox& box) { scratch(box), fs::create_hard_link(box.dir / "ppmdumppppp", box.dir / "in"); },
         "in n c p", {}, 1, "File in is the scratch file ppmdumppppp; rename it first.\n",
         {{"ppmdumppppp", kInput}, {"in", kInput}}},
        {"planted symlink",
         [](const Sandbox& box) {
             box.put("in", kInput), box.put("victim", "mine");
             fs::create_symlink("victim", box.dir / "ppmdumppppp");
         },
         "in n c p", {}, 1, notAFile, {{"in", kInput}, {"victim", "mine"}, {"ppmdumppppp", "mine"}}},
        {"planted FIFO",
         [](const Sandbox& box) { box.put("in", kInput), mkfifo((box.dir / "ppmdumppppp").c_str(), 0666); },
         "in n c p", {}, 1, notAFile, {{"in", kInput}, {"ppmdumppppp", ""}}},
        {"another user's file in a sticky directory", planted, "in n c p", {.user = nobody}, 1,
         cannotRemove + "Operation not permitted\n", {{"in", kInput}, {"ppmdumppppp", "P3 1 1 255 1 2 3"}}},
        {"directory in its place",
         [](const Sandbox& box) { box.put("in", kInput), fs::create_directory(box.dir / "ppmdumppppp"); },
         "in n c p", {}, 1, notAFile, {{"in", kInput}, {"ppmdumppppp", ""}}},
        {"old scratch file in a read-only directory",
         [](const Sandbox& box) { box.put("in", kInput), box.put("ppmdumppppp", "P3 1 1 255 1 2 3"); }, "in n c p",
         {.readOnly = true}, 1, cannotRemove, {{"in", kInput}, {"ppmdumppppp", "P3 1 1 255 1 2 3"}}},
        {"a running load's file, under its lock",
         [](const Sandbox& box) {
             box.put("in", kInput);
             const std::string hold = "cd " + box.dir.string() +
                                      " && flock . sh -c ': > ppmdumppppp; { sleep 0.5; mv ppmdumppppp kept; } &'";
             ASSERT_EQ(std::system(hold.c_str()), 0);
         },
         "in n c p", {}, 0, "", {{"in", kInput}, {"n", ""}, {"c", ""}, {"p", ""}, {"kept", ""}}},
        {"read-only directory", withInput, "in n c p", {.readOnly = true}, 1, "Cannot make the scratch file ppmdumppppp: " +
         std::string(std::strerror(geteuid() == 0 ? EROFS : EACCES)) + "; run ppmtool in a directory you may write to.\n",
         {{"in", kInput}}},
        // The record of what was read is left whole or not at all.
        {"size limit below the record of a file that is no image", [&](const Sandbox& box) { box.put("in", "P6\n" + big); },
         "in n c p", {.fileSize = 64 << 10}, 1, "", {{"in", "P6\n" + big}}, "File in is not a ppm file.\n"},
        {"cat that fails part way", fake("cat", "head -c 12 \"$1\"; exit 1"), "in n c p", {}, 1, notWhole,
         {{"in", kInput}}},
        {"filter that fails part way", fake("grep", "head -c 12; exit 2"), "in n c p", {}, 1, notWhole,
         {{"in", kInput}}},
        {"cat that fails on its output", fake("cat", "exit 1"), "in n c p", {}, 1, notWhole, {{"in", kInput}}},
        {"cat killed", fake("cat", "kill -KILL $$"), "in n c p", {}, 1, notWhole, {{"in", kInput}}},
        {"cat failing right after the last sample", fake("cat", "head -c 22; exit 1", kInput + "9"), "in n c p", {}, 1,
         notWhole, {{"in", ""}}},
        // The warnings come from the file the filter read, not from whatever has its name since.
        {"input replaced once read", fake("cat", "/bin/cat \"$@\"; echo '1 # x' > new; mv new in"), "in n c p", {}, 0,
         "", {{"in", "1 # x\n"}, {"n", ppm("1 1", kNeg)}, {"c", ppm("1 1", kCoef)}, {"p", ppm("1 1", kPerm)}}},
        // An input that exists, but that no one can open, is no P3 file.
        {"socket as the input", [](const Sandbox& box) {
             sockaddr_un address{AF_UNIX, {}};
             (box.dir / "in").string().copy(address.sun_path, sizeof address.sun_path - 1);
             close(bind(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address), sizeof address));
         }, "in n c p", {}, 1, "cat: ", {{"in", ""}, {"ppmdumppppp", ""}}, "File in is not a ppm file.\n"},
        // Once the samples are in, the rest of an endless input is not waited for; nor is more of one that is no image.
        {"endless samples after the image", fake("cat", "echo P3 1 1 255 100 200 255; exec yes 7"), "/dev/zero n c p",
         {}, 0, "", done},
        // On a stream, a token is whole only once a byte after it has come, or the statuses say so.
        {"cat failing right after the last sample, on a stream", fake("cat", "printf 'P3 1 1 255 100 200 255'; exit 1"),
         "/dev/zero n c p", {}, 1, "File /dev/zero could not be read whole.\n", {{"in", kInput}}},
        {"cat failing at once on a stream", fake("cat", "exit 1"), "/dev/zero n c p", {}, 1,
         "File /dev/zero could not be read whole.\n", {{"in", kInput}}},
        {"no image, with standard error a closed pipe", [](const Sandbox& box) { box.put("in", "P6 1 1 255 0 0 0"); },
         "in n c p", {.closedErr = true}, 1, "", {{"in", ""}, {"ppmdumppppp", ""}}, "File in is not a ppm file.\n"},
        {"endless input that is no image", withInput, "/dev/urandom n c p", {}, 1, "", {{"in", kInput},
         {"ppmdumppppp", ""}}, "File /dev/urandom is not a ppm file.\n"},
        // The input's name is what it means to the caller, whatever the filter's own plumbing takes.
        {"input on the caller's descriptor 3", withInput, "/dev/fd/3 n c p", {.inherited = 3}, 0, "", done},
        {"input on the caller's descriptor 4", withInput, "/dev/fd/4 n c p", {.inherited = 4}, 0, "", done},
        {"input on the caller's descriptor 5", withInput, "/dev/fd/5 n c p", {.inherited = 5}, 0, "", done},
        {"caller's descriptor 7, kept from the filter", fake("cat", "[ -e /dev/fd/7 ] && exit 1; exec /bin/cat \"$@\""),
         "in n c p", {.inherited = 7}, 0, "", done},
        {"eight descriptors at most", withInput, "in n c p", {.files = 8}, 0, "", done},
        {"thirteen descriptors at most, and no right to more", withInput, "in n c p", {.hardFiles = 13}, 0, "", done},
        // They change nothing with bash as /bin/sh either.
        {"shell options exported", withInput, "in n c p", {.env = "SHELLOPTS=errexit:nounset:xtrace"}, 0, "", done},
        {"function exported as cat", withInput, "in n c p", {.env = "BASH_FUNC_cat%%=() { echo P3 1 1 255 1 2 3; }"}, 0,
         "", done},
        {"filter interrupted", fake("grep", "kill -INT $$"), "in n c p", {}, 128 + SIGINT, "", {{"in", kInput}}},
        {"filter reporting an interruption", fake("grep", "cat; exit 143"), "in n c p", {}, 128 + SIGTERM, "",
         {{"in", kInput}}},
        // A stream's filter, cut short, is judged by its shell's status, which an ignored SIGCHLD would lose.
        {"SIGCHLD ignored by the parent", fake("cat", "echo P3 1 1 255 100 200 255; exec yes 7"), "/dev/zero n c p",
         {.ignored = SIGCHLD}, 0, "", done},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        c.setUp(box);
        Limits limits = c.limits;
        const std::string bin = box.dir.string() + ".bin";
        if (fs::exists(bin))
            limits.bin = bin.c_str();
        Outcome r = box.run(c.answers, limits);
        if (r.status == kNotSetUp) {
            std::cout << "skipped: " << c.what << ": cannot be set up here\n";
            continue;
        }
        EXPECT_EQ(r.status, c.status) << c.what << r.err;
        EXPECT_EQ(r.out, prompts(c.status == 0 ? 4 : 1) + c.out) << c.what;
        EXPECT_TRUE(r.err.starts_with(c.err)) << c.what << r.err;
        EXPECT_TRUE(c.status != 0 || r.err.empty()) << c.what << r.err;
        EXPECT_EQ(box.files(), keysOf(c.files, {})) << c.what;
        for (const auto& [name, bytes] : c.files) {
            if (!bytes.empty()) {
                EXPECT_TRUE(box.get(name) == bytes) << c.what << ": " << name;
            }
        }
    }
}

// Runs that share a directory each load their own input, whether they can lock
// it or not (a directory its user may write and enter but not read), and one
// waiting for an answer holds up none of them.
TEST(Faults, RunsInOneDirectoryEachLoadTheirOwn)
{
    for (bool lockable : {true, false}) {
        SCOPED_TRACE(lockable ? "lockable" : "no lock");
        Limits limits;
        if (!lockable && (geteuid() != 0 || Sandbox().run("", {.user = 65534}).status == kNotSetUp))
            GTEST_SKIP() << "the run without a lock needs root, and a sandbox that user nobody can reach";
        if (!lockable)
            limits.user = 65534;
        Sandbox box;
        if (!lockable)
            chmod(box.dir.c_str(), 0333);
        box.put("w", kInput);
        int answers[2];
        ASSERT_EQ(pipe(answers), 0);
        ASSERT_EQ(write(answers[1], "w\n", 2), 2);
        pid_t waiting = box.start(answers[0], "w", limits);
        close(answers[0]);
        for (int i = 0; i < 1000 && box.get(".stdoutw") != prompts(2); ++i)
            usleep(10000);
        ASSERT_EQ(box.get(".stdoutw"), prompts(2));

        constexpr int kRuns = 4;
        std::set<std::string> files{"w", ".stdoutw", ".stderrw"};
        for (int round = 0; round < 3; ++round) {
            pid_t pids[kRuns];
            for (size_t k = 0; k < kRuns; ++k) {
                const std::string id = std::to_string(k);
                // Each input its own size and samples, large enough to take a while.
                box.put("in" + id,
                    ppm(std::to_string(200 + k) + " 100", same(10 + static_cast<long long>(k), (200 + k) * 100)));
                box.put(".answers" + id, "in" + id + " n" + id + " c" + id + " p" + id);
                int in = open((box.dir / (".answers" + id)).c_str(), O_RDONLY);
                pids[k] = box.start(in, id, limits);
                close(in);
            }
            for (size_t k = 0; k < kRuns; ++k) {
                const std::string id = std::to_string(k);
                Outcome r = box.finish(pids[k], id);
                fs::remove(box.dir / (".answers" + id));
                const std::string size = std::to_string(200 + k) + " 100";
                const size_t n = (200 + k) * 100;
                EXPECT_EQ(r.status, 0) << round << " " << k << r.err;
                EXPECT_EQ(r.err, "") << round << " " << k;
                EXPECT_TRUE(box.get("n" + id) == ppm(size, same(245 - static_cast<long long>(k), n)))
                    << round << " " << k;
                EXPECT_TRUE(box.get("p" + id) == ppm(size, same(9 + static_cast<long long>(k), n)))
                    << round << " " << k;
                files.insert({"in" + id, "n" + id, "c" + id, "p" + id});
            }
            EXPECT_EQ(box.files(), files) << round;
        }
        const std::string rest = "n c p\n";
        ASSERT_EQ(write(answers[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        close(answers[1]);
        Outcome r = box.finish(waiting, "w");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(box.get("p"), ppm("1 1", kPerm));
    }
}

// A load whose filter waits to be told to go on. A signal to the tool ends
// the filter, removes the scratch file and ends the tool by that signal, even
// as the init of a PID namespace. A file renamed over the scratch file
// meanwhile is the user's: it survives the name's release and a signal's
// cleanup alike. No filter process outlives the run, even one started with
// SIGIO ignored, and a tool stopped by Ctrl-Z goes on once continued.
TEST(Faults, ALoadHeldByItsFilter)
{
    struct Case {
        int signal;   // sent while the filter waits; 0 for none
        bool renamed; // another file is renamed over the scratch file first
        Limits limits = {};
    };
    const Case cases[] = {{0, true}, {SIGTERM, true}, {SIGINT, false}, {SIGQUIT, false}, {SIGTERM, false},
        {SIGHUP, false}, {SIGTERM, false, {.init = true}}, {SIGKILL, false, {.ignored = SIGIO}}, {SIGTSTP, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.signal) + (c.renamed ? " renamed" : "") + (c.limits.init ? " init" : ""));
        Sandbox box;
        box.put("in", kInput);
        const std::string bin = box.dir.string() + ".bin";
        // Its wait says nothing when killed, as cat would not.
        box.putCommand(bin, "cat",
            "{ : > held; for i in $(seq 3000); do [ -e go ] && break; sleep 0.01; done; } 2>/dev/null;"
            " exec /bin/cat \"$@\"");
        Limits limits = c.limits;
        limits.bin = bin.c_str();
        int in = open("/dev/null", O_RDONLY);
        pid_t pid = box.start(in, "", limits, {"in", "n", "c", "p"});
        close(in);
        pid_t run = c.limits.init ? Sandbox::runOf(pid) : pid;
        // As long as the fake cat waits: under qemu on a loaded machine the tool can take over a
        // second to make its file, and a rename before that is taken for an old scratch file.
        for (int wait = 0; wait < 30000 && run != 0 && !fs::exists(box.dir / "held"); ++wait)
            usleep(1000);
        if (run == 0) {
            std::cout << "skipped: a PID namespace cannot be set up here: status " << box.finish(pid).status << "\n";
            continue;
        }
        if (c.renamed) {
            box.put(".mine", "mine");
            fs::rename(box.dir / ".mine", box.dir / "ppmdumppppp");
        }
        if (c.signal != 0)
            kill(run, c.signal);
        const bool completes = c.signal == 0 || c.signal == SIGTSTP;
        if (c.signal == SIGTSTP) {
            // The filter needs no stop of its own: with the tool stopped, it blocks on a full pipe.
            int status = 0;
            EXPECT_TRUE(waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) << "the tool stopped";
            kill(run, SIGCONT);
        }
        if (completes)
            box.put("go", "");
        Outcome r = box.finish(pid);
        for (int wait = 0; wait < 100 && box.processes() > 0; ++wait)
            usleep(10000);
        EXPECT_EQ(box.processes(), 0);
        box.put("go", ""); // lets a filter left behind end
        EXPECT_EQ(r.status, completes ? 0 : 128 + c.signal) << r.err;
        if (!kEmulated || c.signal != SIGQUIT) { // qemu-user tells of the core it dumps
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(fs::exists(box.dir / "ppmdumppppp"), c.renamed || c.signal == SIGKILL);
        EXPECT_EQ(box.get("ppmdumppppp"), c.renamed ? "mine" : "");
        EXPECT_EQ(box.get("p"), completes ? ppm("1 1", kPerm) : "");
    }
}

// A terminal named as the input is read as standard input is, to Ctrl-D, by
// the tool, so that a background job reading it stops as any reader of a
// terminal does; however the run ends, no process of it outlives it by a second.
TEST(Faults, TerminalsAndProcessGroups)
{
    struct Case {
        std::string input;
        int signal;              // sent while the terminal still has more to give; 0 ends it with Ctrl-D
        bool group;              // to the run's whole process group rather than the tool alone
        bool background = false; // the run is a background job of the terminal's session
        int ignored = 0;         // a signal it is started ignoring
    };
    // A background run that may not be stopped for reading the terminal fails: cat is never given it.
    const Case cases[] = {{"/dev/tty", 0, false}, {"/dev/stdin", 0, false}, {"-", 0, false}, {"-", SIGTERM, false},
        {"-", SIGKILL, false}, {"/dev/tty", SIGKILL, true}, {"/dev/tty", 0, false, true}, {"-", 0, false, true},
        {"-", 0, false, true, SIGTTIN}};
    for (const Case& c : cases) {
        Sandbox box;
        int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
        int in = open(ptsname(terminal), O_RDWR | O_NOCTTY);
        pid_t pid = box.start(
            in, "", {.ignored = c.ignored, .terminal = true, .background = c.background}, {c.input, "n", "c", "p"});
        close(in);
        const std::string typed = kInput + "\n" + (c.signal == 0 ? "\x04" : "");
        ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        for (int wait = 0; wait < 1000 && getpgid(pid) != pid; ++wait)
            usleep(1000); // the run leads a session of its own
        if (c.signal != 0)
            kill(c.group ? -pid : pid, c.signal);
        Outcome r = box.finish(pid);
        for (int wait = 0; wait < 100 && box.processes() > 0; ++wait)
            usleep(10000);
        close(terminal);
        const bool completes = c.signal == 0 && !c.background;
        EXPECT_EQ(box.processes(), 0) << c.input << c.signal;
        const int stopped = c.ignored != 0 ? 1 : kStopped + SIGTTIN;
        EXPECT_EQ(r.status, c.background ? stopped : completes ? 0 : 128 + c.signal) << c.input << r.err;
        EXPECT_EQ(r.err, c.ignored != 0 ? c.input + ": Input/output error\n" : "") << c.input;
        EXPECT_EQ(box.get("p"), completes ? ppm("1 1", kPerm) : "") << c.input << c.signal;
    }
}

TEST(Faults, PixelsBeyondTheAddressSpace)
{
    // No such limit leaves room for a sanitizer's shadow memory.
    if (kShadowMemory)
        GTEST_SKIP() << "an address-space limit stops the sanitized executable before main";
#ifdef PPMTOOL_EMULATOR
    // With 32-bit pointers every size here is beyond what one array may address, limit or not.
    if (sizeof(void*) > 4)
        GTEST_SKIP() << "qemu-user ignores an address-space limit set inside the program it runs";
#endif
    for (const char* size : {"20000 20000", "46340 46340", "2147483647 1", "1 2147483647"}) {
        Sandbox box;
        box.put("in", std::string("P3 ") + size + " 255 1 2 3");
        Outcome r = box.run("in neg coef perm\n", {0, rlim_t{1} << 30});
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.out, prompts(1)) << size;
        EXPECT_EQ(r.err, "File in is too large.\n") << size;
        EXPECT_EQ(box.files(), std::set<std::string>{"in"}) << size;
    }
}

TEST(Faults, AnswersAcrossBlanksAndEndOfInput)
{
    const std::map<std::string, std::string> all = {
        {"n", ppm("1 1", kNeg)}, {"c", ppm("1 1", kCoef)}, {"p", ppm("1 1", kPerm)}};
    struct Case {
        std::string answers;
        int given; // answers present before the input ends
    };
    // clang-format off
    const Case cases[] = {
        {"\n\n\tin \r\n\v n\f\fc\r\n\r\np \n", 4}, {"in n c p and more words\n", 4}, {"in\nn\nc\np", 4},
        {"", 0}, {" \r\n\t", 0}, {"\r\nin\r\n", 1}, {"in\tn\r\n\r\n", 2}, {"in\nn\nc\n \t\r\n", 3}, {"in\vn\fc", 3},
    };
    // clang-format on
    for (const Case& c : cases) {
        Sandbox box;
        box.put("in", kInput);
        Outcome r = box.run(c.answers);
        std::map<std::string, std::string> saved;
        for (const char* name : {"n", "c", "p"})
            if (saved.size() + 1 < static_cast<size_t>(c.given))
                saved[name] = all.at(name);
        EXPECT_EQ(r.status, c.given == 4 ? 0 : 1) << c.answers;
        EXPECT_EQ(r.out, prompts(c.given == 4 ? 4 : c.given + 1)) << c.answers;
        EXPECT_EQ(r.err, c.given == 4 ? "" : "No file name was given.\n") << c.answers;
        EXPECT_EQ(box.files(), keysOf(saved, {"in"})) << c.answers;
        for (const auto& [name, bytes] : saved)
            EXPECT_EQ(box.get(name), bytes) << c.answers;
    }
}

} // namespace

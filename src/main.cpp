// ppmtool: reads a P3 image and writes its negative, the image scaled by 1.2,
// and a channel rotation of the scaled one. The four names come either from
// the command line or, with no arguments, from a dialogue on the standard streams.

#include "image.h"
#include "ppm.h"
#include "reader.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr float kCoefficient = 1.2f;
constexpr float kReverseFactor = 0.8333f;

// What the dialogue asks for each name, in the order the run needs them.
constexpr const char* kPrompts[] = {"Write a name of ppm file with format: ", "Name of the negative image: ",
    "Name of the coefficient image: ", "Name of the permite image: "};
constexpr size_t kNames = 4;

constexpr const char* kHelp =
    "Usage: ppmtool\n  or:  ppmtool [--] IN NEG COEF PERM\n"
    "Read the P3 image IN and write three images made from it:\n"
    "  NEG   the negative: every sample s becomes 255 - s;\n"
    "  COEF  every sample times 1.2, truncated and clamped to 0..255;\n"
    "  PERM  COEF times 0.8333, with channels (r, g, b) rotated to (b, r, g).\n"
    "With no arguments, ask for the four names on standard output and read each\n"
    "answer as one word from standard input. Names given as arguments are used\n"
    "whole, blanks and all, and every message then goes to standard error. '--'\n"
    "ends the options: put it first when any name begins with '-'. As an\n"
    "argument, '-' alone is standard input for IN and standard output for one\n"
    "output ('./-' names a file called '-'); in the dialogue it is a file name.\n\n"
    "  -h, --help     print this help and exit\n      --version  print the version and exit\n\n"
    "Exit status: 0 once the three images are written, 1 when loading or saving\n"
    "fails, 2 for a wrong command line.\nThe manual: man ppmtool\n";

// Shows the prompt and reads one whitespace-delimited word of any length;
// exits when standard input ends before a word starts.
std::string askOrDie(const char* prompt)
{
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    int c;
    while ((c = std::getchar()) != EOF && R_isSpace(c)) {
    }
    if (c == EOF) {
        std::fputs("No file name was given.\n", stderr);
        std::exit(1);
    }
    std::string word;
    do
        word += static_cast<char>(c);
    while ((c = std::getchar()) != EOF && !R_isSpace(c));
    return word;
}

// "-" on the command line is standard output; in the dialogue, a file name.
void save(const Color* pixels, const std::string& name, PPM image, bool streams)
{
    if (streams && name == "-")
        PPM_saveToStandardOutput(pixels, image);
    else
        PPM_save(pixels, name.c_str(), image);
}

// Loads, transforms and saves. nameOf(i) gives the i-th name (input, negative,
// coefficient, permuted) and is called only when that name is needed, so the
// dialogue asks for each output once the previous one is written. With
// `streams`, "-" names standard input or output.
template <typename NameOf>
int run(NameOf nameOf, bool streams)
{
    std::string input = nameOf(0);
    PPM image = streams ? PPM_newFromCommandLine(input.c_str(), input == "-") : PPM_new(input.c_str());
    int32_t nbPixels = PPM_nbPixels(image);
    Color* pixels = PPM_pixels(image);

    I_negative(pixels, nbPixels);
    std::string negative = nameOf(1);
    save(pixels, negative, image, streams);

    I_negative(pixels, nbPixels);
    I_coef(pixels, nbPixels, kCoefficient);
    std::string coefficient = nameOf(2);
    save(pixels, coefficient, image, streams);

    I_coef(pixels, nbPixels, kReverseFactor);
    I_permute(pixels, nbPixels);
    std::string permuted = nameOf(3);
    save(pixels, permuted, image, streams);
    return 0;
}

// Reports a wrong command line; the exit status is 2.
int usageError(const std::string& what)
{
    std::fprintf(stderr, "ppmtool: %s\nTry 'ppmtool --help'.\n", what.c_str());
    return 2;
}

// Prints to standard output; the exit status is 0, or 1 when the text cannot be written.
int print(const char* text)
{
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        std::perror("ppmtool: standard output");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // A file over the size limit is then a write error, reported as one; and
    // the loader waits for its filter, which a parent's ignored SIGCHLD forbids.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGCHLD, SIG_DFL);
    if (argc <= 1)
        return run([](int i) { return askOrDie(kPrompts[i]); }, false);

    std::vector<const char*> names;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0)
            options = false;
        else if (options && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0))
            return print(kHelp);
        else if (options && std::strcmp(arg, "--version") == 0)
            return print("ppmtool " PPMTOOL_VERSION "\n");
        else if (options && arg[0] == '-' && arg[1] != '\0')
            return usageError(std::string("unknown option '") + arg + "' (put '--' first if it is a file name)");
        else
            names.push_back(arg);
    }
    if (names.size() != kNames)
        return usageError("expected 4 file names (IN NEG COEF PERM), got " + std::to_string(names.size()));
    if (std::count_if(names.begin() + 1, names.end(), [](const char* name) { return std::strcmp(name, "-") == 0; }) > 1)
        return usageError("only one output can go to standard output ('-')");
    return run([&names](int i) { return std::string(names[static_cast<size_t>(i)]); }, true);
}

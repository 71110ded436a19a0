// ppmtool: asks for a P3 image and three output names, and writes the image's
// negative, the image scaled by 1.2, and a channel rotation of the scaled one.

#include "image.h"
#include "ppm.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr float kCoefficient = 1.2f;
constexpr float kReverseFactor = 0.8333f;

bool isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Shows the prompt and reads one whitespace-delimited word of any length;
// exits when standard input ends before a word starts.
std::string askOrDie(const char* prompt)
{
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    int c;
    while ((c = std::getchar()) != EOF && isBlank(c)) {
    }
    if (c == EOF) {
        std::fputs("No file name was given.\n", stderr);
        std::exit(1);
    }
    std::string word;
    do
        word += static_cast<char>(c);
    while ((c = std::getchar()) != EOF && !isBlank(c));
    return word;
}

} // namespace

int main()
{
    // A file over the size limit is then a write error, reported as one.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string input = askOrDie("Write a name of ppm file with format: ");
    PPM image = PPM_new(input.c_str());
    int32_t nbPixels = PPM_nbPixels(image);
    Color* pixels = PPM_pixels(image);

    I_negative(pixels, nbPixels);
    std::string negative = askOrDie("Name of the negative image: ");
    PPM_save(pixels, negative.c_str(), image);

    I_negative(pixels, nbPixels);
    I_coef(pixels, nbPixels, kCoefficient);
    std::string coefficient = askOrDie("Name of the coefficient image: ");
    PPM_save(pixels, coefficient.c_str(), image);

    I_coef(pixels, nbPixels, kReverseFactor);
    I_permute(pixels, nbPixels);
    std::string permuted = askOrDie("Name of the permite image: ");
    PPM_save(pixels, permuted.c_str(), image);
    return 0;
}

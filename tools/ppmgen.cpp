// ppmgen: writes deterministic P3 test images to standard output.
//   ppmgen picture W H   gradients and shapes, for the sample image
//   ppmgen noise W H     pseudo-random samples with comment lines, for the benchmark

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Rgb {
    int r, g, b;
};

Rgb picture(int x, int y, int w, int h)
{
    // A sky-to-ground gradient, a sun, a box and a grey ramp along the bottom.
    Rgb c{40 + 160 * y / h, 90 + 120 * x / w, 230 - 150 * y / h};
    int dx = x - w * 2 / 3, dy = y - h / 3, radius = h / 5;
    if (dx * dx + dy * dy <= radius * radius)
        c = {255, 210 - 60 * (dx * dx + dy * dy) / (radius * radius), 40};
    if (x > w / 8 && x < w * 3 / 8 && y > h / 2 && y < h * 7 / 8)
        c = {170 + 60 * x / w, 40, 60 + 100 * y / h};
    if (y >= h * 15 / 16)
        c = {255 * x / w, 255 * x / w, 255 * x / w};
    return c;
}

uint32_t next(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

void append(std::string& line, int v)
{
    char digits[12];
    char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    line.append(digits, end);
    line += ' ';
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "picture") != 0 && std::strcmp(argv[1], "noise") != 0)) {
        std::fputs("usage: ppmgen picture|noise WIDTH HEIGHT\n", stderr);
        return 2;
    }
    const bool noise = std::strcmp(argv[1], "noise") == 0;
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    if (w <= 0 || h <= 0 || w > 100000 || h > 100000) {
        std::fputs("ppmgen: sizes are 1 to 100000\n", stderr);
        return 2;
    }
    std::printf("P3\n# %s image made by ppmgen\n%d %d\n# samples follow\n255\n", argv[1], w, h);
    const int perLine = noise ? 5 : w;
    uint32_t state = 2463534242u;
    std::string line;
    long long n = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            Rgb c = noise ? Rgb{int(next(state) % 256), int(next(state) % 256), int(next(state) % 256)}
                          : picture(x, y, w, h);
            append(line, c.r);
            append(line, c.g);
            append(line, c.b);
            if (++n % perLine == 0) {
                line.back() = '\n';
                if (noise && n % (perLine * 1000) == 0)
                    line += "# a comment line every thousand lines\n";
            }
        }
        if (line.size() > (1 << 16)) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            line.clear();
        }
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

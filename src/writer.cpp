#include "writer.h"

Writer W_open(FILE* file, char* buffer, size_t capacity)
{
    return Writer{file, buffer, capacity, 0, false};
}

bool W_flush(Writer& out)
{
    if (!out.failed && out.used != 0 && std::fwrite(out.buffer, 1, out.used, out.file) != out.used)
        out.failed = true;
    out.used = 0;
    return !out.failed;
}

bool W_reserve(Writer& out, size_t bytes)
{
    if (out.capacity - out.used >= bytes)
        return !out.failed;
    return W_flush(out);
}

bool W_text(Writer& out, const char* text)
{
    size_t n = std::strlen(text);
    if (!W_reserve(out, n))
        return false;
    std::memcpy(out.buffer + out.used, text, n);
    out.used += n;
    return true;
}

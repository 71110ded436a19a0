#include "writer.h"

namespace {

bool put(Writer& out, size_t n)
{
    if (!out.failed && n != 0 && std::fwrite(out.buffer, 1, n, out.file) != n)
        out.failed = true;
    return !out.failed;
}

} // namespace

Writer W_open(FILE* file, char* buffer, size_t size)
{
    return Writer{file, buffer, size - kWriterSlack, 0, false};
}

bool W_drain(Writer& out)
{
    if (out.used < out.chunk)
        return !out.failed;
    bool ok = put(out, out.chunk);
    out.used -= out.chunk;
    std::memmove(out.buffer, out.buffer + out.chunk, out.used);
    return ok;
}

bool W_flush(Writer& out)
{
    bool ok = put(out, out.used);
    out.used = 0;
    return ok;
}

bool W_text(Writer& out, const char* text)
{
    size_t n = std::strlen(text);
    if (!W_reserve(out))
        return false;
    std::memcpy(out.buffer + out.used, text, n);
    out.used += n;
    return true;
}

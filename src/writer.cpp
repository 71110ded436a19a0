#include "writer.h"

#include <cerrno>
#include <system_error>

namespace {

// 0, or the errno of a short write.
int put(FILE* file, const char* bytes, size_t n)
{
    return n == 0 || std::fwrite(bytes, 1, n, file) == n ? 0 : errno;
}

// Waits for the write in flight; false, with errno set, if it failed.
bool settle(Writer& out)
{
    if (!out.pending.valid())
        return !out.failed;
    if (int error = out.pending.get(); error != 0) {
        out.failed = true;
        errno = error;
    }
    return !out.failed;
}

} // namespace

Writer W_open(FILE* file, char* buffer, size_t size)
{
    size_t half = size / 2;
    return Writer{file, {buffer, buffer + half}, buffer, half - kWriterSlack, 0, {}, false};
}

bool W_drain(Writer& out)
{
    if (out.used < out.chunk)
        return !out.failed;
    if (!settle(out))
        return false;
    char* full = out.buffer;
    out.buffer = full == out.halves[0] ? out.halves[1] : out.halves[0];
    out.used -= out.chunk;
    std::memcpy(out.buffer, full + out.chunk, out.used);
    try {
        out.pending = std::async(std::launch::async, put, out.file, full, out.chunk);
    } catch (const std::system_error&) {
        // No thread to be had: write it here.
        out.pending = std::async(std::launch::deferred, put, out.file, full, out.chunk);
    }
    return true;
}

bool W_flush(Writer& out)
{
    if (!settle(out))
        return false;
    if (int error = put(out.file, out.buffer, out.used); error != 0) {
        out.failed = true;
        errno = error;
    }
    out.used = 0;
    return !out.failed;
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

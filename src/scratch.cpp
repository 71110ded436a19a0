#include "scratch.h"

#include "cleanup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr const char* kName = "ppmdumppppp";
// The longest a run waits on what another process holds, the directory's
// lock and then the name, before it goes on without the one or gives up on
// the other.
constexpr auto kPatience = std::chrono::seconds(2);
constexpr auto kPoll = std::chrono::milliseconds(1);

using Clock = std::chrono::steady_clock;

// 1 when the name still holds the file this run made, 0 when it holds another
// or nothing, -1 when that cannot be told, with errno saying why. Some file
// systems give a new inode number at every look: where the run's own file
// shows one other than it had, the numbers tell nothing and the name is taken
// as the run's. Async-signal-safe.
int isOurs(const Scratch& scratch)
{
    struct stat name, own;
    if (lstat(kName, &name) != 0)
        return errno == ENOENT ? 0 : -1;
    if (name.st_dev != scratch.device)
        return 0;
    if (name.st_ino == scratch.inode)
        return 1;
    return fstat(scratch.file, &own) == 0 && own.st_ino != scratch.inode ? 1 : 0;
}

// Runs in a signal handler: the process is ending, and its file goes first.
void removeOnEnd(CL_Event event, const void* what)
{
    const auto& scratch = *static_cast<const Scratch*>(what);
    if (event == CL_end && scratch.named != 0 && isOurs(scratch) == 1)
        unlink(kName);
}

// Removes the name if it still holds this run's file. A failure is tried
// again, as a look-up may fail in passing, and then said: the file stays. A
// handler that comes in between finds the name gone, or removes it first.
void unname(Scratch& scratch)
{
    int error = 0;
    for (int tries = 0; scratch.named != 0 && tries < 3; ++tries) {
        int ours = isOurs(scratch);
        if (ours == 0 || (ours == 1 && (unlink(kName) == 0 || errno == ENOENT))) {
            scratch.named = 0;
            error = 0;
        } else {
            error = errno;
        }
    }
    scratch.named = 0;
    if (error != 0)
        std::fprintf(stderr, "Cannot remove the scratch file %s: %s\n", kName, std::strerror(error));
}

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void closeAll(Scratch& scratch)
{
    closeFd(scratch.file);
    closeFd(scratch.lock);
    closeFd(scratch.output);
    F_close(scratch.filter);
    CL_uninstall();
}

[[noreturn]] void fail(Scratch& scratch, const std::string& message)
{
    S_stop(scratch);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(1);
}

// An exclusive lock on the working directory, which adds no file and which no
// child inherits; -1 where none can be had in time, or at all.
int lockDirectory()
{
    const Clock::time_point deadline = Clock::now() + kPatience;
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return fd;
}

// Clears the name of what stands there: an old scratch file, unless it is the
// input itself. Anything but a regular file is the user's, and left alone.
void clearName(Scratch& scratch, const struct stat& standing)
{
    struct stat input;
    if (!S_ISREG(standing.st_mode))
        fail(scratch, std::string("Cannot make the scratch file ") + kName +
                          ": something other than a regular file has that name; rename it first.");
    if (F_inputFile(scratch.filter, input) && input.st_dev == standing.st_dev && input.st_ino == standing.st_ino)
        fail(scratch,
            std::string("File ") + scratch.filter.name + " is the scratch file " + kName + "; rename it first.");
    if (unlink(kName) != 0 && errno != ENOENT)
        fail(scratch, std::string("Cannot remove the old scratch file ppmdumppppp: ") + std::strerror(errno));
}

// Creates the file where nothing stands; a name taken again at once is tried
// again for a while. The file is known to the signal handlers from the moment
// it exists.
void makeFile(Scratch& scratch)
{
    const Clock::time_point deadline = Clock::now() + kPatience;
    for (;;) {
        struct stat status;
        if (lstat(kName, &status) == 0)
            clearName(scratch, status);
        sigset_t old = CL_hold();
        int fd = open(kName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        int error = errno;
        if (fd >= 0 && fstat(fd, &status) == 0) {
            scratch.file = fd;
            scratch.device = status.st_dev;
            scratch.inode = status.st_ino;
            scratch.named = 1;
            CL_push(removeOnEnd, &scratch);
        } else if (fd >= 0) {
            // Made, but not to be told from another's file: gone again.
            error = errno;
            unlink(kName);
            closeFd(fd);
        }
        CL_release(old);
        if (fd >= 0)
            return;
        if (error != EEXIST || Clock::now() >= deadline)
            fail(scratch, std::string("Cannot make the scratch file ppmdumppppp: ") + std::strerror(error));
        std::this_thread::sleep_for(kPoll);
    }
}

} // namespace

void S_start(Scratch& scratch, const char* input, bool standardInput)
{
    scratch.filter = F_open(input, standardInput);
    CL_install();
    scratch.lock = lockDirectory();
    makeFile(scratch);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        fail(scratch, std::string("Cannot start the comment filter: ") + std::strerror(errno));
    scratch.output = ends[0];
    int error = F_start(scratch.filter, ends[1]);
    close(ends[1]);
    if (error != 0)
        fail(scratch, std::string("Cannot start the comment filter: ") + std::strerror(error));
}

size_t S_read(void* source, char* buffer, size_t size)
{
    auto& scratch = *static_cast<Scratch*>(source);
    while (!scratch.ended) {
        ssize_t n = read(scratch.output, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            scratch.readFailed = n < 0;
            scratch.ended = true;
            break;
        }
        // grep lets no '#' through: the first one opens the trailer, which
        // runs to the output's end.
        auto got = static_cast<size_t>(n);
        const void* hash = scratch.trailer.empty() ? std::memchr(buffer, '#', got) : buffer;
        size_t data = hash == nullptr ? got : static_cast<size_t>(static_cast<const char*>(hash) - buffer);
        scratch.trailer.append(buffer + data, std::min(got - data, kTrailerRoom + 1 - scratch.trailer.size()));
        // The record is the user's to look at; one that cannot be written whole is not left behind.
        if (scratch.named != 0 && data > 0 && write(scratch.file, buffer, data) != static_cast<ssize_t>(data))
            unname(scratch);
        scratch.delivered += static_cast<off_t>(data);
        if (data > 0)
            return data;
    }
    return 0;
}

void S_release(Scratch& scratch)
{
    unname(scratch);
    closeFd(scratch.lock);
}

void S_finish(Scratch& scratch)
{
    const std::string notWhole = std::string("File ") + scratch.filter.name + " could not be read whole.";
    if (scratch.readFailed) // nothing the filter does next can mend it
        fail(scratch, notWhole);
    F_reap(scratch.filter, true);
    F_readTrailer(scratch.filter, scratch.trailer);
    int signal = 0;
    F_Outcome outcome = F_outcome(scratch.filter, scratch.delivered, signal);
    if (outcome == F_Outcome::interrupted) {
        unname(scratch);
        CL_uninstall();
        CL_die(signal);
    }
    if (outcome == F_Outcome::failed)
        fail(scratch, notWhole);
    // Left for whoever wants to see what was read: the input without its comment lines.
    closeAll(scratch);
}

void S_keep(Scratch& scratch)
{
    // A stream may never end (/dev/urandom): what its filter has written so far is what stays.
    if (scratch.filter.stream)
        F_stop(scratch.filter);
    char buffer[size_t{64} << 10];
    while (S_read(&scratch, buffer, sizeof buffer) > 0) {
    }
    if (scratch.filter.stream)
        closeAll(scratch);
    else
        S_finish(scratch);
}

void S_stop(Scratch& scratch)
{
    F_stop(scratch.filter);
    unname(scratch);
    closeAll(scratch);
}

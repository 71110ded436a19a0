// A scratch file goes through these states; each field holds, in each:
//
//   none      before S_make: `file` and `lock` -1, `named` 0.
//   named     S_make: `file` is the file this run made, known by `device` and
//             `inode`, and `named` 1; `lock` the working directory's lock, or
//             -1 where none could be had. A handled signal removes the name if
//             it still holds this file. S_record writes into `file`; `whole`
//             is false once a write fell short, and nothing more is written.
//   released  S_release: the name removed, if it still held the file; `named`
//             0, `file` and `lock` -1.
//   kept      S_keep: the name left holding the file; `named` 0, `file` and
//             `lock` -1.
#include "scratch.h"

#include "cleanup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

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
    if (lstat(kScratchName, &name) != 0)
        return errno == ENOENT ? 0 : -1;
    if (name.st_dev != scratch.device)
        return 0;
    if (name.st_ino == scratch.inode)
        return 1;
    return fstat(scratch.file, &own) == 0 && own.st_ino != scratch.inode ? 1 : 0;
}

// Runs in a signal handler: the process is ending, and its file goes first.
void removeOnEnd(const void* what)
{
    const auto& scratch = *static_cast<const Scratch*>(what);
    if (scratch.named != 0 && isOurs(scratch) == 1)
        unlink(kScratchName);
}

// An exclusive lock on the working directory, which adds no file and which no
// child inherits; -1 where none can be had in time, or at all.
int lockDirectory()
{
    const Clock::time_point deadline = Clock::now() + kPatience;
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            CL_close(fd);
            return -1;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return fd;
}

// Clears the name of what stands there: an old scratch file, unless it is the
// input itself. Anything but a regular file is the user's, and left alone.
S_Error clearName(const struct stat& standing, const struct stat* input)
{
    if (!S_ISREG(standing.st_mode))
        return {S_Failure::notAFile, 0};
    if (input != nullptr && input->st_dev == standing.st_dev && input->st_ino == standing.st_ino)
        return {S_Failure::theInput, 0};
    if (unlink(kScratchName) != 0 && errno != ENOENT)
        return {S_Failure::oldStays, errno};
    return {S_Failure::none, 0};
}

// Creates the file where nothing stands, known to the signal handler from the
// moment it exists; -1, with errno saying why, where it cannot be.
int createFile(Scratch& scratch)
{
    sigset_t old = CL_hold();
    int fd = open(kScratchName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0) {
        scratch.file = fd;
        scratch.device = status.st_dev;
        scratch.inode = status.st_ino;
        scratch.named = 1;
        CL_onEnd(removeOnEnd, &scratch);
    } else if (fd >= 0) {
        // Made, but not to be told from another's file: gone again.
        int error = errno;
        unlink(kScratchName);
        CL_close(fd);
        errno = error;
    }
    int error = errno;
    CL_release(old);
    errno = error;
    return fd;
}

} // namespace

S_Error S_make(Scratch& scratch, const struct stat* input)
{
    scratch.lock = lockDirectory();
    // A name taken again at once is tried again for a while.
    const Clock::time_point deadline = Clock::now() + kPatience;
    for (;;) {
        struct stat standing;
        if (lstat(kScratchName, &standing) == 0) {
            S_Error cleared = clearName(standing, input);
            if (cleared.what != S_Failure::none)
                return cleared;
        }
        if (createFile(scratch) >= 0)
            return {S_Failure::none, 0};
        if (errno != EEXIST || Clock::now() >= deadline)
            return {S_Failure::cannotMake, errno};
        std::this_thread::sleep_for(kPoll);
    }
}

void S_record(Scratch& scratch, const char* data, size_t size)
{
    if (scratch.named == 0 || !scratch.whole || size == 0)
        return;
    scratch.whole = write(scratch.file, data, size) == static_cast<ssize_t>(size);
}

int S_release(Scratch& scratch)
{
    // A look-up may fail in passing: a failure is tried again. A handler that
    // comes in between finds the name gone, or removes it first.
    int error = 0;
    for (int tries = 0; scratch.named != 0 && tries < 3; ++tries) {
        int ours = isOurs(scratch);
        if (ours == 0 || (ours == 1 && (unlink(kScratchName) == 0 || errno == ENOENT))) {
            scratch.named = 0;
            error = 0;
        } else {
            error = errno;
        }
    }
    scratch.named = 0;
    CL_close(scratch.file);
    CL_close(scratch.lock);
    return error;
}

int S_keep(Scratch& scratch)
{
    if (!scratch.whole)
        return S_release(scratch);
    scratch.named = 0;
    CL_close(scratch.file);
    CL_close(scratch.lock);
    return 0;
}

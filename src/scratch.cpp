#include "scratch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

// POSIX has the program declare it; glibc's unistd.h does too, under _GNU_SOURCE.
// NOLINTNEXTLINE(readability-redundant-declaration)
extern char** environ;

namespace {

constexpr const char* kName = "ppmdumppppp";
// The longest a run waits on what another process holds, the directory's lock
// or the name, before it goes on without the one or gives up on the other.
constexpr auto kPatience = std::chrono::seconds(2);
constexpr auto kPoll = std::chrono::milliseconds(1);
// The signals that end a load by removing the scratch file first.
constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
// The shell ends the file with "\n#C G\n", cat's and grep's exit statuses: a
// line holding '#', which grep never lets through. It is never longer than
// this, so the bytes short of it are the filter's while it runs.
constexpr off_t kTrailerRoom = 16;

// What failed, each said once; the reason follows.
constexpr const char* kCannotRead = "Cannot read the scratch file ppmdumppppp";
constexpr const char* kCannotStart = "Cannot start the comment filter";

using Clock = std::chrono::steady_clock;

// What the signal handler cleans up. A handler can reach nothing else, so this
// is the module's one piece of static state, set only while a load runs.
struct Registry {
    volatile sig_atomic_t filter; // whom to pass a signal to: -group, pid, or 0
    volatile sig_atomic_t named;  // the file at kName is this run's, identified by:
    dev_t device;
    ino_t inode;
};
Registry registry;

bool isOurs()
{
    struct stat status;
    return lstat(kName, &status) == 0 && status.st_dev == registry.device && status.st_ino == registry.inode;
}

// Ends the filter's processes whatever they do with signals: a shell may have
// left SIGQUIT or SIGINT ignored in the commands it runs.
void endFilter()
{
    if (registry.filter != 0)
        kill(static_cast<pid_t>(registry.filter), SIGKILL);
}

// Only async-signal-safe calls: the filter goes, then the file, then the
// process, by the same signal with its default action.
void onSignal(int signal)
{
    endFilter();
    if (registry.named != 0 && isOurs())
        unlink(kName);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal); // delivered as the handler returns
}

sigset_t handledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals)
        sigaddset(&set, signal);
    return set;
}

// Holds the handled signals back while a file or a process is made and
// registered, so that none is made without the handler knowing of it.
sigset_t blockSignals()
{
    sigset_t set = handledSignals(), old;
    sigprocmask(SIG_BLOCK, &set, &old);
    return old;
}

void restoreSignals(const sigset_t& old)
{
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// A signal the process was started ignoring (nohup, a background job) stays ignored.
void installHandlers()
{
    for (int signal : kSignals) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = onSignal;
        action.sa_mask = handledSignals();
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
    }
}

void removeHandlers()
{
    for (int signal : kSignals) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == onSignal) {
            action.sa_handler = SIG_DFL;
            sigaction(signal, &action, nullptr);
        }
    }
}

void unname(Scratch& scratch)
{
    sigset_t old = blockSignals();
    if (scratch.named && isOurs())
        unlink(kName);
    scratch.named = false;
    registry.named = 0;
    restoreSignals(old);
}

void unlock(Scratch& scratch)
{
    if (scratch.lock >= 0)
        close(scratch.lock);
    scratch.lock = -1;
}

// Waits for the shell, at once or only if it has ended; true once it has.
bool reap(Scratch& scratch, bool wait)
{
    while (scratch.filter != 0) {
        pid_t got = waitpid(scratch.filter, &scratch.status, wait ? 0 : WNOHANG);
        if (got == 0)
            return false;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            scratch.status = -1; // not ours to wait for: a failure, not a success
        sigset_t old = blockSignals();
        scratch.filter = 0;
        registry.filter = 0;
        restoreSignals(old);
    }
    return true;
}

void closeAll(Scratch& scratch)
{
    for (int* fd : {&scratch.writer, &scratch.reader, &scratch.ended}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    unlock(scratch);
    removeHandlers();
}

[[noreturn]] void fail(Scratch& scratch, const std::string& message)
{
    S_abandon(scratch);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(1);
}

std::string withReason(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

// An exclusive lock on the working directory, which adds no file and which no
// child inherits; -1 where none can be had in time, or at all.
int lockDirectory(Clock::time_point deadline)
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return fd;
}

// Whether the input, by whatever path, is the file that stands at the scratch
// file's name, which the load would remove before reading it.
bool isScratchFile(const char* input, bool standardInput)
{
    struct stat in, scratch;
    int got = standardInput ? fstat(STDIN_FILENO, &in) : stat(input, &in);
    return got == 0 && lstat(kName, &scratch) == 0 && in.st_dev == scratch.st_dev && in.st_ino == scratch.st_ino;
}

// Creates the file where nothing stands, after removing whatever does, which
// is never opened; a name taken again at once is tried again for a while.
void makeFile(Scratch& scratch, Clock::time_point deadline)
{
    for (;;) {
        if (unlink(kName) != 0 && errno != ENOENT)
            fail(scratch, withReason("Cannot remove the old scratch file ppmdumppppp", errno));
        sigset_t old = blockSignals();
        int fd = open(kName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        int error = errno;
        struct stat status;
        if (fd >= 0 && fstat(fd, &status) == 0) {
            registry.device = status.st_dev;
            registry.inode = status.st_ino;
            registry.named = 1;
            scratch.named = true;
        }
        scratch.writer = fd;
        restoreSignals(old);
        if (fd >= 0)
            break;
        if (error != EEXIST || Clock::now() >= deadline)
            fail(scratch, withReason("Cannot make the scratch file ppmdumppppp", error));
        std::this_thread::sleep_for(kPoll);
    }
    // A second descriptor, with a read offset apart from the filter's write
    // offset: through /proc the same file whatever its name now holds, else
    // by the name, checked to be the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(scratch.writer);
    scratch.reader = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (scratch.reader < 0)
        scratch.reader = open(kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (scratch.reader < 0 || fstat(scratch.reader, &status) != 0)
        fail(scratch, withReason(kCannotRead, errno));
    if (status.st_dev != registry.device || status.st_ino != registry.inode)
        fail(scratch, std::string(kCannotRead) + ": another process replaced it");
}

// The name as one literal shell word: single-quoted, and never taken for an
// option or for standard input.
std::string shellWord(const char* name)
{
    std::string word = "'";
    if (name[0] == '-')
        word += "./";
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '\'')
            word += "'\\''";
        else
            word += *p;
    }
    return word + '\'';
}

// The filter's processes get a group of their own, so that a signal reaches
// every one of them, unless that would stop them: a group in the background
// may not read the terminal, nor write to it under `stty tostop`.
bool ownGroupIsSafe(bool standardInput)
{
    struct termios terminal;
    if (standardInput && isatty(STDIN_FILENO))
        return false;
    return tcgetattr(STDERR_FILENO, &terminal) != 0 || (terminal.c_lflag & TOSTOP) == 0;
}

// Runs the filter through /bin/sh, writing to the file on descriptor 3 and
// then the trailer with cat's status (passed on descriptor 4) and grep's.
void startFilter(Scratch& scratch, bool standardInput)
{
    const std::string source = standardInput ? "-" : shellWord(scratch.input);
    const std::string command = "c=$( { { cat " + source + "; echo $? >&4; } | LC_ALL=C grep -a -v \\# >&3; } 4>&1 );"
                                " g=$?; printf '\\n#%s %s\\n' \"$c\" \"$g\" >&3";
    // Descriptor 3 passed as itself would keep its close-on-exec flag.
    if (scratch.writer == 3) {
        scratch.writer = fcntl(3, F_DUPFD_CLOEXEC, 4);
        close(3);
        if (scratch.writer < 0)
            fail(scratch, withReason(kCannotStart, errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, scratch.writer, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults = handledSignals();
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    bool group = ownGroupIsSafe(standardInput);
    posix_spawnattr_setpgroup(&attributes, 0);

    sigset_t old = blockSignals();
    posix_spawnattr_setsigmask(&attributes, &old);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                             (group ? POSIX_SPAWN_SETPGROUP : 0)));
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    int error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    if (error == 0) {
        scratch.filter = pid;
        registry.filter = group ? -pid : pid;
    }
    restoreSignals(old);
    if (error == 0)
        scratch.ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail(scratch, withReason(kCannotStart, error));
}

// Reads "\n#C G\n" at the end of the n bytes at `tail`: its length, or 0.
off_t readTrailer(const char* tail, off_t n, int& cat, int& grep)
{
    off_t at = n;
    auto number = [&](int& value) {
        off_t end = at;
        while (at > 0 && end - at < 3 && tail[at - 1] >= '0' && tail[at - 1] <= '9')
            --at;
        value = end > at ? std::atoi(std::string(tail + at, tail + end).c_str()) : -1;
        return end > at;
    };
    auto byte = [&](char c) { return at > 0 && tail[--at] == c; };
    if (byte('\n') && number(grep) && byte(' ') && number(cat) && byte('#') && byte('\n'))
        return n - at;
    cat = grep = -1;
    return 0;
}

// Once the filter has ended: where its output ends, short of the trailer.
void findDataEnd(Scratch& scratch)
{
    struct stat status;
    off_t size = fstat(scratch.reader, &status) == 0 ? status.st_size : 0;
    char tail[kTrailerRoom];
    off_t n = std::min(size, kTrailerRoom);
    if (pread(scratch.reader, tail, static_cast<size_t>(n), size - n) != n)
        n = 0;
    scratch.dataEnd = size - readTrailer(tail, n, scratch.catStatus, scratch.grepStatus);
}

bool isHandled(int signal)
{
    return std::find(std::begin(kSignals), std::end(kSignals), signal) != std::end(kSignals);
}

// The signal that interrupted the filter: the shell was killed by it, or
// reports cat or grep killed by it (128 + n). 0 if none of those.
int interruption(const Scratch& scratch)
{
    if (scratch.status != -1 && WIFSIGNALED(scratch.status))
        return isHandled(WTERMSIG(scratch.status)) ? WTERMSIG(scratch.status) : 0;
    for (int status : {scratch.grepStatus, scratch.catStatus})
        if (status > 128 && isHandled(status - 128))
            return status - 128;
    return 0;
}

} // namespace

Scratch S_start(const char* input, bool standardInput)
{
    Scratch scratch{input, -1, -1, -1, 0, -1, 0, false, 0, -1, false, -1, -1};
    installHandlers();
    Clock::time_point deadline = Clock::now() + kPatience;
    scratch.lock = lockDirectory(deadline);
    if (isScratchFile(input, standardInput)) {
        closeAll(scratch);
        std::fprintf(stderr, "File %s is the scratch file %s; rename it first.\n", input, kName);
        std::exit(1);
    }
    makeFile(scratch, deadline);
    startFilter(scratch, standardInput);
    return scratch;
}

size_t S_read(void* source, char* buffer, size_t size)
{
    auto& scratch = *static_cast<Scratch*>(source);
    for (;;) {
        // Whether the filter has ended is known before the size is, so no byte it wrote is missed.
        bool ended = reap(scratch, false);
        off_t end;
        if (ended) {
            if (scratch.dataEnd < 0)
                findDataEnd(scratch);
            end = scratch.dataEnd;
        } else {
            struct stat status;
            end = fstat(scratch.reader, &status) == 0 ? status.st_size - kTrailerRoom : 0;
        }
        if (scratch.delivered < end) {
            size_t want = std::min(size, static_cast<size_t>(end - scratch.delivered));
            ssize_t n = pread(scratch.reader, buffer, want, scratch.delivered);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                scratch.readFailed = true;
                return 0;
            }
            scratch.delivered += n;
            return static_cast<size_t>(n);
        }
        if (ended)
            return 0;
        // Woken at once when the filter ends, which a small input's load waits for.
        pollfd notice{scratch.ended, POLLIN, 0};
        if (scratch.ended < 0 || poll(&notice, 1, static_cast<int>(kPoll.count())) < 0)
            std::this_thread::sleep_for(kPoll);
    }
}

void S_release(Scratch& scratch)
{
    unname(scratch);
    unlock(scratch);
}

void S_finish(Scratch& scratch)
{
    reap(scratch, true);
    if (scratch.dataEnd < 0)
        findDataEnd(scratch);
    if (int signal = interruption(scratch)) {
        unname(scratch);
        removeHandlers();
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(signal);
        std::exit(128 + signal);
    }
    // cat may fail having written nothing, as for a missing input: the empty
    // file then goes on to be no P3 file.
    bool whole = scratch.status != -1 && WIFEXITED(scratch.status) && WEXITSTATUS(scratch.status) == 0 &&
                 !scratch.readFailed && scratch.grepStatus >= 0 && scratch.grepStatus <= 1 &&
                 (scratch.catStatus == 0 || (scratch.catStatus > 0 && scratch.dataEnd == 0));
    if (!whole) {
        unname(scratch);
        closeAll(scratch);
        std::fprintf(stderr, "File %s could not be read whole.\n", scratch.input);
        std::exit(1);
    }
    // Left for whoever wants to see what was read: the input without its comment lines.
    if (scratch.named && ftruncate(scratch.writer, scratch.dataEnd) != 0)
        unname(scratch);
    closeAll(scratch);
}

void S_abandon(Scratch& scratch)
{
    if (scratch.filter != 0) {
        endFilter();
        reap(scratch, true);
    }
    unname(scratch);
    closeAll(scratch);
}

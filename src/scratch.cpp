#include "scratch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// POSIX has the program declare it; glibc's unistd.h does too, under _GNU_SOURCE.
// NOLINTNEXTLINE(readability-redundant-declaration)
extern char** environ;

namespace {

constexpr const char* kName = "ppmdumppppp";
// The longest a run waits on what another process holds, the directory's lock
// or the name, before it goes on without the one or gives up on the other.
constexpr auto kPatience = std::chrono::seconds(2);
constexpr auto kPoll = std::chrono::milliseconds(1);
constexpr int kStalls = 2000; // empty reads, kPoll apart, before a file that says it holds more is given up on
// The signals that end a load by removing the scratch file first.
constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
// The shell ends the file with "\n#C G\n", cat's and grep's exit statuses: a
// line holding '#', which grep never lets through. It is never longer than
// this, so the bytes short of it are the filter's while it runs.
constexpr off_t kTrailerRoom = 16;

// What failed, each said once; the reason follows.
constexpr const char* kCannotStart = "Cannot start the comment filter";

using Clock = std::chrono::steady_clock;

// What the signal handler cleans up. A handler can reach nothing else, so this
// is the module's one piece of static state, set only while a load runs.
struct Registry {
    volatile sig_atomic_t filter; // the filter's process group, or 0
    volatile sig_atomic_t named;  // the file at kName is this run's, identified by:
    volatile sig_atomic_t file;   // a descriptor on it
    dev_t device;
    ino_t inode;
};
Registry registry;

// 1 when the name still holds the file this run made, 0 when it holds another
// or nothing, -1 when that cannot be told, with errno saying why. Some file
// systems give a new inode number at every look: where the run's own file
// shows one other than it had, the numbers tell nothing and the name is taken
// as the run's.
int isOurs()
{
    struct stat name, own;
    if (lstat(kName, &name) != 0)
        return errno == ENOENT ? 0 : -1;
    return name.st_dev == registry.device &&
           (name.st_ino == registry.inode || (fstat(registry.file, &own) == 0 && own.st_ino != registry.inode));
}

// Ends or stops the filter's processes, every one of them: a shell may have
// left SIGQUIT or SIGINT ignored in the commands it runs, which SIGKILL ends.
void signalFilter(int signal)
{
    if (registry.filter != 0)
        kill(-static_cast<pid_t>(registry.filter), signal);
}

// Only async-signal-safe calls: the filter goes, then the file, then the
// process, by the same signal with its default action.
void onSignal(int number)
{
    signalFilter(SIGKILL);
    if (registry.named != 0 && isOurs() == 1)
        unlink(kName);
    signal(number, SIG_DFL);
    raise(number); // delivered as the handler returns
}

void setHandlers(bool on);

// The filter has no terminal to be stopped by: Ctrl-Z stops it here, and it
// goes on when the tool is continued. The handler is installed to reset
// itself and not to hold the signal back, so raising it stops the process.
void onStop(int signal)
{
    int saved = errno;
    signalFilter(SIGSTOP);
    raise(signal);
    setHandlers(true);
    signalFilter(SIGCONT);
    errno = saved;
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

// Installs the handlers, or gives the signals their default actions back. A
// signal the process was started ignoring (nohup, a background job) stays ignored.
void setHandlers(bool on)
{
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (on ? action.sa_handler == SIG_IGN : action.sa_handler != onSignal && action.sa_handler != onStop)
            continue;
        action.sa_handler = !on ? SIG_DFL : signal == SIGTSTP ? onStop : onSignal;
        action.sa_mask = handledSignals();
        action.sa_flags = on && signal == SIGTSTP ? static_cast<int>(SA_RESETHAND | SA_NODEFER) : 0;
        sigaction(signal, &action, nullptr);
    }
}

// Removes the name if it still holds this run's file. A failure is tried
// again, as a look-up may fail in passing, and then said: the file stays. A
// handler that comes in between finds the name gone, or removes it first.
void unname(Scratch& scratch)
{
    int error = scratch.named ? -1 : 0;
    for (int tries = 0; error != 0 && tries < 3; ++tries) {
        int ours = isOurs();
        error = ours == 0 || (ours == 1 && (unlink(kName) == 0 || errno == ENOENT)) ? 0 : errno;
    }
    scratch.named = false;
    registry.named = 0;
    if (error != 0)
        std::fprintf(stderr, "Cannot remove the scratch file %s: %s\n", kName, std::strerror(error));
}

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Waits for the shell, at once or only if it has ended; true once it has.
// Whatever it leaves running in its group is ended before it is reaped,
// while the group's number cannot yet be another's.
bool reap(Scratch& scratch, bool wait)
{
    while (scratch.filter != 0) {
        siginfo_t info{};
        int options = WEXITED | WNOWAIT | (wait ? 0 : WNOHANG);
        int got = waitid(P_PID, static_cast<id_t>(scratch.filter), &info, options);
        if (got != 0 && errno == EINTR)
            continue;
        if (got == 0 && info.si_pid == 0)
            return false;
        signalFilter(SIGKILL);
        registry.filter = 0; // once reaped, the group's number may be another's
        closeFd(scratch.lifeline);
        scratch.status = -1; // stays so when it is not ours to wait for: a failure, not a success
        while (waitpid(scratch.filter, &scratch.status, 0) < 0 && errno == EINTR) {
        }
        scratch.filter = 0;
    }
    return true;
}

void closeAll(Scratch& scratch)
{
    for (int* fd : {&scratch.file, &scratch.ended, &scratch.lifeline, &scratch.lock})
        closeFd(*fd);
    setHandlers(false);
}

[[noreturn]] void fail(Scratch& scratch, const char* what, int error)
{
    S_abandon(scratch);
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(error));
    std::exit(1);
}

// An exclusive lock on the working directory, which adds no file and which no
// child inherits; -1 where none can be had in time, or at all.
int lockDirectory(Clock::time_point deadline)
{
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

bool isSame(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether reading the input would go through what stands at the scratch
// file's name, which the load removes first: that file by any path or link,
// or a link there that the input's path runs through.
bool isScratchFile(const char* input, bool standardInput)
{
    struct stat name, target, in;
    if (lstat(kName, &name) != 0)
        return false;
    if (standardInput)
        return fstat(STDIN_FILENO, &in) == 0 && isSame(in, name);
    if (stat(input, &in) == 0 && stat(kName, &target) == 0 && isSame(in, target))
        return true;
    const std::string path = input;
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        if (lstat(path.substr(0, end).c_str(), &in) == 0 && isSame(in, name))
            return true;
        if (end == std::string::npos)
            return false;
    }
}

// A terminal, or another character device, named as the input: opened here,
// where it may be the controlling terminal, and read as standard input is.
int openDevice(const char* input, bool standardInput)
{
    struct stat in;
    if (standardInput || stat(input, &in) != 0 || !S_ISCHR(in.st_mode))
        return -1;
    return open(input, O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

// Creates the file where nothing stands, after removing whatever does, which
// is never opened; a name taken again at once is tried again for a while.
void makeFile(Scratch& scratch, Clock::time_point deadline)
{
    struct stat status;
    for (;;) {
        // A read-only directory fails the unlink even where nothing stands.
        if (unlink(kName) != 0 && errno != ENOENT) {
            int error = errno;
            if (lstat(kName, &status) == 0)
                fail(scratch, "Cannot remove the old scratch file ppmdumppppp", error);
        }
        sigset_t old = blockSignals();
        int fd = open(kName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        int error = errno;
        if (fd >= 0 && fstat(fd, &status) != 0) { // made, but not to be told from another's: gone again
            error = errno, unlink(kName), close(fd), fd = -1;
        } else if (fd >= 0) {
            registry.device = status.st_dev;
            registry.inode = status.st_ino;
            registry.file = fd;
            registry.named = 1;
            scratch.named = true;
        }
        scratch.file = fd;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (fd >= 0)
            break;
        if (error != EEXIST || Clock::now() >= deadline)
            fail(scratch, "Cannot make the scratch file ppmdumppppp", error);
        std::this_thread::sleep_for(kPoll);
    }
}

// The name as one literal shell word: single-quoted, and never taken for an
// option or for standard input.
std::string shellWord(const char* name)
{
    std::string word = name[0] == '-' ? "'./" : "'";
    for (const char* p = name; *p != '\0'; ++p)
        word += *p == '\'' ? std::string("'\\''") : std::string(1, *p);
    return word + '\'';
}

// What the environment could make the shell run or obey instead of the
// filter: its options, start-up files, exported functions, field separator.
bool shapesTheShell(const char* entry)
{
    const char* names[] = {"SHELLOPTS=", "BASHOPTS=", "ENV=", "BASH_ENV=", "CDPATH=", "IFS=", "BASH_FUNC_"};
    return std::any_of(std::begin(names), std::end(names),
        [entry](const char* name) { return std::strncmp(entry, name, std::strlen(name)) == 0; });
}

// The descriptor moved to 10 or above, where no descriptor the filter is
// given on 0, 3 or 5 can overwrite it before it is itself passed on; -1 if
// it cannot be moved.
int aboveTen(int fd)
{
    int moved = fd >= 0 && fd < 10 ? fcntl(fd, F_DUPFD_CLOEXEC, 10) : fd;
    if (moved != fd)
        close(fd);
    return moved;
}

// Runs the filter through /bin/sh, writing to the file on descriptor 3 and
// then the trailer with cat's status (passed on descriptor 4) and grep's. It
// leads a session of its own, so that a signal reaches every process of it
// and it may read a terminal, having none to be stopped by. Each of them holds
// the read end of the lifeline on descriptor 5: when its write end closes, as
// the run ends however it ends, the kernel sends the session SIGKILL.
void startFilter(Scratch& scratch, int device)
{
    const std::string source = scratch.standardInput || device >= 0 ? "-" : shellWord(scratch.input);
    const std::string command = "c=$( { { cat " + source +
                                "; echo $? >&4; } | LC_ALL=C grep -a -v \\# >&3; } 4>&1 );"
                                " g=$?; printf '\\n#%s %s\\n' \"$c\" \"$g\" >&3";
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!shapesTheShell(*entry))
            environment.push_back(*entry);
    environment.push_back(nullptr);
    int lifeline[2];
    if (pipe2(lifeline, O_CLOEXEC) != 0)
        fail(scratch, kCannotStart, errno);
    scratch.lifeline = aboveTen(lifeline[1]);
    int far = aboveTen(lifeline[0]);
    registry.file = scratch.file = aboveTen(scratch.file);
    device = aboveTen(device);
    if (scratch.lifeline < 0 || far < 0 || scratch.file < 0)
        fail(scratch, kCannotStart, errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, scratch.file, 3);
    posix_spawn_file_actions_adddup2(&actions, far, 5);
    if (device >= 0)
        posix_spawn_file_actions_adddup2(&actions, device, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults = handledSignals();
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    sigset_t old = blockSignals();
    posix_spawnattr_setsigmask(&attributes, &old);
    posix_spawnattr_setflags(
        &attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID));
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    int error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environment.data());
    if (error == 0) {
        scratch.filter = pid;
        registry.filter = pid;
        fcntl(far, F_SETOWN, -pid);
        fcntl(far, F_SETSIG, SIGKILL);
        fcntl(far, F_SETFL, fcntl(far, F_GETFL) | O_ASYNC);
        scratch.ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    closeFd(far);
    closeFd(device);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail(scratch, kCannotStart, error);
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
    off_t size = fstat(scratch.file, &status) == 0 ? status.st_size : 0;
    char tail[kTrailerRoom];
    off_t n = std::min(size, kTrailerRoom);
    if (pread(scratch.file, tail, static_cast<size_t>(n), size - n) != n)
        n = 0;
    scratch.dataEnd = size - readTrailer(tail, n, scratch.catStatus, scratch.grepStatus);
}

// Whether the input is one that cat cannot open or read: missing, forbidden,
// a directory, a closed standard input.
bool isUnreadable(const Scratch& scratch)
{
    struct stat in;
    int got = scratch.standardInput ? fstat(STDIN_FILENO, &in) : stat(scratch.input, &in);
    return got != 0 || S_ISDIR(in.st_mode) || (!scratch.standardInput && access(scratch.input, R_OK) != 0);
}

// Waits a moment for the filter to write more; woken at once when it ends,
// which a small input's load waits for.
void awaitMore(const Scratch& scratch)
{
    pollfd notice{scratch.ended, POLLIN, 0};
    if (scratch.ended < 0 || poll(&notice, 1, static_cast<int>(kPoll.count())) < 0)
        std::this_thread::sleep_for(kPoll);
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
    Scratch scratch{input, standardInput, -1, -1, 0, -1, -1, 0, 0, false, 0, -1, false, -1, -1};
    setHandlers(true);
    Clock::time_point deadline = Clock::now() + kPatience;
    scratch.lock = lockDirectory(deadline);
    if (isScratchFile(input, standardInput)) {
        closeAll(scratch);
        std::fprintf(stderr, "File %s is the scratch file %s; rename it first.\n", input, kName);
        std::exit(1);
    }
    int device = openDevice(input, standardInput);
    makeFile(scratch, deadline);
    startFilter(scratch, device);
    return scratch;
}

size_t S_read(void* source, char* buffer, size_t size)
{
    auto& scratch = *static_cast<Scratch*>(source);
    for (;;) {
        // Whether the filter has ended is known before the size is, so no byte it wrote is missed.
        bool ended = reap(scratch, false);
        if (ended && scratch.dataEnd < 0)
            findDataEnd(scratch);
        struct stat status;
        off_t end = ended ? scratch.dataEnd : fstat(scratch.file, &status) == 0 ? status.st_size - kTrailerRoom : 0;
        if (scratch.delivered >= end) {
            if (ended)
                return 0;
            awaitMore(scratch);
            continue;
        }
        size_t want = std::min(size, static_cast<size_t>(end - scratch.delivered));
        ssize_t n = pread(scratch.file, buffer, want, scratch.delivered);
        if (n > 0) {
            scratch.stalls = 0;
            scratch.delivered += n;
            return static_cast<size_t>(n);
        }
        if (n < 0 && errno == EINTR)
            continue;
        // Where a file system's view of the file's end lags behind the size it
        // gives (FUSE), the bytes come a moment later.
        if (n < 0 || ++scratch.stalls >= kStalls) {
            scratch.readFailed = true;
            return 0;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

void S_release(Scratch& scratch)
{
    unname(scratch);
    closeFd(scratch.lock);
}

void S_finish(Scratch& scratch)
{
    reap(scratch, true);
    if (scratch.dataEnd < 0)
        findDataEnd(scratch);
    if (int signal = interruption(scratch)) {
        unname(scratch);
        setHandlers(false);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(signal);
        std::exit(128 + signal);
    }
    // cat may fail having written nothing because the input cannot be opened
    // or read, as when it is missing: the empty file then goes on to be no P3
    // file. A cat that failed otherwise, or was killed, failed the load.
    bool whole = scratch.status != -1 && WIFEXITED(scratch.status) && WEXITSTATUS(scratch.status) == 0 &&
                 !scratch.readFailed && scratch.grepStatus >= 0 && scratch.grepStatus <= 1 &&
                 (scratch.catStatus == 0 || (scratch.catStatus > 0 && scratch.catStatus < 126 && scratch.dataEnd == 0 &&
                                                isUnreadable(scratch)));
    if (!whole) {
        unname(scratch);
        closeAll(scratch);
        std::fprintf(stderr, "File %s could not be read whole.\n", scratch.input);
        std::exit(1);
    }
    // Left for whoever wants to see what was read: the input without its comment lines.
    if (scratch.named && ftruncate(scratch.file, scratch.dataEnd) != 0)
        unname(scratch);
    closeAll(scratch);
}

void S_abandon(Scratch& scratch)
{
    signalFilter(SIGKILL);
    reap(scratch, true);
    unname(scratch);
    closeAll(scratch);
}

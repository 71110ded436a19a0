// A filter goes through these states; each field holds, in each:
//
//   opened    F_open: `input` is this process's descriptor on the input (the
//             caller's standard input, or a copy of a terminal's), or -1 with
//             `unreadable` set when the name is left for cat. Nothing runs:
//             `leader` 0, `lifeline` and `output` -1.
//   running   F_start: `leader` is the shell, `lifeline` the end whose closing
//             kills its session, `output` the pipe it writes. F_read hands on
//             data and counts it in `delivered`, holds a last '\n' back in
//             `held`, and keeps what follows the first '#' in `trailer`;
//             `ended` once the output has ended, or could not be read.
//   stopped   F_stop: `lifeline` -1 and `stopped` set; every process of the
//             filter has been sent SIGKILL, and what it wrote can still be read.
//   finished  F_finish: `leader` 0, `lifeline` and `output` -1; the result told.
//   closed    F_close: `input` -1 (the caller's standard input is not closed).
//
// One mechanism ends the filter early, or whatever of it outlives its shell:
// the lifeline. A handled signal ends this process, and with it the lifeline.
#include "filter.h"

#include "cleanup.h"
#include "shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// POSIX has the program declare it; glibc's unistd.h does too, under _GNU_SOURCE.
// NOLINTNEXTLINE(readability-redundant-declaration)
extern char** environ;

namespace {

// Where the filter finds what it is given: its input on 0, where it writes on
// 3, the go-ahead on 4, the lifeline on 5. The shell closes 4 once it has the
// go-ahead, and then takes it for cat's status. It keeps this process's
// standard error on 6, for cat and grep alone.
constexpr int kInputFd = 0, kOutputFd = 3, kGoFd = 4, kLifelineFd = 5;

// The trailer is never longer than this.
constexpr size_t kTrailerRoom = 16;

// A terminal's input, read here to its end, into an anonymous file that the
// filter then reads; -1 when either cannot be had, with errno saying why.
int copyTerminal(int terminal)
{
    int copy = memfd_create("ppmtool-input", MFD_CLOEXEC);
    char buffer[4096];
    for (off_t size = 0; copy >= 0;) {
        ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0 || pwrite(copy, buffer, static_cast<size_t>(n), size) != n) {
            int error = n < 0 ? errno : EIO;
            CL_close(copy);
            errno = error;
            break;
        }
        size += n;
    }
    return copy;
}

// What the environment could make the shell run or obey instead of the
// filter: its options, start-up files, exported functions, field separator.
bool shapesTheShell(const char* entry)
{
    const char* names[] = {"SHELLOPTS=", "BASHOPTS=", "ENV=", "BASH_ENV=", "CDPATH=", "IFS=", "BASH_FUNC_"};
    return std::any_of(std::begin(names), std::end(names),
        [entry](const char* name) { return std::strncmp(entry, name, std::strlen(name)) == 0; });
}

// A shell keeps each descriptor that a redirection replaces above 9, and gives
// up where it cannot; this process needs a few more while the filter starts.
// A soft limit below kEnoughFiles is raised that far, where the hard one, or
// the right to raise it, allows; the rest of the run has no use for fewer.
constexpr rlim_t kShellFiles = 11, kEnoughFiles = 64;

void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kEnoughFiles)
        return;
    limit.rlim_cur = std::max(kShellFiles, std::min(kEnoughFiles, limit.rlim_max));
    limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// The lifeline's read end sends the filter's session SIGKILL once its write
// end has closed; once that holds, the filter, waiting on the go-ahead, is
// let go on. This process holds the go-ahead's read end too, so the write
// cannot meet a closed pipe.
int armLifeline(int far, pid_t leader, int go)
{
    if (fcntl(far, F_SETOWN, -leader) != 0 || fcntl(far, F_SETSIG, SIGKILL) != 0)
        return errno;
    int flags = fcntl(far, F_GETFL);
    if (flags < 0 || fcntl(far, F_SETFL, flags | O_ASYNC) != 0)
        return errno;
    if (write(go, "\n", 1) != 1)
        return errno;
    return 0;
}

// Gives each descriptor (`from`, -1 for none) to the filter as `to`, and
// nothing else of this process's, or its caller's. One that stands where
// another goes could be overwritten before it is given: it is given from a
// copy above them all, left in `copies` for the caller to close once the
// filter has started. Returns 0, or the error of a copy that failed.
int placeDescriptors(
    posix_spawn_file_actions_t& actions, std::initializer_list<std::pair<int, int>> moves, std::vector<int>& copies)
{
    for (auto [from, to] : moves) {
        if (from < 0)
            continue;
        int source = from > kLifelineFd || from == to ? from : fcntl(from, F_DUPFD_CLOEXEC, kLifelineFd + 1);
        if (source < 0)
            return errno;
        if (source != from)
            copies.push_back(source);
        posix_spawn_file_actions_adddup2(&actions, source, to);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, kLifelineFd + 1);
    return 0;
}

// Spawns the shell, with the output, the lifeline's far end and the go-ahead's
// read end; 0, or the error that kept it from starting.
int spawnShell(Filter& filter, int output, int far, int go)
{
    const bool byName = filter.input < 0 && !filter.standardInput;
    // The shells say nothing of their own: a shell tells of a child killed by
    // a signal ("Killed"), and the user has this process's word on the load.
    // cat and grep keep this process's standard error, given in the process
    // that becomes each, since dash tells of a command on the command's own;
    // where this process has none, they have none.
    // Nothing runs before the lifeline is armed: a run killed before that would
    // leave the filter behind. The wait is a subshell's, so that no descriptor
    // of the shell's own needs putting back after it.
    const std::string command =
        "command exec 6>&2 || exec 6>/dev/null; exec 2>/dev/null;"
        " (read -r go) <&4 || exit; exec 4<&-; c=$( { { (exec cat " +
        (byName ? SH_word(filter.name) : "-") +
        " 2>&6); echo $? >&4; } | LC_ALL=C grep -a -v \\# 2>&6 >&3; } 4>&1 );"
        " g=$?; printf '#%s %s\\n' \"$c\" \"$g\" >&3";
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!shapesTheShell(*entry))
            environment.push_back(*entry);
    environment.push_back(nullptr);

    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kShellFiles)
        return EMFILE;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> copies;
    int error = placeDescriptors(
        actions, {std::pair{output, kOutputFd}, {far, kLifelineFd}, {go, kGoFd}, {filter.input, kInputFd}}, copies);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSID));
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    if (error == 0)
        error = posix_spawn(&filter.leader, "/bin/sh", &actions, &attributes, argv, environment.data());
    if (error != 0)
        filter.leader = 0;
    for (int& copy : copies)
        CL_close(copy);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// The shell's wait status; -1 when it cannot be had.
int reap(pid_t leader)
{
    int status = -1;
    while (waitpid(leader, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The bytes of a chunk of output that are data: those before the first '#',
// which opens the trailer, as grep lets none through. The trailer's are kept,
// and its line ends the output: the shell writes nothing after it, and the
// end of the pipe need not be waited for.
size_t cutTrailer(Filter& filter, const char* chunk, size_t size)
{
    const void* hash = filter.trailer.empty() ? std::memchr(chunk, '#', size) : chunk;
    size_t data = hash == nullptr ? size : static_cast<size_t>(static_cast<const char*>(hash) - chunk);
    filter.trailer.append(chunk + data, std::min(size - data, kTrailerRoom + 1 - filter.trailer.size()));
    filter.ended = !filter.trailer.empty() && filter.trailer.back() == '\n';
    return data;
}

// Hands on the `total` bytes at `buffer`, the '\n' held back first where
// there is one, and holds back a last '\n' unless the data is over.
size_t handOn(Filter& filter, char* buffer, size_t total)
{
    if (filter.held)
        buffer[0] = '\n';
    filter.held = filter.trailer.empty() && !filter.ended && total > 0 && buffer[total - 1] == '\n';
    total -= filter.held ? 1 : 0;
    filter.delivered += static_cast<off_t>(total);
    return total;
}

} // namespace

int F_open(Filter& filter, const char* name, bool standardInput)
{
    filter.name = name;
    filter.standardInput = standardInput;
    int fd = standardInput ? STDIN_FILENO : open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    struct stat file;
    int error = 0;
    if (fd < 0 || fstat(fd, &file) != 0 || S_ISDIR(file.st_mode)) {
        filter.unreadable = true;
    } else if (isatty(fd)) {
        filter.input = copyTerminal(fd);
        error = filter.input < 0 ? errno : 0;
    } else {
        filter.stream = !S_ISREG(file.st_mode);
        filter.input = std::exchange(fd, -1);
    }
    if (!standardInput)
        CL_close(fd);
    return error;
}

bool F_inputFile(const Filter& filter, struct stat& file)
{
    if (filter.input >= 0)
        return fstat(filter.input, &file) == 0;
    return !filter.standardInput && stat(filter.name, &file) == 0;
}

int F_start(Filter& filter)
{
    raiseFileLimit();
    int output[2], lifeline[2], go[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return errno;
    filter.output = output[0];
    if (pipe2(lifeline, O_CLOEXEC) != 0) {
        int error = errno;
        CL_close(output[1]);
        return error;
    }
    filter.lifeline = lifeline[1];
    int error = pipe2(go, O_CLOEXEC) != 0 ? errno : 0;
    if (error == 0) {
        error = spawnShell(filter, output[1], lifeline[0], go[0]);
        if (error == 0)
            error = armLifeline(lifeline[0], filter.leader, go[1]);
        CL_close(go[0]);
        CL_close(go[1]);
    }
    CL_close(lifeline[0]);
    CL_close(output[1]);
    // A shell that never had the go-ahead ends by itself, having run nothing.
    if (error != 0 && filter.leader != 0)
        reap(std::exchange(filter.leader, 0));
    return error;
}

size_t F_read(Filter& filter, char* buffer, size_t size)
{
    while (!filter.ended) {
        const size_t front = filter.held ? 1 : 0; // room for the '\n' held back
        ssize_t n = read(filter.output, buffer + front, size - front);
        if (n < 0 && errno == EINTR)
            continue;
        // A read that fails ends the output as its end would: what came
        // before it is whole, and without the trailer the load fails unless
        // the filter was cut once the image was in.
        if (n <= 0) {
            filter.ended = true;
            break;
        }
        size_t data = cutTrailer(filter, buffer + front, static_cast<size_t>(n));
        size_t given = data > 0 ? handOn(filter, buffer, front + data) : 0;
        if (given > 0)
            return given;
    }
    return handOn(filter, buffer, filter.held ? 1 : 0);
}

void F_stop(Filter& filter)
{
    CL_close(filter.lifeline);
    filter.stopped = true;
}

F_Result F_finish(Filter& filter)
{
    // Whatever of the filter is left ends before its shell is reaped.
    CL_close(filter.lifeline);
    CL_close(filter.output);
    int status = filter.leader != 0 ? reap(std::exchange(filter.leader, 0)) : -1;
    int cat = -1, grep = -1, length = 0;
    if (std::sscanf(filter.trailer.c_str(), "#%3d %3d\n%n", &cat, &grep, &length) != 2 ||
        static_cast<size_t>(length) != filter.trailer.size())
        cat = grep = -1;
    // The shell killed before its trailer, or cat or grep reported killed
    // (128 + n) by a signal. Once the trailer has come, the lifeline may kill
    // the shell before it exits: that says nothing.
    int signal = cat < 0 && status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (int code : {grep, cat})
        if (signal == 0 && code > 128)
            signal = code - 128;
    if (CL_isHandled(signal))
        return {F_Outcome::interrupted, signal};
    // Without the trailer, only a filter ended early did its part: what it
    // handed on is the input's. With it, the trailer is the shell's last word,
    // and what became of the shell after it says nothing.
    if (cat < 0) {
        const bool cut = filter.stopped && status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        return {cut ? F_Outcome::whole : F_Outcome::broken, 0};
    }
    bool ran = grep >= 0 && grep <= 1;
    // cat may fail having handed on nothing because the input cannot be opened
    // or read, as when it is missing: the empty input then goes on to be no P3
    // file. A cat that failed otherwise, or was killed, failed the load.
    if (ran && cat == 0)
        return {F_Outcome::whole, 0};
    if (ran && cat < 126 && filter.delivered == 0 && filter.unreadable)
        return {F_Outcome::unread, 0};
    return {F_Outcome::broken, 0};
}

void F_close(Filter& filter)
{
    if (!filter.standardInput || filter.input != STDIN_FILENO)
        CL_close(filter.input);
    filter.input = -1;
}

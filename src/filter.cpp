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
#include <cstdlib>
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
// go-ahead, and then takes it for cat's status.
constexpr int kInputFd = 0, kOutputFd = 3, kGoFd = 4, kLifelineFd = 5;

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// A terminal's input, read here to its end, into an anonymous file that the
// filter then reads; -1 when either cannot be had.
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
            closeFd(copy);
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

// Runs in a signal handler: passes the end, a stop or a continue on to every
// process of the filter.
void signalFilter(CL_Event event, const void* what)
{
    pid_t leader = static_cast<const Filter*>(what)->leader;
    if (leader != 0)
        kill(-leader, event == CL_end ? SIGKILL : event == CL_stop ? SIGSTOP : SIGCONT);
}

} // namespace

Filter F_open(const char* name, bool standardInput)
{
    raiseFileLimit();
    Filter filter{name, standardInput, -1, false, false, 0, -1, -1, -1, -1};
    int fd = standardInput ? STDIN_FILENO : open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || fstat(fd, &file) != 0 || S_ISDIR(file.st_mode)) {
        filter.unreadable = true;
    } else if (isatty(fd)) {
        filter.input = copyTerminal(fd);
        filter.unreadable = filter.input < 0;
    } else {
        filter.stream = !S_ISREG(file.st_mode);
        filter.input = standardInput ? -1 : std::exchange(fd, -1);
    }
    if (!standardInput)
        closeFd(fd);
    return filter;
}

bool F_inputFile(const Filter& filter, struct stat& file)
{
    if (filter.input >= 0 || filter.standardInput)
        return fstat(filter.input >= 0 ? filter.input : STDIN_FILENO, &file) == 0;
    return stat(filter.name, &file) == 0;
}

int F_start(Filter& filter, int output)
{
    const bool byName = filter.input < 0 && !filter.standardInput;
    // Nothing runs before the lifeline is armed: a run killed before that would
    // leave the filter behind. The wait is a subshell's, so that no descriptor
    // of the shell's own needs putting back after it.
    const std::string command = "(read -r go) <&4 || exit; exec 4<&-; c=$( { { cat " +
                                (byName ? SH_word(filter.name) : "-") +
                                "; echo $? >&4; } | LC_ALL=C grep -a -v \\# >&3; } 4>&1 );"
                                " g=$?; printf '#%s %s\\n' \"$c\" \"$g\" >&3";
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!shapesTheShell(*entry))
            environment.push_back(*entry);
    environment.push_back(nullptr);
    int lifeline[2];
    if (pipe2(lifeline, O_CLOEXEC) != 0)
        return errno;
    filter.lifeline = lifeline[1];
    int far = lifeline[0];
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) {
        int error = errno;
        closeFd(far);
        return error;
    }
    rlimit files{};
    int error = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kShellFiles ? EMFILE : 0;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> copies;
    if (error == 0)
        error = placeDescriptors(actions,
            {std::pair{output, kOutputFd}, {far, kLifelineFd}, {go[0], kGoFd}, {filter.input, kInputFd}}, copies);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    sigset_t old = CL_hold(), childMask = old;
    sigdelset(&childMask, SIGCONT);
    posix_spawnattr_setsigmask(&attributes, &childMask);
    posix_spawnattr_setflags(
        &attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID));
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    if (error == 0)
        error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environment.data());
    if (error == 0) {
        filter.leader = pid;
        CL_push(signalFilter, &filter);
        error = armLifeline(far, pid, go[1]);
    }
    CL_release(old);
    closeFd(far);
    closeFd(go[0]);
    closeFd(go[1]);
    for (int& copy : copies)
        closeFd(copy);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

bool F_reap(Filter& filter, bool wait)
{
    while (filter.leader != 0) {
        const pid_t leader = filter.leader;
        siginfo_t info{};
        int options = WEXITED | WNOWAIT | (wait ? 0 : WNOHANG);
        int got = waitid(P_PID, static_cast<id_t>(leader), &info, options);
        if (got != 0 && errno == EINTR)
            continue;
        if (got == 0 && info.si_pid == 0)
            return false;
        kill(-leader, SIGKILL);
        filter.leader = 0; // once reaped, the number may be another's
        closeFd(filter.lifeline);
        filter.status = -1; // stays so when it is not ours to wait for: a failure, not a success
        while (waitpid(leader, &filter.status, 0) < 0 && errno == EINTR) {
        }
    }
    return true;
}

void F_stop(Filter& filter)
{
    if (filter.leader != 0)
        kill(-filter.leader, SIGKILL);
    F_reap(filter, true);
}

bool F_readTrailer(Filter& filter, const std::string& trailer)
{
    int cat = -1, grep = -1, length = 0;
    if (std::sscanf(trailer.c_str(), "#%3d %3d\n%n", &cat, &grep, &length) != 2 ||
        static_cast<size_t>(length) != trailer.size())
        cat = grep = -1;
    filter.catStatus = cat;
    filter.grepStatus = grep;
    return cat >= 0;
}

F_Outcome F_outcome(const Filter& filter, off_t kept, int& signal)
{
    // The shell killed, or cat or grep reported killed (128 + n) by a signal.
    signal = filter.status != -1 && WIFSIGNALED(filter.status) ? WTERMSIG(filter.status) : 0;
    for (int status : {filter.grepStatus, filter.catStatus})
        if (signal == 0 && status > 128)
            signal = status - 128;
    if (CL_isHandled(signal))
        return F_Outcome::interrupted;
    bool ran = filter.status != -1 && WIFEXITED(filter.status) && WEXITSTATUS(filter.status) == 0 &&
               filter.grepStatus >= 0 && filter.grepStatus <= 1;
    // cat may fail having written nothing because the input cannot be opened
    // or read, as when it is missing: the empty file then goes on to be no P3
    // file. A cat that failed otherwise, or was killed, failed the load.
    bool catFailedOnTheInput = filter.catStatus > 0 && filter.catStatus < 126 && kept == 0 && filter.unreadable;
    return ran && (filter.catStatus == 0 || catFailedOnTheInput) ? F_Outcome::whole : F_Outcome::failed;
}

void F_close(Filter& filter)
{
    for (int* fd : {&filter.input, &filter.lifeline})
        closeFd(*fd);
}

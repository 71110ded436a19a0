#include "cleanup.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iterator>

namespace {

// The signals that end a load by undoing what it made first.
constexpr int kEnding[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// What the handler undoes. A handler can reach nothing else, so this is the
// loader's one piece of static state, filled only while a load runs. An entry
// is written before the count takes it in.
struct Registry {
    static constexpr int kSize = 1;
    CL_Undo undo[kSize];
    const void* what[kSize];
    volatile sig_atomic_t count;
};
Registry registry;

sigset_t handled()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kEnding)
        sigaddset(&set, signal);
    return set;
}

void onEnding(int signal)
{
    for (sig_atomic_t i = registry.count; i > 0; --i)
        registry.undo[i - 1](registry.what[i - 1]);
    CL_die(signal);
}

} // namespace

void CL_install()
{
    struct sigaction action {};
    action.sa_handler = onEnding;
    action.sa_mask = handled(); // one handler at a time
    for (int signal : kEnding) {
        struct sigaction old {};
        sigaction(signal, nullptr, &old);
        if (old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

void CL_uninstall()
{
    registry.count = 0;
    for (int signal : kEnding) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == onEnding)
            std::signal(signal, SIG_DFL);
    }
}

sigset_t CL_hold()
{
    sigset_t set = handled(), old;
    sigprocmask(SIG_BLOCK, &set, &old);
    return old;
}

void CL_release(const sigset_t& old)
{
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void CL_push(CL_Undo undo, const void* what)
{
    sig_atomic_t n = registry.count;
    if (n == Registry::kSize)
        std::abort(); // more than the loader ever registers
    registry.undo[n] = undo;
    registry.what[n] = what;
    registry.count = n + 1;
}

void CL_die(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    // Still here: the process is the init of a PID namespace, which the
    // kernel does not end by a signal it sends itself.
    _exit(128 + signal);
}

bool CL_isHandled(int signal)
{
    return std::find(std::begin(kEnding), std::end(kEnding), signal) != std::end(kEnding);
}

void CL_close(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

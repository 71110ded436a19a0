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
// loader's one piece of static state, set only while a load runs. The undo is
// written before `set` takes it in.
struct Registry {
    CL_Undo undo;
    const void* what;
    volatile sig_atomic_t set;
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
    if (registry.set != 0)
        registry.undo(registry.what);
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
    registry.set = 0;
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

void CL_onEnd(CL_Undo undo, const void* what)
{
    registry.undo = undo;
    registry.what = what;
    registry.set = 1;
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

#include "cleanup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>

namespace {

// The signals that end a load by undoing what it made first.
constexpr int kEnding[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// What the handlers undo. A handler can reach nothing else, so this is the
// loader's one piece of static state, filled only while a load runs. An entry
// is written before the count takes it in.
struct Registry {
    static constexpr int kSize = 4;
    CL_Undo undo[kSize];
    const void* what[kSize];
    volatile sig_atomic_t count;
};
Registry registry;

void runUndos(CL_Event event)
{
    for (sig_atomic_t i = registry.count; i > 0; --i)
        registry.undo[i - 1](event, registry.what[i - 1]);
}

sigset_t only(int signal)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    return set;
}

// The signals whose handlers run the undos.
sigset_t handled()
{
    sigset_t set = only(SIGTSTP);
    for (int signal : kEnding)
        sigaddset(&set, signal);
    return set;
}

void onEnding(int signal)
{
    runUndos(CL_end);
    CL_die(signal);
}

void onStop(int signal);

// Every handler runs with all of them held back, SIGCONT too, so that a
// continue that comes in while the stop is passed on can be seen.
void setHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler == SIG_IGN)
        return;
    action.sa_handler = handler;
    action.sa_mask = handled();
    sigaddset(&action.sa_mask, SIGCONT);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
}

// Ctrl-Z: what is registered stops (the filter has no terminal to be stopped
// by), then the process stops by the signal's default action, and once
// continued, what is registered goes on too.
void onStop(int signal)
{
    int saved = errno;
    runUndos(CL_stop);
    // SIGCONT is held back while a load runs, so that none is lost, not even
    // one that comes as this handler starts: a SIGCONT sent since the Ctrl-Z
    // has undone the stop already, and stopping after it would never end.
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGCONT) == 0) {
        std::signal(signal, SIG_DFL);
        sigset_t stop = only(signal);
        sigprocmask(SIG_UNBLOCK, &stop, nullptr);
        raise(signal);
        sigprocmask(SIG_BLOCK, &stop, nullptr);
        setHandler(signal, onStop);
    }
    // The SIGCONT that came is done with; ignoring a signal discards it.
    struct sigaction ignore {};
    struct sigaction old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCONT, &ignore, &old);
    sigaction(SIGCONT, &old, nullptr);
    runUndos(CL_continue);
    errno = saved;
}

} // namespace

void CL_install()
{
    for (int signal : kEnding)
        setHandler(signal, onEnding);
    setHandler(SIGTSTP, onStop);
    sigset_t resume = only(SIGCONT);
    sigprocmask(SIG_BLOCK, &resume, nullptr);
}

void CL_uninstall()
{
    sigset_t resume = only(SIGCONT);
    sigprocmask(SIG_UNBLOCK, &resume, nullptr);
    registry.count = 0;
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == onEnding || action.sa_handler == onStop)
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
    sigset_t set = only(signal);
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

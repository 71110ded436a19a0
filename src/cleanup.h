// Cleanup on signals: what a signal must undo while a load runs, registered, and the handler that undoes it.
#pragma once

#include <signal.h>

// An undo runs inside a signal handler, so it may make async-signal-safe calls
// only, and read only what the process writes with the signals held back or
// as volatile sig_atomic_t.
using CL_Undo = void (*)(const void* what);

// From here until CL_uninstall, SIGINT, SIGQUIT, SIGTERM and SIGHUP run the
// undo set with CL_onEnd, if any, and then end the process by that signal
// (or, where the process cannot be ended by it, with status 128 + the
// signal). A signal the process was started ignoring (nohup, a background
// job) stays ignored.
void CL_install();

// Forgets the undo and gives the signals their default actions back.
void CL_uninstall();

// Holds the handled signals back, so that what is made from here until
// CL_release is registered before any handler can run; returns the old mask.
sigset_t CL_hold();
void CL_release(const sigset_t& old);

// Sets the undo, for `what`, which must stay where it is until CL_uninstall.
// Call it with the signals held back.
void CL_onEnd(CL_Undo undo, const void* what);

// Ends the process by `signal` now, as the handler would, undoing nothing.
[[noreturn]] void CL_die(int signal);

// Whether `signal` is one of those whose handler ends the process.
bool CL_isHandled(int signal);

// Closes a descriptor that is open, and marks it closed (-1).
void CL_close(int& fd);

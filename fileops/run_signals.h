#pragma once
// Termination requests during a run. While a RunSignalScope lives, SIGTERM, SIGINT and SIGHUP do
// not end the process: they are noted, and the runs stop at their next pump as on a close request,
// dropping their staged output. Outside every scope the signals do what they did before. A signal
// the process ignores stays ignored.
//
// The Encrypt and Decrypt operations each hold a scope. A caller that runs several in a row (a
// batch) may hold one around them all; the signal then stays noted from one run to the next.

#include <array>
#include <csignal>

// The termination requests a scope notes.
inline constexpr std::array<int, 3> kRunSignals = {SIGTERM, SIGINT, SIGHUP};

class RunSignalScope {
  public:
    // The outermost scope installs the handlers and forgets any signal noted before.
    RunSignalScope();
    // The outermost scope restores what the signals did before; a noted signal stays noted.
    ~RunSignalScope();
    RunSignalScope(const RunSignalScope&) = delete;
    RunSignalScope& operator=(const RunSignalScope&) = delete;
};

// The signal noted while a scope lived, or 0.
int CaughtRunSignal() noexcept;

// For a caller that ends like the signal would have ended it: when one was noted and no scope is
// live, delivers it again with its earlier disposition (by default the process ends by it).
// Returns when none was noted, or when the signal's disposition lets the process go on.
void ReraiseCaughtRunSignal();

// A descriptor that becomes readable as soon as a signal is noted, for a run that waits on the user
// (a message box) and must give up waiting then. It stays readable until the next outermost scope
// begins or the noted signal is delivered again; it is never to be read or closed.
int RunSignalWakeDescriptor();

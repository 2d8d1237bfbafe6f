#include "fileops/run_signals.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

std::atomic<int> g_depth{0};
volatile std::sig_atomic_t g_caught = 0;
std::array<struct sigaction, kRunSignals.size()> g_previous{};
std::array<bool, kRunSignals.size()> g_installed{};
std::atomic<int> g_wake{-1};

extern "C" void NoteSignal(int signal) {
    if (g_caught == 0) g_caught = signal;
    const int wake = g_wake.load(std::memory_order_relaxed);
    if (wake < 0) return;
    const int savedErrno = errno;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
    errno = savedErrno;
}

// Empties the wake descriptor: no signal is pending any more.
void DrainWake() {
    const int wake = g_wake.load();
    if (wake < 0) return;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wake, &count, sizeof count);
}

}  // namespace

RunSignalScope::RunSignalScope() {
    if (g_depth++ != 0) return;
    RunSignalWakeDescriptor();  // exists before any handler can write to it
    g_caught = 0;
    DrainWake();
    for (std::size_t i = 0; i < kRunSignals.size(); ++i) {
        g_installed[i] = false;
        if (::sigaction(kRunSignals[i], nullptr, &g_previous[i]) != 0) continue;
        if (g_previous[i].sa_handler == SIG_IGN) continue;  // e.g. SIGHUP under nohup
        struct sigaction note {};
        note.sa_handler = &NoteSignal;
        sigemptyset(&note.sa_mask);
        note.sa_flags = SA_RESTART;  // file transfers go on; the run stops at its next pump
        g_installed[i] = ::sigaction(kRunSignals[i], &note, nullptr) == 0;
    }
}

RunSignalScope::~RunSignalScope() {
    if (--g_depth != 0) return;
    for (std::size_t i = 0; i < kRunSignals.size(); ++i) {
        if (g_installed[i]) ::sigaction(kRunSignals[i], &g_previous[i], nullptr);
        g_installed[i] = false;
    }
}

int CaughtRunSignal() noexcept {
    return g_caught;
}

void ReraiseCaughtRunSignal() {
    const int signal = g_caught;
    if (signal == 0 || g_depth != 0) return;
    g_caught = 0;
    DrainWake();
    std::raise(signal);
}

int RunSignalWakeDescriptor() {
    static const int wake = [] {
        const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        g_wake.store(made);
        return made;
    }();
    return wake;
}

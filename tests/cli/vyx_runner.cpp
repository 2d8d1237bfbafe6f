#include "vyx_runner.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"

namespace {

#ifdef VYX_PATH
constexpr const char* kVyx = VYX_PATH;
#else
#error "VYX_PATH names the vyx under test"
#endif

// vyx in its own session, in the launch's folder, with the launch's key. On a terminal, that
// terminal (err) becomes the session's controlling one, the /dev/tty its key prompt opens.
ChildCommand CommandFor(const VyxLaunch& launch, int in, int out, int err) {
    ChildCommand command{{kVyx}, EnvironmentWithout({"VYX_KEY"}), launch.folder, in, out, err};
    command.newSession = true;
    command.takeTerminal = launch.terminal;
    command.args.insert(command.args.end(), launch.args.begin(), launch.args.end());
    if (launch.keyEnv) command.environment->push_back("VYX_KEY=" + *launch.keyEnv);
    return command;
}

// True once the process waits for its standard input: in a read of it, or polling it (the only
// descriptor it polls).
bool BlockedReadingInput(pid_t pid) {
    const auto [number, fd] = WaitingCall(pid);
    return (number == SYS_read && fd == "0x0") || number == SYS_poll || number == SYS_ppoll;
}

// A line of /proc/PID/status ("State", "ShdPnd", ...), empty once the process is gone.
std::string StatusLine(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(name + ":")) return line.substr(name.size() + 1);
    }
    return {};
}

bool SignalPending(pid_t pid, int signal) {
    std::uint64_t pending = 0;
    for (const char* set : {"SigPnd", "ShdPnd"}) {
        const std::string mask = StatusLine(pid, set);
        if (!mask.empty()) pending |= std::stoull(mask, nullptr, 16);
    }
    return (pending & (std::uint64_t{1} << (signal - 1))) != 0;
}

bool Ended(pid_t pid) {
    const std::string state = StatusLine(pid, "State");
    return state.empty() || state.find("zombie") != std::string::npos;
}

// Waits until condition holds (false after a minute).
template <typename Condition>
bool Await(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Holds vyx's workers while the signal goes out, and lets them go on once it has reached them.
std::vector<pid_t> SignalWithWorkers(pid_t pid, const VyxLaunch& launch) {
    std::vector<pid_t> workers;
    Await([&] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
        workers.assign(std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>());
        return workers.size() >= launch.workers;
    });
    for (const pid_t worker : workers) ::kill(worker, SIGSTOP);
    for (const pid_t worker : workers) {
        Await([&] { return StatusLine(worker, "State").find("stopped") != std::string::npos; });
    }
    const int signal = *launch.signalWithWorkers;
    ::kill(launch.toWorker ? workers.front() : pid, signal);
    for (const pid_t worker : workers) {
        if (signal != SIGKILL && (!launch.toWorker || worker != workers.front())) {
            // vyx passes SIGTERM on when a worker was killed.
            const int passed = launch.toWorker ? SIGTERM : signal;
            Await([&] { return Ended(worker) || SignalPending(worker, passed); });
        }
        ::kill(worker, SIGCONT);
    }
    return workers;
}

VyxResult OnPipes(const VyxLaunch& launch) {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return {};
    // No controlling terminal: /dev/tty cannot be opened.
    const pid_t pid = StartCommand(CommandFor(launch, in[0], out[1], err[1]));
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    if (launch.signalAtInputRead) {
        Await([&] { return BlockedReadingInput(pid); });
        ::kill(pid, *launch.signalAtInputRead);
    }
    VyxResult result;
    std::vector<pid_t> workers;
    if (launch.signalWithWorkers) workers = SignalWithWorkers(pid, launch);
    [[maybe_unused]] ssize_t written = ::write(in[1], launch.input.data(), launch.input.size());
    ::close(in[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && ::poll(fds, 2, -1) >= 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.status = WaitChild(pid);
    result.workersHeld = workers.size();
    for (const pid_t worker : workers)
        result.workersLeft += Await([&] { return Ended(worker); }) ? 0 : 1;
    return result;
}

VyxResult OnTerminal(const VyxLaunch& launch) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 100;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {};
    // Output held from the start: the first write to the terminal waits until it is released.
    if (launch.signalAtProgress) ::tcflow(slave, TCOOFF);
    int in[2] = {-1, -1};
    if (!launch.input.empty() && ::pipe(in) != 0) return {};
    const pid_t pid = StartCommand(CommandFor(launch, in[0] >= 0 ? in[0] : slave, slave, slave));
    if (in[0] >= 0) {
        // Fits the pipe: written whole before the terminal is read.
        ::close(in[0]);
        [[maybe_unused]] ssize_t n = ::write(in[1], launch.input.data(), launch.input.size());
        ::close(in[1]);
    }
    if (launch.signalAtProgress) {
        // Without a key prompt, the first thing written is the first file's progress line.
        Await([&] { return WaitingCall(pid) == std::pair<long, std::string>{SYS_write, "0x2"}; });
        ::kill(pid, *launch.signalAtProgress);
        ::tcflow(slave, TCOON);
    }
    ::close(slave);  // from here on, the end of the child's output reads as an error

    VyxResult result;
    bool typed = launch.typed.empty();
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        result.err.append(chunk, static_cast<std::size_t>(got));
        if (!typed && result.err.find("Key: ") != std::string::npos) {
            [[maybe_unused]] ssize_t n = ::write(master, launch.typed.data(), launch.typed.size());
            typed = true;
        }
    }
    ::close(master);
    result.status = WaitChild(pid);
    return result;
}

}  // namespace

VyxResult RunVyx(const VyxLaunch& launch) {
    ::signal(SIGPIPE, SIG_IGN);  // a vyx that stops reading its input is no failure here
    return launch.terminal ? OnTerminal(launch) : OnPipes(launch);
}

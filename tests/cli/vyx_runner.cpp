#include "vyx_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

#ifdef VYX_PATH
constexpr const char* kVyx = VYX_PATH;
#else
#error "VYX_PATH names the vyx under test"
#endif

std::vector<std::string> Environment(const std::optional<std::string>& key) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "VYX_KEY=", 8) != 0) env.emplace_back(*entry);
    }
    if (key) env.push_back("VYX_KEY=" + *key);
    return env;
}

[[noreturn]] void Exec(const VyxLaunch& launch) {
    if (::chdir(launch.folder.c_str()) != 0) ::_exit(120);
    std::vector<std::string> args{kVyx};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<std::string> env = Environment(launch.keyEnv);
    std::vector<char*> argv;
    std::vector<char*> envp;
    argv.reserve(args.size() + 1);
    envp.reserve(env.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    ::execve(kVyx, argv.data(), envp.data());
    ::_exit(121);
}

int Status(pid_t pid) {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 256 + WTERMSIG(raw);
}

// True once the process waits in a write to its standard error (the terminal's output is held).
bool BlockedWritingErrors(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd;
    in >> number >> fd;
    return number == SYS_write && fd == "0x2";
}

// True once the process waits for its standard input: in a read of it, or polling it (the only
// descriptor it polls).
bool BlockedReadingInput(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd;
    in >> number >> fd;
    return (number == SYS_read && fd == "0x0") || number == SYS_poll || number == SYS_ppoll;
}

VyxResult OnPipes(const VyxLaunch& launch) {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // no controlling terminal: /dev/tty cannot be opened
        ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        Exec(launch);
    }
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    ::signal(SIGPIPE, SIG_IGN);
    if (launch.signalAtInputRead) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!BlockedReadingInput(pid) && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::kill(pid, *launch.signalAtInputRead);
    }
    [[maybe_unused]] ssize_t written = ::write(in[1], launch.input.data(), launch.input.size());
    ::close(in[1]);
    VyxResult result;
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
    result.status = Status(pid);
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
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(in[0] >= 0 ? in[0] : slave, 0), ::dup2(slave, 1), ::dup2(slave, 2);
        if (slave > 2) ::close(slave);
        if (in[0] >= 0) ::close(in[0]), ::close(in[1]);
        Exec(launch);
    }
    if (in[0] >= 0) {
        // Fits the pipe: written whole before the terminal is read.
        ::close(in[0]);
        ::signal(SIGPIPE, SIG_IGN);
        [[maybe_unused]] ssize_t n = ::write(in[1], launch.input.data(), launch.input.size());
        ::close(in[1]);
    }
    if (launch.signalAtProgress) {
        // Without a key prompt, the first thing written is the first file's progress line.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!BlockedWritingErrors(pid) && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
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
    result.status = Status(pid);
    return result;
}

}  // namespace

VyxResult RunVyx(const VyxLaunch& launch) {
    return launch.terminal ? OnTerminal(launch) : OnPipes(launch);
}

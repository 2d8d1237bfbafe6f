#include "harness_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/child.h"

namespace robustness {

namespace {

constexpr int kPage = 4096;

const char* HarnessPath() {
#ifdef VYX_BENCH_PATH
    return VYX_BENCH_PATH;
#else
    return "vyx_bench";
#endif
}

std::vector<std::string> SetprivFor(const RunUser& user) {
    std::vector<std::string> command = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                        "--regid=" + std::to_string(user.gid)};
    if (user.groups.empty()) {
        command.emplace_back("--clear-groups");
    } else {
        std::string groups = "--groups=";
        for (const unsigned group : user.groups) {
            if (groups.back() != '=') groups += ',';
            groups += std::to_string(group);
        }
        command.push_back(std::move(groups));
    }
    return command;
}

std::vector<std::string> CommandFor(const std::vector<std::string>& args,
                                    const std::optional<RunUser>& user, bool hold) {
    std::vector<std::string> command;
    if (user) command = SetprivFor(*user);
    // Unbuffered, so every trace line is one write and the first one meets the full pipe.
    if (hold) command.insert(command.end(), {"/usr/bin/stdbuf", "-o0"});
    command.push_back(HarnessPath());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

}  // namespace

bool IsRoot() {
    return ::geteuid() == 0;
}

bool NobodyCanReach(const std::string& folder) {
    if (!IsRoot()) return false;
    std::vector<std::string> command = SetprivFor(RunUser{});
    command.insert(command.end(), {"/usr/bin/test", "-x", folder});
    return RunCommand(command).status == 0 && ::access(HarnessPath(), X_OK) == 0;
}

HarnessRun::HarnessRun(const std::vector<std::string>& args, const std::optional<RunUser>& user,
                       bool hold, std::size_t traceRoom) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    readEnd_ = fds[0];
    if (hold) {
        // One page, filled but for traceRoom bytes: the child's trace fills the rest, and the line
        // after that has nowhere to go.
        ::fcntl(fds[1], F_SETPIPE_SZ, kPage);
        const std::string chunk(kPage - std::min<std::size_t>(traceRoom, kPage - 1), '#');
        const ssize_t n = ::write(fds[1], chunk.data(), chunk.size());
        filler_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    try {
        pid_ = StartCommand(ChildCommand{.args = CommandFor(args, user, hold), .out = fds[1]});
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    if (hold) held_ = WaitUntilBlocked();
}

bool HarnessRun::WaitUntilBlocked() {
    // Bounded; a child that ends first is not held. The pipe must be full again too: right after
    // a read the child may still show the write it is being woken from.
    const int capacity = ::fcntl(readEnd_, F_GETPIPE_SZ);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        int queued = 0;
        const bool full = ::ioctl(readEnd_, FIONREAD, &queued) == 0 && queued >= capacity;
        if (full && WaitingCall(pid_) == std::pair<long, std::string>{SYS_write, "0x1"})
            return true;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid_) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void HarnessRun::Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

HarnessRun::~HarnessRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        WaitChild(pid_);
    }
    if (readEnd_ >= 0) ::close(readEnd_);
}

HarnessResult HarnessRun::Finish(std::chrono::seconds timeout) {
    HarnessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string all;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{readEnd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(readEnd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer is gone
        all.append(chunk, static_cast<std::size_t>(n));
    }
    if (result.timedOut) ::kill(pid_, SIGKILL);
    const int status = WaitChild(pid_);
    pid_ = -1;
    if (!result.timedOut && status >= 0 && status < 256) result.exitStatus = status;
    if (!result.timedOut && status >= 256) result.signal = status - 256;
    result.out = all.substr(std::min(filler_, all.size()));
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("message: ", 0) == 0) result.messages.push_back(line.substr(9));
    }
    return result;
}

}  // namespace robustness

#include "support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace {

// argv or envp for exec: pointers into strings that outlive the call.
std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// In the forked child: only calls that are safe there.
void Stream(int from, int to) {
    if (from < 0) from = ::open("/dev/null", to == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (from != to) ::dup2(from, to);
}

}  // namespace

int WaitChild(pid_t pid) {
    int raw = 0;
    pid_t got = -1;
    while ((got = ::waitpid(pid, &raw, 0)) < 0 && errno == EINTR) {
    }
    if (got != pid || pid <= 0) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 256 + WTERMSIG(raw);
}

pid_t StartInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    return pid;
}

int RunInChild(const std::function<int()>& body) {
    return WaitChild(StartInChild(body));
}

pid_t StartCommand(const ChildCommand& command) {
    // Everything the child needs is made before the fork: a thread of ours may hold the heap.
    const std::vector<std::string> env =
        command.environment ? *command.environment : EnvironmentWithout({});
    const std::vector<char*> argv = Pointers(command.args);
    const std::vector<char*> envp = Pointers(env);
    const std::string folder = command.folder.string();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (command.newSession) ::setsid();
        if (command.defaultSignals) {
            // The test runner may block or ignore signals; exec keeps both.
            for (int signal = 1; signal < NSIG; ++signal) ::signal(signal, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
        }
        // Out of the way of the three streams first, in case one of them is 0, 1 or 2.
        const int in = command.in >= 0 ? ::fcntl(command.in, F_DUPFD_CLOEXEC, 3) : -1;
        const int out = command.out >= 0 ? ::fcntl(command.out, F_DUPFD_CLOEXEC, 3) : -1;
        const int err = command.err >= 0 ? ::fcntl(command.err, F_DUPFD_CLOEXEC, 3) : -1;
        Stream(in, STDIN_FILENO);
        Stream(out, STDOUT_FILENO);
        Stream(err, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        if (command.newSession && command.takeTerminal) ::ioctl(STDERR_FILENO, TIOCSCTTY, 0);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

CommandResult RunCommand(ChildCommand command) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    command.out = pipe[1];
    CommandResult result;
    pid_t pid = -1;
    try {
        pid = StartCommand(command);
    } catch (...) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        throw;
    }
    ::close(pipe[1]);
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(pipe[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.out.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    result.status = WaitChild(pid);
    return result;
}

std::pair<long, std::string> WaitingCall(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::pair<long, std::string> call{-1, ""};
    in >> call.first >> call.second;
    return call;
}

std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& drop) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        bool dropped = false;
        for (const std::string& d : drop) dropped = dropped || name == d;
        if (!dropped) env.emplace_back(text);
    }
    return env;
}

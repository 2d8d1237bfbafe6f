#pragma once
// Child processes of the tests: a body of this program run in a fork, or a command run without a
// shell, its standard streams on descriptors the test chooses. WaitChild collects either.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The child's exit status; 256 + N when signal N ended it; -1 when pid is no child of ours.
int WaitChild(pid_t pid);

// Forks a child that runs body and exits with its result (99 when it throws).
pid_t StartInChild(const std::function<int()>& body);
// Runs body in a forked child and returns what WaitChild tells of it.
int RunInChild(const std::function<int()>& body);

struct ChildCommand {
    std::vector<std::string> args{};  // args[0]: a path, or a name looked up on PATH
    std::optional<std::vector<std::string>> environment{};  // this process's when unset
    std::filesystem::path folder{};                         // the working folder; ours when empty
    int in = -1;                                            // the standard streams; -1: /dev/null
    int out = -1;
    int err = -1;
    bool newSession = false;      // a session of its own: no controlling terminal
    bool takeTerminal = false;    // with newSession: err's terminal becomes the controlling one
    bool defaultSignals = false;  // none blocked or ignored, as a desktop starts a program
};

// Starts the command with no other descriptor than its three streams; throws when it cannot fork.
// A command that cannot be run exits with 127.
pid_t StartCommand(const ChildCommand& command);

struct CommandResult {
    int status = -1;  // as WaitChild tells
    std::string out;  // standard output
};

// Runs the command to its end and collects its standard output (command.out is ignored).
CommandResult RunCommand(ChildCommand command);
inline CommandResult RunCommand(std::vector<std::string> args) {
    return RunCommand(ChildCommand{.args = std::move(args)});
}

// The system call pid waits in and its first argument, as /proc/PID/syscall tells ({1, "0x2"}: a
// write to standard error); a number below 0 while it runs.
std::pair<long, std::string> WaitingCall(pid_t pid);

// This process's environment, as NAME=value entries, without those named in drop.
std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& drop);

#pragma once
// Runs the built harness (vyx_bench) as a child process without a shell, with a bounded wait,
// optionally as the unprivileged user "nobody", and optionally held inside its run: its standard
// output is a one-page pipe filled up beforehand, so the first line its trace prints ("0 %",
// written once both files are open) blocks it until the test drains the pipe.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/operations.h"

namespace robustness {

// The one message of a run whose file the system would not let it open.
inline std::string DeniedText(const std::string& path) {
    return "File could not be opened: Access to " + path + " was denied.";
}

struct HarnessResult {
    int exitStatus = -1;  // -1: killed or did not exit normally
    int signal = 0;       // the signal that ended it, if one did
    bool timedOut = false;
    std::string out;                    // the trace
    std::vector<std::string> messages;  // its "message: " lines, without the prefix
};

// Another user, by number, as setpriv makes one: no supplementary groups but `groups`.
struct RunUser {
    unsigned uid = 65534;
    unsigned gid = 65534;
    std::vector<unsigned> groups;
};

class HarnessRun {
  public:
    // Starts vyx_bench with args, as user if one is given (this process must be root). With hold,
    // returns once the child is blocked on its first trace line (or has ended); see Held().
    // With traceRoom, the child is held later: once it has printed that many bytes of trace.
    explicit HarnessRun(const std::vector<std::string>& args,
                        const std::optional<RunUser>& user = std::nullopt, bool hold = false,
                        std::size_t traceRoom = 0);
    ~HarnessRun();
    HarnessRun(const HarnessRun&) = delete;
    HarnessRun& operator=(const HarnessRun&) = delete;

    // Whether the child is waiting on its first trace line right now.
    bool Held() const { return held_; }
    // Sends a signal to the child.
    void Signal(int signal);
    // Lets the child go on, collects its output and waits for it, killing it after timeout.
    HarnessResult Finish(std::chrono::seconds timeout = std::chrono::seconds(60));

  private:
    bool WaitUntilBlocked();

    pid_t pid_ = -1;
    int readEnd_ = -1;
    bool held_ = false;
    std::size_t filler_ = 0;
};

// Whether "nobody" can run the harness on files under folder (it is reachable and readable).
bool NobodyCanReach(const std::string& folder);
// Whether this process runs as root.
bool IsRoot();

}  // namespace robustness

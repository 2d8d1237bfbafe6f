#include "cli/workers.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "cli/terminal_window.h"
#include "fileops/run_signals.h"

// In memory that the workers share with each other.
struct WorkerLink::Shared {
    std::size_t jobs = 0;
    std::atomic<std::size_t> next{0};  // the next file to be taken
    std::atomic<bool> stopped{false};  // no more files are taken
};
static_assert(std::atomic<std::size_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "shared between processes, the atomics must not need a lock");

namespace {

constexpr unsigned kMostWorkers = 4;

// A message up a worker's pipe: its kind, a number (a file of the batch, or a signal), and text.
enum Kind : char { kLine = 'L', kDone = 'D', kFailed = 'F', kStopped = 'S', kMisused = 'M' };
struct Header {
    char kind = 0;
    std::uint64_t number = 0;
    std::uint32_t length = 0;

    static constexpr std::size_t kSize = 1 + sizeof number + sizeof length;  // as sent, unpadded
    void Put(std::string& out) const {
        out.push_back(kind);
        out.append(reinterpret_cast<const char*>(&number), sizeof number);
        out.append(reinterpret_cast<const char*>(&length), sizeof length);
    }
    void Get(const char* in) {
        kind = in[0];
        std::memcpy(&number, in + 1, sizeof number);
        std::memcpy(&length, in + 1 + sizeof number, sizeof length);
    }
};

void WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // the batch has gone: this worker dies with it
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// What the batch has heard of one of its files.
struct FileReport {
    std::vector<std::string> lines;
    bool ended = false;
};

// One worker as the batch sees it.
struct Worker {
    pid_t pid = -1;
    int pipe = -1;
    std::string received;  // bytes not yet a whole message
    bool stopSent = false;
};

class Batch {
  public:
    Batch(std::size_t jobs, WorkerLink::Shared& shared) : reports_(jobs), shared_(shared) {}

    // Takes the whole messages out of what a worker sent.
    void Read(Worker& worker) {
        std::size_t at = 0;
        while (worker.received.size() - at >= Header::kSize) {
            Header header;
            header.Get(worker.received.data() + at);
            if (worker.received.size() - at - Header::kSize < header.length) break;
            std::string text = worker.received.substr(at + Header::kSize, header.length);
            at += Header::kSize + header.length;
            Take(worker, header, std::move(text));
        }
        worker.received.erase(0, at);
    }

    void Take(Worker& worker, const Header& header, std::string text) {
        const std::size_t job = static_cast<std::size_t>(header.number);
        switch (header.kind) {
            case kLine:
                if (job < reports_.size()) reports_[job].lines.push_back(std::move(text));
                break;
            case kDone:
            case kFailed:
                if (job < reports_.size() && !reports_[job].ended) {
                    reports_[job].ended = true;
                    ++(header.kind == kDone ? result_.done : result_.failed);
                }
                break;
            case kStopped:
                worker.stopSent = true;
                Stop(static_cast<int>(header.number));
                break;
            case kMisused:
                worker.stopSent = true;
                result_.stop.misused = true;
                shared_.stopped = true;
                break;
            default:
                break;
        }
        PrintEnded();
    }

    // A signal stops every worker, as it stops a batch in one process (passOn: the signal they
    // are sent).
    void Stop(int signal, int passOn = 0) {
        shared_.stopped = true;
        if (signal == 0 || result_.stop.signal != 0) return;
        result_.stop.signal = signal;
        for (const Worker* worker : workers_) {
            if (worker->pipe >= 0) ::kill(worker->pid, passOn != 0 ? passOn : signal);
        }
    }

    // Says the lines of every file whose files before it have all ended.
    void PrintEnded() {
        while (printed_ < reports_.size() && reports_[printed_].ended) PrintFile(printed_++);
    }

    // Says what is left, in order, once every worker is gone.
    void PrintRest() {
        for (; printed_ < reports_.size(); ++printed_) PrintFile(printed_);
    }

    std::vector<Worker*> workers_;
    WorkersResult result_;

  private:
    void PrintFile(std::size_t job) {
        for (const std::string& line : reports_[job].lines) PrintError(line);
        reports_[job].lines.clear();
    }

    std::vector<FileReport> reports_;
    WorkerLink::Shared& shared_;
    std::size_t printed_ = 0;
};

// The worker's own life: from the fork to its end, which is an _exit.
[[noreturn]] void RunWorker(WorkerLink::Shared& shared, int pipe, const sigset_t& previousMask,
                            const std::function<BatchStop(WorkerLink&)>& body, pid_t batch) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != batch) ::_exit(1);  // the batch died before the line above
    WorkerLink link(shared, pipe);
    SetErrorSink([&link](std::string_view text) { link.Say(text); });
    BatchStop stop;
    {
        // Held before the signals are let through: one that came since the fork is noted.
        const RunSignalScope signals;
        ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
        try {
            stop = body(link);
        } catch (...) {
            stop.misused = true;
        }
    }
    link.Stop(stop);
    ::_exit(0);
}

}  // namespace

std::optional<std::size_t> WorkerLink::Next() {
    if (shared_.stopped) return std::nullopt;
    const std::size_t job = shared_.next.fetch_add(1);
    if (job >= shared_.jobs) return std::nullopt;
    return job;
}

void WorkerLink::About(std::size_t job) {
    about_ = job;
}

void WorkerLink::Say(std::string_view text) {
    Send(kLine, about_, text);
}

void WorkerLink::Settled(std::size_t job, bool done) {
    Send(done ? kDone : kFailed, job, {});
}

void WorkerLink::Stop(const BatchStop& stop) {
    if (stop.signal == 0 && !stop.misused) return;
    shared_.stopped = true;
    Send(stop.misused ? kMisused : kStopped, static_cast<std::size_t>(stop.signal), {});
}

void WorkerLink::Send(char kind, std::size_t number, std::string_view text) {
    std::string message;
    Header{kind, number, static_cast<std::uint32_t>(text.size())}.Put(message);
    message += text;
    WriteAll(pipe_, message.data(), message.size());
}

unsigned WorkersFor(std::size_t jobs) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int processors = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return static_cast<unsigned>(std::min<std::size_t>(
        {jobs, static_cast<std::size_t>(std::max(processors, 1)), kMostWorkers}));
}

std::optional<WorkersResult> RunWorkers(std::size_t jobs, unsigned count,
                                        const std::function<BatchStop(WorkerLink&)>& body) {
    // The termination signals this process takes are read from a descriptor while the workers
    // run, and passed on to them; one that it ignores or blocks stays so.
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, nullptr, &previous);
    sigset_t watched;
    sigemptyset(&watched);
    for (const int signal : kRunSignals) {
        struct sigaction now {};
        if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN &&
            sigismember(&previous, signal) == 0) {
            sigaddset(&watched, signal);
        }
    }
    ::sigprocmask(SIG_BLOCK, &watched, nullptr);
    const int signals = ::signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
    void* memory = ::mmap(nullptr, sizeof(WorkerLink::Shared), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    const auto restore = [&] {
        if (memory != MAP_FAILED) ::munmap(memory, sizeof(WorkerLink::Shared));
        if (signals >= 0) ::close(signals);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    };
    if (signals < 0 || memory == MAP_FAILED) {
        restore();
        return std::nullopt;
    }
    auto* shared = new (memory) WorkerLink::Shared;
    shared->jobs = jobs;

    Batch batch(jobs, *shared);
    std::vector<Worker> workers(count);
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t self = ::getpid();
    for (Worker& worker : workers) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) break;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ends[0]);
            ::close(signals);
            for (const Worker* other : batch.workers_) ::close(other->pipe);
            RunWorker(*shared, ends[1], previous, body, self);
        }
        ::close(ends[1]);
        if (pid < 0) {
            ::close(ends[0]);
            break;
        }
        worker.pid = pid;
        worker.pipe = ends[0];
        batch.workers_.push_back(&worker);
    }
    if (batch.workers_.empty()) {
        restore();
        return std::nullopt;  // no process to be had: the batch runs here
    }

    std::size_t running = batch.workers_.size();
    std::vector<pollfd> waits;
    while (running > 0) {
        waits.assign(1, {signals, POLLIN, 0});
        for (const Worker* worker : batch.workers_) waits.push_back({worker->pipe, POLLIN, 0});
        if (::poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) break;
        signalfd_siginfo info{};
        while (waits[0].revents != 0 &&
               ::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            batch.Stop(static_cast<int>(info.ssi_signo));
        }
        for (std::size_t i = 0; i < batch.workers_.size(); ++i) {
            Worker& worker = *batch.workers_[i];
            if (worker.pipe < 0 || waits[i + 1].revents == 0) continue;
            char chunk[16384];
            const ssize_t got = ::read(worker.pipe, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) {
                worker.received.append(chunk, static_cast<std::size_t>(got));
                batch.Read(worker);
                continue;
            }
            ::close(worker.pipe);
            worker.pipe = -1;
            --running;
            int status = 0;
            while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
            }
            // A worker killed from outside ends the batch with that signal's status; the others
            // stop as on SIGTERM, committing what they have done.
            if (WIFSIGNALED(status) && !worker.stopSent) batch.Stop(WTERMSIG(status), SIGTERM);
        }
    }
    for (Worker* worker : batch.workers_) {
        if (worker->pipe < 0) continue;
        ::close(worker->pipe);  // only when the wait failed: the workers end on their next line
        while (::waitpid(worker->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    restore();
    batch.PrintRest();
    WorkersResult result = batch.result_;
    // Without a stop every file was taken: one that never ended failed.
    if (result.stop.signal == 0 && !result.stop.misused) result.failed = jobs - result.done;
    return result;
}

#pragma once
// A batch's files run by several processes at once, one per processor: a batch of many small
// files spends its time in the system's calls for each file, which one process makes one after
// the other.
//
// Each worker is a fork of vyx that takes the next file from a queue shared by all, runs it as a
// batch of one process would (its own group commit, its own signal scope), and sends what it has
// to say about each file, and each file's end, up a pipe. This process says it in the batch's
// order: a file's lines once every file before it has ended, so the output is the same as one
// process's, however the files were shared out.
//
// Termination signals reach the workers: those sent to this process are passed on, and each
// worker stops as a batch of one process does, committing what it has done. A worker dies with
// this process.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a batch ended before its last file.
struct BatchStop {
    int signal = 0;        // the termination signal that stopped it
    bool misused = false;  // a file's stream was misused (told already)
};

// A worker's side of the batch.
class WorkerLink {
  public:
    struct Shared;
    WorkerLink(Shared& shared, int pipe) : shared_(shared), pipe_(pipe) {}

    // The next file to run, or nothing once the batch is over or stopped.
    std::optional<std::size_t> Next();
    // What PrintError is given from now on is about this file.
    void About(std::size_t job);
    // A line about that file, for standard error.
    void Say(std::string_view text);
    // The file has ended: done, or failed (its lines say why).
    void Settled(std::size_t job, bool done);
    // The worker has stopped: the others take no more files.
    void Stop(const BatchStop& stop);

  private:
    void Send(char kind, std::size_t number, std::string_view text);

    Shared& shared_;
    int pipe_;
    std::size_t about_ = 0;
};

struct WorkersResult {
    std::size_t done = 0;
    std::size_t failed = 0;
    BatchStop stop;
};

// How many workers a batch of `jobs` files is worth: one per processor this process may use,
// at most four; 1 means running it here.
unsigned WorkersFor(std::size_t jobs);

// Runs the batch's `jobs` files in `count` workers, each running `body` until Next gives
// nothing, and prints their lines in the batch's order. Nothing when no worker could be started.
std::optional<WorkersResult> RunWorkers(std::size_t jobs, unsigned count,
                                        const std::function<BatchStop(WorkerLink&)>& body);

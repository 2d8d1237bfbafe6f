#pragma once
// Commits many staged outputs together, as a batch of small files wants: the file system synced
// once per flush for all of them, instead of a file sync, a rename and a folder sync per file.
//
// While a CommitGroupScope is held, a staged output that its stream closes is not committed but
// handed to the group. Flush starts one sync of each file system (syncfs: every file's data and
// size, and every folder, written together and durable at once) on a thread of its own and
// returns, so that the next files are written while the disk works. The next flush waits for that
// sync, reads each file's own write errors, gives the outputs their names, and starts the next
// sync, which makes those names durable as it makes the next group's data durable; the last flush
// does it all at once. So a name is only ever given to durable bytes, an output is reported
// committed only once its name is durable, and a crash at any moment leaves each path with its
// old content or its new. Without syncfs, each file and each folder is synced on its own.
//
// The caller bounds the group (Due): by the descriptors it holds, not by its files, so that a
// group of small files can be large. A pending output holds its staged file's descriptor (and the
// existing target's, when it replaces one); the outputs of one folder share one descriptor of it.
// Also bounded: the bytes not yet durable, and the wait of the oldest unreported output.

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filestream/file_claims.h"
#include "filestream/file_error.h"
#include "filestream/staged_output.h"

class CommitGroup {
  public:
    struct Limits {
        std::size_t descriptors = 512;  // never more than half of the process's limit
        std::uint64_t bytes = 64u << 20;
        std::chrono::milliseconds delay{500};
    };

    CommitGroup() : CommitGroup(Limits{}) {}
    explicit CommitGroup(Limits limits);
    ~CommitGroup();  // drops what is still pending: those outputs keep their old content
    CommitGroup(const CommitGroup&) = delete;
    CommitGroup& operator=(const CommitGroup&) = delete;

    // The outputs handed over and not yet reported by Flush.
    std::size_t Pending() const { return pending_.size(); }
    std::size_t Unreported() const { return pending_.size() + syncing_.size() + named_.size(); }
    // Whether the group has reached a bound and should be flushed now.
    bool Due() const;
    // The descriptors that the unreported outputs hold.
    std::size_t Descriptors() const { return descriptors_; }
    // Waits for the sync that the last flush started, gives the outputs it made durable their
    // names, and starts the sync of the pending outputs' data and of those names; with
    // `everything`, makes all of it durable before it returns. Returns one result for each output
    // whose commit is settled, oldest first, in the order they came: none when it is in place and
    // durable, else the error that left its path as it was (or, when only the sync of its name
    // failed, named but not known durable).
    std::vector<std::optional<CFileException>> Flush(bool everything = false);

    // The group that a stream closing on this thread hands its staged output to, if any.
    static CommitGroup* Current();

    // Takes over a staged output whose stream has closed, holding `bytes` bytes.
    void Add(std::unique_ptr<StagedOutput> output, std::uint64_t bytes);
    // Where the group's outputs keep what they learnt of their folders, each folder listed and
    // opened once.
    BatchFolders* Folders() { return &batchFolders_; }

  private:
    struct Entry {
        std::unique_ptr<StagedOutput> output;
        std::optional<CFileException> error;
    };
    // The result of one sync of each file system per flush (0, the errno, or -1 without syncfs).
    using Synced = std::map<dev_t, int>;
    // A descriptor on each file system that the outputs being synced and the names not yet
    // durable are on (-1 where there is none to sync it through).
    using SyncTargets = std::map<dev_t, int>;
    static int SyncFileSystem(Synced& synced, dev_t device, int fd);
    static Synced SyncAll(const SyncTargets& targets);
    std::size_t CountDescriptors() const;
    SyncTargets Targets() const;
    void StartSync();  // on a thread of its own, into inFlight_
    // Reads the synced outputs' errors, settles the names the sync covered, names the outputs.
    void Complete(Synced& synced, std::vector<std::optional<CFileException>>& results);
    void SettleNames(Synced& synced);
    std::vector<std::optional<CFileException>> TakeSettled();

    Limits limits_;
    FileSystemTypesKept typesKept_;
    std::vector<std::unique_ptr<StagedOutput>> pending_;
    std::uint64_t bytes_ = 0;
    std::size_t descriptors_ = 0;  // as CountDescriptors finds them, kept up by Add
    std::chrono::steady_clock::time_point oldest_;
    std::vector<Entry> syncing_;  // their data being synced since the last flush
    std::future<Synced> inFlight_;
    std::vector<Entry> named_;    // named at the last flush, the names not yet durable
    std::vector<Entry> settled_;  // committed or failed, not yet reported
    // When the outputs being synced were taken, and those named were named.
    std::chrono::steady_clock::time_point lastFlush_;
    BatchFolders batchFolders_;
};

// Makes a group current on this thread for the scope's life.
class CommitGroupScope {
  public:
    explicit CommitGroupScope(CommitGroup& group);
    ~CommitGroupScope();
    CommitGroupScope(const CommitGroupScope&) = delete;
    CommitGroupScope& operator=(const CommitGroupScope&) = delete;

  private:
    CommitGroup* previous_;
};

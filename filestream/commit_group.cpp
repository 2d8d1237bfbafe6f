#include "filestream/commit_group.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <initializer_list>
#include <iterator>
#include <system_error>
#include <utility>

#include "filestream/file_error.h"
#include "filestream/staged_output.h"

namespace {
thread_local CommitGroup* g_current = nullptr;
}  // namespace

CommitGroup::CommitGroup(Limits limits) : limits_(limits) {
    struct rlimit open {};
    if (::getrlimit(RLIMIT_NOFILE, &open) == 0 && open.rlim_cur != RLIM_INFINITY) {
        limits_.descriptors =
            std::min<std::size_t>(limits_.descriptors, static_cast<std::size_t>(open.rlim_cur / 2));
    }
}

CommitGroup::~CommitGroup() {
    // The sync in flight uses the outputs' descriptors.
    if (inFlight_.valid()) inFlight_.wait();
}

CommitGroup* CommitGroup::Current() {
    return g_current;
}

void CommitGroup::Add(std::unique_ptr<StagedOutput> output, std::uint64_t bytes) {
    // Its bytes are left to the flush's sync, which writes the whole group's at once: started
    // file by file, the writes of small files go to the disk one by one. A large file has started
    // most of its own as it was written.
    bytes_ += bytes;
    // One descriptor for each folder, however many outputs wait there.
    const bool newFolder = output->ShareFolder(batchFolders_);
    descriptors_ += static_cast<std::size_t>(output->Descriptors()) + (newFolder ? 1 : 0);
    if (pending_.empty()) oldest_ = std::chrono::steady_clock::now();
    pending_.push_back(std::move(output));
}

std::size_t CommitGroup::CountDescriptors() const {
    std::size_t count = 0;
    for (const std::unique_ptr<StagedOutput>& output : pending_) {
        count += static_cast<std::size_t>(output->Descriptors());
    }
    for (const std::vector<Entry>* entries : {&syncing_, &named_}) {
        for (const Entry& entry : *entries) {
            count += static_cast<std::size_t>(entry.output->Descriptors());
        }
    }
    return count + batchFolders_.OpenDescriptors();
}

bool CommitGroup::Due() const {
    const auto now = std::chrono::steady_clock::now();
    if ((!syncing_.empty() || !named_.empty()) && now - lastFlush_ >= limits_.delay) return true;
    if (pending_.empty()) return false;
    return bytes_ >= limits_.bytes || now - oldest_ >= limits_.delay ||
           descriptors_ >= limits_.descriptors;
}

int CommitGroup::SyncFileSystem(Synced& synced, dev_t device, int fd) {
    const auto found = synced.find(device);
    if (found != synced.end()) return found->second;
    if (fd < 0) return -1;
    int result = ::syncfs(fd) == 0 ? 0 : errno;
    if (result == ENOSYS) result = -1;
    synced.emplace(device, result);
    return result;
}

CommitGroup::Synced CommitGroup::SyncAll(const SyncTargets& targets) {
    Synced synced;
    for (const auto& [device, fd] : targets) SyncFileSystem(synced, device, fd);
    return synced;
}

CommitGroup::SyncTargets CommitGroup::Targets() const {
    SyncTargets targets;
    const auto add = [&targets](dev_t device, int fd) {
        int& known = targets.try_emplace(device, -1).first->second;
        if (known < 0) known = fd;
    };
    for (const Entry& entry : syncing_) {
        if (!entry.error) add(entry.output->Device(), entry.output->fd_);
    }
    for (const Entry& entry : named_) {
        if (!entry.error) add(entry.output->Folder().st_dev, entry.output->FolderFd());
    }
    return targets;
}

std::vector<std::optional<CFileException>> CommitGroup::Flush(bool everything) {
    std::vector<std::optional<CFileException>> results;
    if (inFlight_.valid()) {
        Synced synced = inFlight_.get();
        Complete(synced, results);
    }
    for (std::unique_ptr<StagedOutput>& output : pending_)
        syncing_.push_back({std::move(output), {}});
    pending_.clear();
    bytes_ = 0;
    lastFlush_ = std::chrono::steady_clock::now();
    if (everything) {
        Synced synced = SyncAll(Targets());
        Complete(synced, results);
        Synced again = SyncAll(Targets());  // the names just given came after the sync above
        SettleNames(again);
        std::vector<std::optional<CFileException>> rest = TakeSettled();
        results.insert(results.end(), rest.begin(), rest.end());
    } else if (!syncing_.empty() || !named_.empty()) {
        // One sync of each file system writes and makes durable, together, the data of these
        // outputs and the names given just now: one journal commit and one cache flush for both.
        StartSync();
    }
    batchFolders_.ForgetClosed();
    descriptors_ = CountDescriptors();
    return results;
}

void CommitGroup::StartSync() {
    SyncTargets targets = Targets();
    // The thread takes no signals: they stay with the thread that runs the batch, whose blocking
    // calls they interrupt.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        inFlight_ = std::async(std::launch::async, &CommitGroup::SyncAll, targets);
    } catch (const std::system_error&) {
        // No thread to be had: the sync is made here and now.
        std::promise<Synced> done;
        done.set_value(SyncAll(targets));
        inFlight_ = done.get_future();
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void CommitGroup::Complete(Synced& synced, std::vector<std::optional<CFileException>>& results) {
    // Each step for all before the next: every name is given to durable bytes only.
    const auto step = [this](auto&& action) {
        for (Entry& entry : syncing_) {
            if (entry.error) continue;
            try {
                action(*entry.output);
            } catch (const CFileException& error) {
                entry.error = error;  // the output discarded or released itself
            }
        }
    };
    step([&](StagedOutput& output) {
        const int result = SyncFileSystem(synced, output.Device(), output.fd_);
        if (result == -1) {
            output.MakeDurable();  // no syncfs: the file on its own
        } else if (result != 0) {
            output.Fail(TransferErrorCause(result), result);
        }
    });
    // Then each file's own write errors, which the sync of its file system reports only for all:
    // its writeback is done by now, so this only reads its error state.
    step([](StagedOutput& output) {
        if (::sync_file_range(output.fd_, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
            errno != ESPIPE && errno != EINVAL) {
            const int error = errno;
            output.Fail(TransferErrorCause(error), error);
        }
    });
    SettleNames(synced);
    std::vector<std::optional<CFileException>> settled = TakeSettled();
    results.insert(results.end(), std::make_move_iterator(settled.begin()),
                   std::make_move_iterator(settled.end()));
    step([](StagedOutput& output) { output.Publish(); });
    for (Entry& entry : syncing_) named_.push_back(std::move(entry));
    syncing_.clear();
}

void CommitGroup::SettleNames(Synced& synced) {
    // The names given at the last flush are durable once their file system is synced (which a
    // flush has just done for its data) or, without syncfs, their folder.
    for (Entry& entry : named_) {
        if (entry.error) continue;
        const int folderFd = entry.output->FolderFd();
        int error = SyncFileSystem(synced, entry.output->Folder().st_dev, folderFd);
        if (error == -1) {
            error = folderFd < 0 || ::fsync(folderFd) == 0 || NothingToSync(errno) ? 0 : errno;
        }
        try {
            if (error != 0) entry.output->FailFolder(error);
            entry.output->Finish();
        } catch (const CFileException& failure) {
            entry.error = failure;
        }
    }
    settled_.insert(settled_.end(), std::make_move_iterator(named_.begin()),
                    std::make_move_iterator(named_.end()));
    named_.clear();
}

std::vector<std::optional<CFileException>> CommitGroup::TakeSettled() {
    std::vector<std::optional<CFileException>> results;
    for (Entry& entry : settled_) results.push_back(std::move(entry.error));
    settled_.clear();
    return results;
}

CommitGroupScope::CommitGroupScope(CommitGroup& group) : previous_(g_current) {
    g_current = &group;
}

CommitGroupScope::~CommitGroupScope() {
    g_current = previous_;
}

#include "filestream/commit_group.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

CommitGroup::~CommitGroup() = default;

CommitGroup* CommitGroup::Current() {
    return g_current;
}

void CommitGroup::Add(std::unique_ptr<StagedOutput> output) {
    // Its bytes are left to the flush's sync, which writes the whole group's at once: started
    // file by file, the writes of small files go to the disk one by one. A large file has started
    // most of its own as it was written.
    struct stat st {};
    if (::fstat(output->Descriptor(), &st) == 0) bytes_ += static_cast<std::uint64_t>(st.st_size);
    // One descriptor for each folder, however many outputs wait there.
    const struct stat& folder = output->Folder();
    std::weak_ptr<SharedFolder>& shared = folders_[{folder.st_dev, folder.st_ino}];
    shared = output->ShareFolder(shared.lock());
    if (pending_.empty()) oldest_ = std::chrono::steady_clock::now();
    pending_.push_back(std::move(output));
}

std::size_t CommitGroup::Descriptors() const {
    std::size_t count = 0;
    for (const std::unique_ptr<StagedOutput>& output : pending_) {
        count += static_cast<std::size_t>(output->Descriptors());
    }
    for (const Entry& entry : named_) {
        count += static_cast<std::size_t>(entry.output->Descriptors());
    }
    for (const auto& [folder, shared] : folders_) count += shared.expired() ? 0 : 1;
    return count;
}

bool CommitGroup::Due() const {
    const auto now = std::chrono::steady_clock::now();
    if (!named_.empty() && now - oldestNamed_ >= limits_.delay) return true;
    if (pending_.empty()) return false;
    return bytes_ >= limits_.bytes || now - oldest_ >= limits_.delay ||
           Descriptors() >= limits_.descriptors;
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

std::vector<std::optional<CFileException>> CommitGroup::Flush(bool everything) {
    std::vector<Entry> outputs;
    for (std::unique_ptr<StagedOutput>& output : pending_)
        outputs.push_back({std::move(output), {}});
    pending_.clear();
    bytes_ = 0;
    // Each step for all before the next: every name is given to durable bytes only.
    const auto step = [](std::vector<Entry>& entries, auto&& action) {
        for (Entry& entry : entries) {
            if (entry.error) continue;
            try {
                action(*entry.output);
            } catch (const CFileException& error) {
                entry.error = error;  // the output discarded or released itself
            }
        }
    };
    // One sync of each file system writes and makes durable, together, the data of these outputs
    // and the names given at the last flush: one journal commit and one cache flush for both.
    Synced synced;
    step(outputs, [&](StagedOutput& output) {
        const int result = SyncFileSystem(synced, output.Device(), output.fd_);
        if (result == -1) {
            output.MakeDurable();  // no syncfs: the file on its own
        } else if (result != 0) {
            output.Fail(TransferErrorCause(result), result);
        }
    });
    // Then each file's own write errors, which the sync of its file system reports only for all:
    // its writeback is done by now, so this only reads its error state.
    step(outputs, [](StagedOutput& output) {
        if (::sync_file_range(output.fd_, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
            errno != ESPIPE && errno != EINVAL) {
            const int error = errno;
            output.Fail(TransferErrorCause(error), error);
        }
    });
    SettleNames(synced);
    std::vector<std::optional<CFileException>> results = TakeSettled();
    step(outputs, [](StagedOutput& output) { output.Publish(); });
    for (Entry& entry : outputs) named_.push_back(std::move(entry));
    oldestNamed_ = std::chrono::steady_clock::now();
    if (everything) {
        Synced again;  // the names just given came after the sync above
        SettleNames(again);
        std::vector<std::optional<CFileException>> rest = TakeSettled();
        results.insert(results.end(), rest.begin(), rest.end());
    }
    std::erase_if(folders_, [](const auto& folder) { return folder.second.expired(); });
    return results;
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

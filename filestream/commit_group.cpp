#include "filestream/commit_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "filestream/file_error.h"
#include "filestream/staged_output.h"

namespace {
thread_local CommitGroup* g_current = nullptr;
}  // namespace

CommitGroup::~CommitGroup() = default;

CommitGroup* CommitGroup::Current() {
    return g_current;
}

void CommitGroup::Add(std::unique_ptr<StagedOutput> output) {
    const int fd = output->Descriptor();
    // The bytes start on their way to the disk now, so the group's syncs mostly wait for
    // writeback that is already done and share one journal commit.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    struct stat st {};
    if (::fstat(fd, &st) == 0) bytes_ += static_cast<std::uint64_t>(st.st_size);
    if (pending_.empty()) oldest_ = std::chrono::steady_clock::now();
    pending_.push_back(std::move(output));
}

bool CommitGroup::Due() const {
    const auto now = std::chrono::steady_clock::now();
    if (!named_.empty() && now - oldestNamed_ >= limits_.delay) return true;
    if (pending_.empty()) return false;
    return pending_.size() >= limits_.files || bytes_ >= limits_.bytes ||
           now - oldest_ >= limits_.delay;
}

namespace {

// Syncs the file system of each output once, through fd(output); the result of its sync for
// each: 0, the errno, or -1 where the file system has no syncfs.
template <typename Entries, typename Fd>
std::vector<int> SyncFileSystems(const Entries& entries, Fd fd) {
    std::vector<std::pair<dev_t, int>> synced;
    std::vector<int> results;
    for (const auto& entry : entries) {
        struct stat st {};
        const int descriptor = fd(entry);
        if (descriptor < 0 || ::fstat(descriptor, &st) != 0) {
            results.push_back(-1);
            continue;
        }
        int result = -1;
        bool seen = false;
        for (const auto& [device, error] : synced) {
            if (device == st.st_dev) {
                result = error;
                seen = true;
                break;
            }
        }
        if (!seen) {
            result = ::syncfs(descriptor) == 0 ? 0 : errno;
            if (result == ENOSYS) result = -1;
            synced.emplace_back(st.st_dev, result);
        }
        results.push_back(result);
    }
    return results;
}

}  // namespace

std::vector<std::optional<CFileException>> CommitGroup::Flush(bool everything) {
    std::vector<Entry> outputs;
    for (std::unique_ptr<StagedOutput>& output : pending_)
        outputs.push_back({std::move(output), {}});
    pending_.clear();
    bytes_ = 0;
    // Each step for all before the next: every name is given to durable bytes only.
    const auto step = [](std::vector<Entry>& entries, auto&& action) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Entry& entry = entries[i];
            if (entry.error) continue;
            try {
                action(*entry.output, i);
            } catch (const CFileException& error) {
                entry.error = error;  // the output discarded or released itself
            }
        }
    };
    // Each file's writeback is waited for, which reports its own write errors.
    step(outputs, [](StagedOutput& output, std::size_t) {
        if (::sync_file_range(output.fd_, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
            errno != ESPIPE && errno != EINVAL) {
            const int error = errno;
            output.Fail(TransferErrorCause(error), error);
        }
    });
    // Then one sync of each file system makes durable, together, the data of these outputs and
    // the names given at the last flush: one journal commit and one cache flush for both.
    const std::vector<int> dataSynced =
        SyncFileSystems(outputs, [](const Entry& entry) { return entry.output->fd_; });
    step(outputs, [&dataSynced](StagedOutput& output, std::size_t i) {
        if (dataSynced[i] == -1) {
            output.MakeDurable();  // no syncfs: the file on its own
        } else if (dataSynced[i] != 0) {
            output.Fail(TransferErrorCause(dataSynced[i]), dataSynced[i]);
        }
    });
    SettleNames();
    std::vector<std::optional<CFileException>> results = TakeSettled();
    step(outputs, [](StagedOutput& output, std::size_t) { output.Publish(); });
    for (Entry& entry : outputs) named_.push_back(std::move(entry));
    oldestNamed_ = std::chrono::steady_clock::now();
    if (everything) {
        SettleNames();
        std::vector<std::optional<CFileException>> rest = TakeSettled();
        results.insert(results.end(), rest.begin(), rest.end());
    }
    return results;
}

void CommitGroup::SettleNames() {
    // The names given at the last flush are durable once their file system is synced (which a
    // flush has just done for its data) or, without syncfs, their folder.
    const std::vector<int> synced = SyncFileSystems(
        named_, [](const Entry& entry) { return entry.error ? -1 : entry.output->FolderFd(); });
    for (std::size_t i = 0; i < named_.size(); ++i) {
        Entry& entry = named_[i];
        if (entry.error) continue;
        int error = synced[i];
        if (error == -1) {
            const int folderFd = entry.output->FolderFd();
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

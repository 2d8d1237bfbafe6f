#include "filestream/commit_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "filestream/posix_file.h"
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

const std::vector<std::string>* CommitGroup::Leftovers(const struct stat& folder) const {
    const auto found = leftovers_.find({folder.st_dev, folder.st_ino});
    return found == leftovers_.end() ? nullptr : &found->second;
}

void CommitGroup::RememberLeftovers(const struct stat& folder, std::vector<std::string> names) {
    leftovers_[{folder.st_dev, folder.st_ino}] = std::move(names);
}

bool CommitGroup::Due() const {
    if (pending_.empty()) return false;
    return pending_.size() >= limits_.files || bytes_ >= limits_.bytes ||
           std::chrono::steady_clock::now() - oldest_ >= limits_.delay;
}

std::vector<std::optional<CFileException>> CommitGroup::Flush() {
    std::vector<std::unique_ptr<StagedOutput>> outputs = std::move(pending_);
    pending_.clear();
    bytes_ = 0;
    std::vector<std::optional<CFileException>> results(outputs.size());
    // Each step for all before the next: every name is given to durable bytes only.
    const auto step = [&](auto&& action) {
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (results[i]) continue;
            try {
                action(*outputs[i]);
            } catch (const CFileException& error) {
                results[i] = error;  // the output discarded itself
            }
        }
    };
    // The data first: each file's writeback is waited for, which reports its own write errors,
    // then each file system is synced once, which makes every file's data and size durable
    // together (one journal commit and one cache flush instead of one per file).
    step([](StagedOutput& output) {
        if (::sync_file_range(output.fd_, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
            errno != ESPIPE && errno != EINVAL) {
            const int error = errno;
            output.Fail(TransferErrorCause(error), error);
        }
    });
    std::vector<std::pair<dev_t, int>> fileSystems;  // synced, errno of its sync (-1: no syncfs)
    step([&fileSystems](StagedOutput& output) {
        struct stat file {};
        if (::fstat(output.fd_, &file) != 0) {
            const int error = errno;
            output.Fail(TransferErrorCause(error), error);
        }
        int error = -1;
        bool seen = false;
        for (const auto& [device, result] : fileSystems) {
            if (device == file.st_dev) {
                error = result;
                seen = true;
                break;
            }
        }
        if (!seen) {
            error = ::syncfs(output.fd_) == 0 ? 0 : errno;
            if (error == ENOSYS) error = -1;
            fileSystems.emplace_back(file.st_dev, error);
        }
        if (error == -1) {
            output.MakeDurable();  // no syncfs: the file on its own
        } else if (error != 0) {
            output.Fail(TransferErrorCause(error), error);
        }
    });
    step([](StagedOutput& output) { output.Publish(); });
    // Each folder once; a failure there is the failure of every output it names.
    std::vector<std::pair<struct stat, int>> synced;  // folder, errno of its sync
    step([&synced](StagedOutput& output) {
        const int fd = output.FolderFd();
        struct stat folder {};
        if (fd < 0 || ::fstat(fd, &folder) != 0) return;
        int error = 0;
        bool seen = false;
        for (const auto& [done, result] : synced) {
            if (done.st_dev == folder.st_dev && done.st_ino == folder.st_ino) {
                error = result;
                seen = true;
                break;
            }
        }
        if (!seen) {
            error = ::fsync(fd) == 0 || NothingToSync(errno) ? 0 : errno;
            synced.emplace_back(folder, error);
        }
        if (error != 0) output.FailFolder(error);
    });
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (!results[i]) outputs[i]->Finish();
    }
    return results;
}

CommitGroupScope::CommitGroupScope(CommitGroup& group) : previous_(g_current) {
    g_current = &group;
}

CommitGroupScope::~CommitGroupScope() {
    g_current = previous_;
}

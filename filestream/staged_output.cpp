#include "filestream/staged_output.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/posix_file.h"

namespace {

// Links followed before a path counts as a loop, as the kernel counts them.
constexpr int kMaxLinks = 40;
// Room kept in a hidden sibling's name for its dot and suffix: a name the folder takes.
constexpr std::size_t kMaxStemInName = 200;

bool CannotStageUnnamed(int error) {
    // The file system (or an old kernel) has no unnamed files.
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

bool LocksUnsupported(int error) {
    return error == ENOLCK || error == EINVAL || error == EOPNOTSUPP;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A fresh hidden name beside `name`: ".name.vyx-" and sixteen hex digits.
std::string HiddenNameFor(const std::string& name) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) {
        random = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                 static_cast<std::uint64_t>(::time(nullptr));
    }
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random));
    return "." + name.substr(0, kMaxStemInName) + ".vyx-" + suffix;
}

void CloseFd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);  // close() frees the descriptor even when it reports an error
    fd = -1;
}

}  // namespace

void StagedOutput::Fail(int cause, int error) {
    Discard();
    throw CFileException(cause, userPath_, error);
}

void StagedOutput::Begin(const std::string& osPath, const std::u16string& userPath,
                         mode_t newFileMode) {
    Discard();
    userPath_ = userPath;
    ResolveTarget(osPath);

    folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0 && (errno == EACCES || errno == EPERM)) {
        // A folder that may be written but not listed: enough to make a file in, not to sync.
        folderFd_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (folderFd_ < 0) {
        const int error = errno;
        Fail(error == ENOENT ? CFileException::BadPath : OpenErrorCause(error, osPath), error);
    }
    struct stat folder {};
    if (::fstat(folderFd_, &folder) != 0) Fail(CFileException::Generic, errno);
    if (!nameClaim_.ClaimName(folder, name_)) Fail(CFileException::SharingViolation, 0);
    if (targetExists_) HoldExistingTarget();
    CreateStagedFile(targetExists_ ? S_IRUSR | S_IWUSR : newFileMode & 0777);
    if (targetExists_) MatchExistingTarget();
}

void StagedOutput::ResolveTarget(const std::string& osPath) {
    std::string path = osPath;
    targetExists_ = false;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            const int error = errno;
            if (error != ENOENT) Fail(OpenErrorCause(error, path), error);
            break;  // a new file, or the missing target of a dangling link
        }
        if (!S_ISLNK(st.st_mode)) {
            // Only a regular file is ever replaced: a rename over a device, a pipe or a folder
            // would replace that instead of writing to it.
            if (!S_ISREG(st.st_mode)) Fail(CFileException::AccessDenied, EISDIR);
            targetExists_ = true;
            target_ = st;
            break;
        }
        if (links == kMaxLinks) Fail(CFileException::BadPath, ELOOP);
        std::vector<char> link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            Fail(CFileException::Generic, n < 0 ? errno : ENAMETOOLONG);
        }
        const std::string to(link.data(), static_cast<std::size_t>(n));
        if (to.front() == '/' || path.find('/') == std::string::npos) {
            path = to;
        } else {
            std::string joined = FolderOf(path);
            joined += '/';
            joined += to;
            path = std::move(joined);
        }
    }
    const std::size_t slash = path.find_last_of('/');
    folder_ = FolderOf(path);
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (path.empty()) Fail(CFileException::FileNotFound, ENOENT);
    // "folder/" names a folder, which is no file to replace.
    if (name_.empty() || name_ == "." || name_ == "..") {
        Fail(CFileException::AccessDenied, EISDIR);
    }
}

void StagedOutput::HoldExistingTarget() {
    if (!targetClaim_.ClaimFile(target_, ClaimRole::Writer)) {
        Fail(CFileException::SharingViolation, 0);
    }
    // Read only: the file the name holds now is never written, only kept in view so that other
    // processes see it in use, and this one sees theirs.
    holdFd_ = ::openat(folderFd_, name_.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (holdFd_ < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) return;  // unreadable: replaced without a lock
        Fail(error == ELOOP ? CFileException::AccessDenied : OpenErrorCause(error, name_), error);
    }
    struct stat st {};
    if (::fstat(holdFd_, &st) != 0) Fail(CFileException::Generic, errno);
    if (!S_ISREG(st.st_mode)) Fail(CFileException::AccessDenied, EISDIR);
    target_ = st;

    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(holdFd_, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        if (error == EAGAIN || error == EACCES) Fail(CFileException::SharingViolation, error);
        if (LocksUnsupported(error)) return;
        Fail(CFileException::Generic, error);
    }
    // Any other opener's lock, a reader's as much as a writer's, means the file is in use.
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(holdFd_, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        Fail(CFileException::SharingViolation, EAGAIN);
    }
}

void StagedOutput::CreateStagedFile(mode_t mode) {
    fd_ = ::openat(folderFd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd_ >= 0) {
        kind_ = Kind::Unnamed;
        if (::fstat(fd_, &staged_) != 0) Fail(CFileException::Generic, errno);
        return;
    }
    int error = errno;
    if (CannotStageUnnamed(error)) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            stagedName_ = HiddenNameFor(name_);
            fd_ = ::openat(folderFd_, stagedName_.c_str(),
                           O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd_ >= 0) {
                kind_ = Kind::HiddenSibling;
                if (::fstat(fd_, &staged_) != 0) Fail(CFileException::Generic, errno);
                return;
            }
            error = errno;
            if (error != EEXIST) break;
        }
        stagedName_.clear();
    }
    Fail(OpenErrorCause(error, folder_ + "/" + name_), error);
}

void StagedOutput::MatchExistingTarget() {
    struct stat staged {};
    if (::fstat(fd_, &staged) != 0) return;
    bool owned = staged.st_uid == target_.st_uid && staged.st_gid == target_.st_gid;
    if (!owned) owned = ::fchown(fd_, target_.st_uid, target_.st_gid) == 0;
    // Set-id bits belong to the owner that had them: kept only where the owner is.
    const mode_t keep = owned ? 07777 : 01777;
    ::fchmod(fd_, target_.st_mode & keep);
}

void StagedOutput::Commit() {
    if (fd_ < 0) return;
    if (::fsync(fd_) != 0) {
        const int error = errno;
        Fail(TransferErrorCause(error), error);
    }
    struct stat now {};
    const bool occupied = ::fstatat(folderFd_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (occupied && !S_ISREG(now.st_mode)) Fail(CFileException::AccessDenied, EISDIR);

    bool named = false;  // the staged file already has the output's name
    if (kind_ == Kind::Unnamed) {
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
        auto link = [&](const std::string& as) {
            if (::linkat(AT_FDCWD, procPath.c_str(), folderFd_, as.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                return 0;
            }
            if (errno != ENOENT) return errno;
            // No /proc: the direct way, which needs the privilege to link any open file.
            return ::linkat(fd_, "", folderFd_, as.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
        };
        // A name that is still free is taken in one step, so no hidden name ever shows.
        int error = occupied ? EEXIST : link(name_);
        named = error == 0;
        if (error == EEXIST) {
            for (int attempt = 0; attempt < 100; ++attempt) {
                stagedName_ = HiddenNameFor(name_);
                error = link(stagedName_);
                if (error != EEXIST) break;
            }
            if (error == 0) kind_ = Kind::HiddenSibling;  // from here it has a name to remove
        }
        if (error != 0) {
            stagedName_.clear();
            Fail(TransferErrorCause(error), error);
        }
    }
    // A close that fails may have lost written bytes on some file systems: the output then never
    // keeps the name.
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && errno != EINTR) {
        const int error = errno;
        if (named) RemoveIfStaged(name_);
        Fail(TransferErrorCause(error), error);
    }
    if (kind_ == Kind::HiddenSibling &&
        ::renameat(folderFd_, stagedName_.c_str(), folderFd_, name_.c_str()) != 0) {
        const int error = errno;
        Fail(TransferErrorCause(error), error);
    }
    kind_ = Kind::None;
    // The new name is durable only once its folder is.
    ::fsync(folderFd_);
    Release();
}

void StagedOutput::RemoveIfStaged(const std::string& name) noexcept {
    // Only the file this object made, under a name it gave it.
    struct stat named {};
    if (::fstatat(folderFd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == staged_.st_dev && named.st_ino == staged_.st_ino) {
        ::unlinkat(folderFd_, name.c_str(), 0);
    }
}

void StagedOutput::Discard() noexcept {
    if (kind_ == Kind::HiddenSibling && !stagedName_.empty()) RemoveIfStaged(stagedName_);
    CloseFd(fd_);
    kind_ = Kind::None;
    Release();
}

void StagedOutput::Release() noexcept {
    CloseFd(holdFd_);
    CloseFd(folderFd_);
    stagedName_.clear();
    targetClaim_.Release();
    nameClaim_.Release();
}

#include "filestream/staged_output.h"

#include <acl/libacl.h>
#include <attr/error_context.h>
#include <attr/libattr.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/posix_util.h"

namespace {

// Links followed before a path counts as a loop, as the kernel counts them.
constexpr int kMaxLinks = 40;
// Room kept in a hidden sibling's name for its dot and suffix: a name the folder takes.
constexpr std::size_t kMaxStemInName = 200;

// Whether an unnamed file is linked directly from its descriptor; false once the system has
// refused that to this process.
std::atomic<bool> g_linkDirectly{true};

bool CannotStageUnnamed(int error) {
    // The file system (or an old kernel) has no unnamed files.
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

// The digits that end a hidden name.
constexpr std::size_t kHiddenDigits = 16;

// A hidden name beside `name` without its digits: ".name.vyx-".
std::string HiddenStemFor(const std::string& name) {
    std::string stem(1, '.');
    stem.append(name, 0, kMaxStemInName).append(".vyx-");
    return stem;
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
    return HiddenStemFor(name) + suffix;
}

// The text of the link `name` in folderFd ("" for the link folderFd is), however long: a link of
// /proc reports a size of its own rather than its text's. 0 or the errno.
int ReadLinkAt(int folderFd, const char* name, std::string& to) {
    for (std::size_t room = 256; room <= (1u << 20); room *= 4) {
        to.resize(room);
        const ssize_t n = ::readlinkat(folderFd, name, to.data(), room);
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) < room) {
            to.resize(static_cast<std::size_t>(n));
            return 0;
        }
    }
    return ENAMETOOLONG;
}

// The kernel's rule for links in shared folders (fs.protected_symlinks), kept whatever that
// setting is: in a sticky folder that everyone may write, a link is followed only when it belongs
// to the one who follows it or to the folder's owner. Anyone could have planted it otherwise.
bool MayFollowLink(const struct stat& folder, const struct stat& link) {
    if (link.st_uid == ::geteuid()) return true;
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
    return folder.st_uid == link.st_uid;
}

// Which extended attributes a replaced output takes over: all that the system's list does not
// leave out or count as permissions (ACLs, carried over on their own), and file capabilities only
// where the owner stays the same.
int CopiedAttribute(const char* name, struct error_context* context) {
    return ::attr_copy_check_permissions(name, context);
}

int CopiedAttributeOfAnotherOwner(const char* name, struct error_context* context) {
    return std::strcmp(name, "security.capability") != 0 &&
           ::attr_copy_check_permissions(name, context);
}

acl_entry_t GroupEntry(acl_t acl) {
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; ::acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        if (::acl_get_tag_type(entry, &tag) == 0 && tag == ACL_GROUP_OBJ) return entry;
    }
    return nullptr;
}

// Empties the entry of the file's own group.
void ClearGroupEntry(acl_t acl) {
    acl_permset_t permissions = nullptr;
    acl_entry_t entry = GroupEntry(acl);
    if (entry != nullptr && ::acl_get_permset(entry, &permissions) == 0) {
        ::acl_clear_perms(permissions);
        ::acl_set_permset(entry, permissions);
    }
}

// The entry of the file's own group as permission bits of the group.
mode_t GroupEntryBits(acl_t acl) {
    acl_permset_t permissions = nullptr;
    acl_entry_t entry = GroupEntry(acl);
    if (entry == nullptr || ::acl_get_permset(entry, &permissions) != 0) return 0;
    mode_t bits = 0;
    if (::acl_get_perm(permissions, ACL_READ) == 1) bits |= S_IRGRP;
    if (::acl_get_perm(permissions, ACL_WRITE) == 1) bits |= S_IWGRP;
    if (::acl_get_perm(permissions, ACL_EXECUTE) == 1) bits |= S_IXGRP;
    return bits;
}

// Whether name has the form of any hidden name: ".", a stem, ".vyx-" and sixteen hex digits.
bool LooksHidden(std::string_view name) {
    constexpr std::string_view kMark = ".vyx-";
    if (name.size() < 1 + kMark.size() + kHiddenDigits || name.front() != '.') return false;
    const std::size_t digits = name.size() - kHiddenDigits;
    return name.substr(digits - kMark.size(), kMark.size()) == kMark &&
           name.find_first_not_of("0123456789abcdef", digits) == std::string_view::npos;
}

// The names in the folder that look hidden; false when it cannot be listed.
bool ListHiddenNames(int folderFd, std::vector<std::string>& names) {
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* folder = ::fdopendir(listFd);
    if (folder == nullptr) {
        ::close(listFd);
        return false;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (LooksHidden(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(folder);
    return true;
}

}  // namespace

void StagedOutput::Fail(int cause, int error) {
    Discard();
    throw CFileException(cause, userPath_, error);
}

void StagedOutput::Begin(const std::string& osPath, const std::u16string& userPath,
                         mode_t newFileMode, BatchFolders* batch) {
    Discard();
    userPath_ = userPath;
    batch_ = batch;
    ResolveTarget(osPath);
    OpenFolder(osPath);
    if (!nameClaim_.ClaimName(folderSeen_, name_, folderFd_)) {
        Fail(CFileException::SharingViolation, 0);
    }
    if (targetExists_) HoldExistingTarget();
    RemoveLeftovers();
    CreateStagedFile(targetExists_ ? S_IRUSR | S_IWUSR : newFileMode & 0777);
    if (targetExists_) MatchExistingTarget();
}

void StagedOutput::OpenFolder(const std::string& osPath) {
    // A folder that the batch holds open already is taken as it is, as long as its path still
    // leads there.
    if (batch_ != nullptr) {
        const auto found = batch_->opened.find(folder_);
        std::shared_ptr<SharedFolder> shared =
            found == batch_->opened.end() ? nullptr : found->second.lock();
        if (shared && ::stat(folder_.c_str(), &folderSeen_) == 0 &&
            folderSeen_.st_dev == shared->seen.st_dev &&
            folderSeen_.st_ino == shared->seen.st_ino) {
            folderFd_ = shared->fd;
            folderReadable_ = true;
            sharedFolder_ = std::move(shared);
            return;
        }
    }
    folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folderReadable_ = folderFd_ >= 0;
    if (folderFd_ < 0 && (errno == EACCES || errno == EPERM)) {
        // A folder that may be written but not listed: enough to make a file in, not to sync.
        folderFd_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (folderFd_ < 0) {
        const int error = errno;
        Fail(error == ENOENT ? CFileException::BadPath : OpenErrorCause(error, osPath), error);
    }
    if (::fstat(folderFd_, &folderSeen_) != 0) Fail(CFileException::Generic, errno);
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
        const std::string to = FollowLink(path);
        if (to.empty()) Fail(CFileException::FileNotFound, ENOENT);
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

std::string StagedOutput::FollowLink(const std::string& path) {
    // The link is looked at and read through one descriptor, so the one judged is the one read.
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int folderFd = ::open(FolderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        const int error = errno;
        Fail(OpenErrorCause(error, path), error);
    }
    const int linkFd = ::openat(folderFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    struct stat folder {};
    struct stat link {};
    const bool seen = linkFd >= 0 && ::fstat(folderFd, &folder) == 0 && ::fstat(linkFd, &link) == 0;
    ::close(folderFd);
    if (!seen) {
        const int error = linkFd < 0 ? openError : errno;
        if (linkFd >= 0) ::close(linkFd);
        Fail(OpenErrorCause(error, path), error);
    }
    if (!S_ISLNK(link.st_mode)) {
        // Replaced by something else since it was looked at: that is followed no further.
        ::close(linkFd);
        Fail(CFileException::AccessDenied, EISDIR);
    }
    if (!MayFollowLink(folder, link)) {
        ::close(linkFd);
        Fail(CFileException::AccessDenied, EACCES);
    }
    std::string to;
    const int error = ReadLinkAt(linkFd, "", to);
    ::close(linkFd);
    if (error != 0) Fail(OpenErrorCause(error, path), error);
    return to;
}

void StagedOutput::HoldExistingTarget() {
    if (!targetClaim_.ClaimFile(target_, ClaimRole::Writer, folderFd_)) {
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

    switch (LockWholeFile(holdFd_, false)) {
        case LockResult::Held:
            break;
        case LockResult::InUse:
            Fail(CFileException::SharingViolation, errno);
        case LockResult::Unsupported:
            return;
        case LockResult::Failed:
            Fail(CFileException::Generic, errno);
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
        // Locked only should it get a hidden name at commit, before it has one: until then no
        // cleaner can see it.
        return;
    }
    int error = errno;
    if (CannotStageUnnamed(error)) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            stagedName_ = HiddenNameFor(name_);
            fd_ = ::openat(folderFd_, stagedName_.c_str(),
                           O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode);
            error = errno;
            if (fd_ < 0 && error != EEXIST) break;
            if (fd_ < 0) continue;
            if (::fstat(fd_, &staged_) != 0) Fail(CFileException::Generic, errno);
            // A later run's cleaner may have taken the new file for a leftover before the lock
            // was held: then it is its to remove, and another name is tried.
            struct stat named {};
            if (LockStagedFile() &&
                ::fstatat(folderFd_, stagedName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                named.st_dev == staged_.st_dev && named.st_ino == staged_.st_ino) {
                kind_ = Kind::HiddenSibling;
                return;
            }
            CloseFd(fd_);
            error = EEXIST;
        }
        stagedName_.clear();
    }
    Fail(OpenErrorCause(error, folder_ + "/" + name_), error);
}

bool StagedOutput::LockStagedFile() {
    switch (LockWholeFile(fd_, true)) {
        case LockResult::Held:
            return true;
        case LockResult::InUse:
            return false;
        case LockResult::Unsupported:
            return true;  // nothing there removes a staged file either
        case LockResult::Failed:
            break;
    }
    Fail(CFileException::Generic, errno);
}

void StagedOutput::RemoveLeftovers() noexcept {
    // What a killed run left staged beside the same output: a hidden sibling of the exact name
    // this object gives them, owned by this user, with no other name, and not in use. A run that
    // is still staging holds a lock on its file from the moment the file is made, and the lock
    // is taken here before anything is removed. A batch lists each folder once, for all of its
    // outputs.
    if (!folderReadable_) return;
    std::vector<std::string> listed;
    const std::vector<std::string>* hidden = &listed;
    if (batch_ != nullptr) {
        const BatchFolders::Identity key{folderSeen_.st_dev, folderSeen_.st_ino};
        auto found = batch_->hiddenNames.find(key);
        if (found == batch_->hiddenNames.end()) {
            if (!ListHiddenNames(folderFd_, listed)) return;
            found = batch_->hiddenNames.emplace(key, std::move(listed)).first;
        }
        hidden = &found->second;
    } else if (!ListHiddenNames(folderFd_, listed)) {
        return;
    }
    const std::string stem = HiddenStemFor(name_);
    std::vector<std::string> leftovers;
    for (const std::string& name : *hidden) {
        if (name.size() == stem.size() + kHiddenDigits && name.starts_with(stem)) {
            leftovers.push_back(name);
        }
    }
    for (const std::string& name : leftovers) {
        struct stat seen {};
        if (::fstatat(folderFd_, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(seen.st_mode) || seen.st_uid != ::geteuid() || seen.st_nlink != 1) {
            continue;
        }
        int fd = ::openat(folderFd_, name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held {};
        if (::fstat(fd, &held) == 0 && held.st_dev == seen.st_dev && held.st_ino == seen.st_ino &&
            LockWholeFile(fd, false) == LockResult::Held &&
            ::fstatat(folderFd_, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == seen.st_dev && held.st_ino == seen.st_ino) {
            ::unlinkat(folderFd_, name.c_str(), 0);
        }
        CloseFd(fd);
    }
}

void StagedOutput::MatchExistingTarget() {
    struct stat staged {};
    if (::fstat(fd_, &staged) != 0) return;
    // Owner and group together, else the group alone: the process may hand a file to a group it
    // belongs to, and not to another user.
    bool owned = staged.st_uid == target_.st_uid && staged.st_gid == target_.st_gid;
    if (!owned) owned = ::fchown(fd_, target_.st_uid, target_.st_gid) == 0;
    const bool grouped = owned || staged.st_gid == target_.st_gid ||
                         ::fchown(fd_, static_cast<uid_t>(-1), target_.st_gid) == 0;
    // Extended attributes after the owner, whose change drops some of them. The permission ones
    // (ACLs) come below; file capabilities belong to the owner that had them, as set-id bits do.
    if (holdFd_ >= 0) {
        ::attr_copy_fd(nullptr, holdFd_, nullptr, fd_,
                       owned ? CopiedAttribute : CopiedAttributeOfAnotherOwner, nullptr);
    }
    // Set-id bits belong to the owner that had them: kept only where the owner is.
    mode_t mode = target_.st_mode & (owned ? 07777 : 01777);
    // The target's ACL, even a plain one: the staged file may have taken entries of its own from
    // the folder's default ACL, which the file it replaces did not have.
    acl_t acl = ReadAcl();
    if (acl == nullptr && ::acl_extended_fd(fd_) == 1) acl = ::acl_from_mode(target_.st_mode);
    const bool extended = acl != nullptr && ::acl_equiv_mode(acl, nullptr) == 1;
    // The group's bits go to no group but the one that had them.
    if (!grouped && !extended) mode &= ~static_cast<mode_t>(S_IRWXG);
    if (acl != nullptr) {
        if (!grouped) ClearGroupEntry(acl);
        if (::acl_set_fd(fd_, acl) != 0) {
            // The entries cannot be carried over: the group's bits then give it no more than its
            // own entry did, and the other named users and groups lose their access.
            mode = (mode & ~static_cast<mode_t>(S_IRWXG)) | (GroupEntryBits(acl) & mode);
        }
        ::acl_free(acl);
    }
    // Where an ACL has more entries, the group's bits set its mask: they are the target's mask.
    ::fchmod(fd_, mode);
}

acl_t StagedOutput::ReadAcl() const {
    acl_t acl = nullptr;
    if (holdFd_ >= 0) {
        acl = ::acl_get_fd(holdFd_);
    } else {
        // An unreadable file still shows its ACL, read by name through a descriptor of its own.
        const int pathFd = ::openat(folderFd_, name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (pathFd < 0) return nullptr;
        struct stat st {};
        if (::fstat(pathFd, &st) == 0 && st.st_dev == target_.st_dev &&
            st.st_ino == target_.st_ino) {
            acl = ::acl_get_file(("/proc/self/fd/" + std::to_string(pathFd)).c_str(),
                                 ACL_TYPE_ACCESS);
        }
        ::close(pathFd);
    }
    return acl;
}

void StagedOutput::Commit() {
    if (fd_ < 0) return;
    MakeDurable();
    Publish();
    const int folderFd = FolderFd();
    if (folderFd >= 0 && ::fsync(folderFd) != 0) {
        const int error = errno;
        if (!NothingToSync(error)) FailFolder(error);
    }
    Release();
}

void StagedOutput::MakeDurable() {
    if (fd_ < 0) return;
    if (::fsync(fd_) != 0) {
        const int error = errno;
        Fail(TransferErrorCause(error), error);
    }
}

void StagedOutput::Publish() {
    if (fd_ < 0) return;
    // What the name holds now is looked at before a rename over it. A name that was free as the
    // output began is simply linked: the link fails if something took the name since.
    // Whether the name holds something now; anything but a file there refuses the output.
    const auto nameTaken = [this] {
        struct stat now {};
        const bool taken = ::fstatat(folderFd_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (taken && !S_ISREG(now.st_mode)) Fail(CFileException::AccessDenied, EISDIR);
        return taken;
    };
    const bool occupied = (targetExists_ || kind_ != Kind::Unnamed) && nameTaken();

    bool named = false;  // the staged file already has the output's name
    if (kind_ == Kind::Unnamed) {
        auto link = [&](const std::string& as) {
            // The direct way, where the system lets this process link a file it opened (with
            // the privilege to link any open file, or as its opener on newer systems): the way
            // through /proc costs a lookup of the descriptor's path as well.
            if (g_linkDirectly.load(std::memory_order_relaxed)) {
                if (::linkat(fd_, "", folderFd_, as.c_str(), AT_EMPTY_PATH) == 0) return 0;
                // Refused: ENOENT from the kernel without the right, EPERM or EACCES from a
                // sandbox. Any other failure is the link's own.
                if (errno != ENOENT && errno != EPERM && errno != EACCES) return errno;
            }
            const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
            if (::linkat(AT_FDCWD, procPath.c_str(), folderFd_, as.c_str(), AT_SYMLINK_FOLLOW) !=
                0) {
                return errno;
            }
            g_linkDirectly.store(false, std::memory_order_relaxed);  // refused: not tried again
            return 0;
        };
        // A name that is still free is taken in one step, so no hidden name ever shows.
        int error = occupied ? EEXIST : link(name_);
        named = error == 0;
        if (error == EEXIST && !occupied) (void)nameTaken();  // taken since: by a file alone
        if (error == EEXIST) {
            LockStagedFile();  // no cleaner takes it for a leftover
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
}

int StagedOutput::FolderFd() const {
    // The new name is durable only once its folder is. A folder that may not be read cannot be
    // synced.
    return folderReadable_ ? folderFd_ : -1;
}

void StagedOutput::FailFolder(int error) {
    // An error there is the run's failure, even though the name is already given.
    Release();
    throw CFileException(TransferErrorCause(error), userPath_, error);
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

int StagedOutput::Descriptors() const {
    return (fd_ >= 0 ? 1 : 0) + (holdFd_ >= 0 ? 1 : 0) + (folderFd_ >= 0 && !sharedFolder_ ? 1 : 0);
}

bool StagedOutput::ShareFolder(BatchFolders& batch) noexcept {
    if (folderFd_ < 0 || !folderReadable_ || sharedFolder_) return false;
    std::weak_ptr<SharedFolder>& slot = batch.shared[{folderSeen_.st_dev, folderSeen_.st_ino}];
    if (std::shared_ptr<SharedFolder> known = slot.lock()) {
        CloseFd(folderFd_);
        folderFd_ = known->fd;
        sharedFolder_ = std::move(known);
        return false;
    }
    sharedFolder_ = std::make_shared<SharedFolder>(folderFd_, folderSeen_);
    slot = sharedFolder_;
    batch.opened[folder_] = sharedFolder_;
    return true;
}

std::size_t BatchFolders::OpenDescriptors() const {
    return static_cast<std::size_t>(std::count_if(
        shared.begin(), shared.end(), [](const auto& folder) { return !folder.second.expired(); }));
}

void BatchFolders::ForgetClosed() {
    const auto closed = [](const auto& folder) { return folder.second.expired(); };
    std::erase_if(shared, closed);
    std::erase_if(opened, closed);
}

SharedFolder::~SharedFolder() {
    CloseFd(fd);
}

void StagedOutput::Release() noexcept {
    CloseFd(holdFd_);
    if (sharedFolder_) {
        folderFd_ = -1;
        sharedFolder_.reset();
    } else {
        CloseFd(folderFd_);
    }
    stagedName_.clear();
    targetClaim_.Release();
    nameClaim_.Release();
}

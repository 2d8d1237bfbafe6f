#include "filestream/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "filestream/commit_group.h"
#include "filestream/file_error.h"
#include "filestream/posix_util.h"
#include "filestream/text_convert.h"

PosixFile::~PosixFile() {
    Abort();
}

void PosixFile::Fail(int cause, int error) const {
    throw CFileException(cause, path_, error);
}

void PosixFile::Open(std::u16string_view path, FileAccess access) {
    Abort();
    path_.assign(path);
    written_ = regular_ = lengthFresh_ = endSeen_ = false;
    position_ = writebackFrom_ = extent_ = 0;

    // The operating system takes bytes: U+DC80..U+DCFF carry bytes that are not UTF-8, any other
    // lone surrogate has no spelling there, and a zero character would silently cut the path
    // short and name another file.
    std::optional<std::string> osPath = PathToOsBytes(path);
    if (!osPath || osPath->find('\0') != std::string::npos) Fail(CFileException::BadPath, 0);

    if (access == FileAccess::CreateReadWrite) {
        CommitGroup* group = CommitGroup::Current();
        auto staged = std::make_unique<StagedOutput>();
        staged->Begin(*osPath, path_, newFileMode_, group ? group->Folders() : nullptr);
        fd_ = staged->Descriptor();
        staged_ = std::move(staged);
        regular_ = true;
        lengthSeen_ = 0;  // a file of its own, new and empty
        lengthFresh_ = true;
        return;
    }
    OpenExisting(*osPath, access == FileAccess::ReadWrite);
}

void PosixFile::OpenExisting(const std::string& osPath, bool write) {
    // O_NONBLOCK: an open of a FIFO must never wait for a partner. It is cleared right after.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (write ? O_RDWR : O_RDONLY);
    int fd = -1;
    do {
        fd = ::open(osPath.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        Fail(OpenErrorCause(error, osPath), error);
    }

    auto refuse = [&](int cause, int error) {
        CloseFd(fd);
        claim_.Release();
        Fail(cause, error);
    };

    struct stat st {};
    if (::fstat(fd, &st) != 0) refuse(CFileException::Generic, errno);
    // A stream needs a length and a position: character devices report none (a read of one would
    // seem to end at once, or never), nor do pipes and sockets, and a folder is not a file.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        refuse(CFileException::AccessDenied, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    // O_NONBLOCK is the only status flag the open set, and F_SETFL changes status flags alone. A
    // regular file's reads and writes never wait for a partner, so there it changes nothing.
    if (!S_ISREG(st.st_mode)) ::fcntl(fd, F_SETFL, 0);

    if (!claim_.ClaimFile(st, write ? ClaimRole::Writer : ClaimRole::Reader, fd)) {
        refuse(CFileException::SharingViolation, 0);
    }
    const LockResult lock = LockWholeFile(fd, write);
    if (lock == LockResult::InUse) refuse(CFileException::SharingViolation, errno);
    // A file system without lock support still opens: the claim above keeps this process's own
    // streams apart there.
    if (lock == LockResult::Failed) refuse(CFileException::Generic, errno);

    regular_ = S_ISREG(st.st_mode);
    lengthSeen_ = static_cast<std::uint64_t>(st.st_size);
    lengthFresh_ = regular_;
    modeSeen_ = st.st_mode & 07777;
    fd_ = fd;
}

std::int32_t PosixFile::Read(void* destination, std::int32_t count) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    auto* out = static_cast<unsigned char*>(destination);
    lengthFresh_ = false;
    std::int32_t got = 0;
    while (got < count) {
        const auto size = static_cast<std::size_t>(count - got);
        const ssize_t n = regular_ ? ::pread(fd_, out + got, size, static_cast<off_t>(position_))
                                   : ::read(fd_, out + got, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            Fail(TransferErrorCause(error), error);
        }
        if (n == 0) break;
        got += static_cast<std::int32_t>(n);
        position_ += static_cast<std::uint64_t>(n);
        // The system reads a regular file in full up to its end: a short read found the end.
        if (regular_) break;
    }
    // A short read of a regular file tells its length as a query would.
    endSeen_ = lengthFresh_ = regular_ && got < count;
    if (endSeen_) lengthSeen_ = position_;
    return got;
}

void PosixFile::Write(const void* source, std::int32_t count) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    const auto* in = static_cast<const unsigned char*>(source);
    std::int32_t done = 0;
    if (count > 0) written_ = true;
    lengthFresh_ = endSeen_ = false;
    while (done < count) {
        const auto size = static_cast<std::size_t>(count - done);
        const ssize_t n = regular_ ? ::pwrite(fd_, in + done, size, static_cast<off_t>(position_))
                                   : ::write(fd_, in + done, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            Fail(TransferErrorCause(error), error);
        }
        if (n == 0) Fail(CFileException::DiskFull, ENOSPC);  // takes fewer bytes than asked
        done += static_cast<std::int32_t>(n);
        position_ += static_cast<std::uint64_t>(n);
    }
    extent_ = std::max(extent_, position_);
    StartWriteback();
}

void PosixFile::StartWriteback() noexcept {
    // Every few megabytes the system is asked to start writing back what the file received, so
    // that the disk works while the caller computes and the fsync of Close finds little left.
    // A hint only: durability still comes from that fsync, and a refusal changes nothing.
    constexpr std::uint64_t kWritebackStep = 8 << 20;
    if (position_ < writebackFrom_) writebackFrom_ = position_;  // written again further back
    if (position_ - writebackFrom_ < kWritebackStep) return;
    ::sync_file_range(fd_, static_cast<off_t>(writebackFrom_),
                      static_cast<off_t>(position_ - writebackFrom_), SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = position_;
}

std::uint64_t PosixFile::Seek(std::int64_t offset, SeekOrigin origin) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    endSeen_ = false;
    if (regular_) {
        // A regular file is read and written at the position kept here, so a seek is only
        // arithmetic, checked as the system would check it.
        const std::uint64_t base = origin == SeekOrigin::Begin     ? 0
                                   : origin == SeekOrigin::Current ? position_
                                                                   : GetLength();
        std::int64_t at = 0;
        if (__builtin_add_overflow(static_cast<std::int64_t>(base), offset, &at)) {
            Fail(CFileException::BadSeek, EOVERFLOW);
        }
        if (at < 0) Fail(CFileException::BadSeek, EINVAL);
        position_ = static_cast<std::uint64_t>(at);
        return position_;
    }
    const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) Fail(CFileException::BadSeek, errno);
    position_ = static_cast<std::uint64_t>(at);
    return position_;
}

std::uint64_t PosixFile::GetLength() const {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    if (lengthFresh_) return lengthSeen_;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail(CFileException::Generic, errno);
    if (S_ISREG(st.st_mode)) {
        lengthSeen_ = static_cast<std::uint64_t>(st.st_size);
        lengthFresh_ = true;
        return lengthSeen_;
    }
    // Devices: their end as a seek finds it (0 for most character devices).
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    ::lseek(fd_, static_cast<off_t>(position_), SEEK_SET);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

bool PosixFile::IsDrained() const {
    return endSeen_ || GetPosition() >= GetLength();
}

std::uint32_t PosixFile::Permissions() const {
    if (fd_ >= 0 && !staged_) return modeSeen_;  // as the open found them
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0666;
    return st.st_mode & 07777;
}

void PosixFile::Close() {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    claim_.Release();
    endSeen_ = false;
    if (staged_) {
        std::unique_ptr<StagedOutput> staged = std::move(staged_);
        if (CommitGroup* group = CommitGroup::Current()) {
            group->Add(std::move(staged), extent_);
        } else {
            staged->Commit();  // discards what it staged when it throws
        }
        return;
    }
    int cause = 0;
    int error = 0;
    if (written_ && ::fsync(fd) != 0) {
        error = errno;
        // Block devices may have nothing more to make durable.
        const bool nothingToSync = !regular_ && (error == EINVAL || error == ENOTSUP ||
                                                 error == EOPNOTSUPP || error == EROFS);
        if (!nothingToSync) cause = TransferErrorCause(error);
    }
    if (CloseFd(fd) != 0 && cause == 0 && errno != EINTR) {
        error = errno;
        cause = TransferErrorCause(error);
    }
    if (cause != 0) Fail(cause, error);
}

void PosixFile::Abort() noexcept {
    claim_.Release();
    endSeen_ = false;
    if (fd_ < 0) return;
    if (staged_) {
        staged_.reset();  // drops the staged file
    } else {
        CloseFd(fd_);
    }
    fd_ = -1;
}

void PosixFile::AbortAndRemove() noexcept {
    // The only file an open creates is a staged output, which Abort drops; a file that existed
    // before is never removed.
    Abort();
}

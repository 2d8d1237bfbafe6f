#include "filestream/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "filestream/file_error.h"
#include "filestream/text_convert.h"

namespace {

int RetryClose(int fd) {
    // close() releases the descriptor even when it reports EINTR; never retry it.
    return ::close(fd);
}

// Whether the folder that would hold osPath exists.
bool ParentFolderExists(const std::string& osPath) {
    const std::size_t slash = osPath.find_last_of('/');
    if (slash == std::string::npos) return true;  // the current folder
    const std::string parent = slash == 0 ? std::string("/") : osPath.substr(0, slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int OpenErrorCause(int error, const std::string& osPath) {
    switch (error) {
        case ENOENT:
            return ParentFolderExists(osPath) ? CFileException::FileNotFound
                                              : CFileException::BadPath;
        case ENOTDIR:
        case ENAMETOOLONG:
            return CFileException::BadPath;
        case EMFILE:
        case ENFILE:
            return CFileException::TooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return CFileException::AccessDenied;
        case ETXTBSY:
            return CFileException::SharingViolation;
        case ENOSPC:
        case EDQUOT:
            return CFileException::DiskFull;
        case EIO:
            return CFileException::HardIO;
        default:
            return CFileException::Generic;
    }
}

int TransferErrorCause(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return CFileException::DiskFull;
        case EIO:
            return CFileException::HardIO;
        case EBADF:
            return CFileException::InvalidFile;
        case EISDIR:
        case EACCES:
        case EPERM:
        case EROFS:
            return CFileException::AccessDenied;
        default:
            return CFileException::Generic;
    }
}

PosixFile::~PosixFile() {
    Abort();
}

void PosixFile::Fail(int cause, int error) const {
    throw CFileException(cause, path_, error);
}

void PosixFile::Open(std::u16string_view path, FileAccess access) {
    Abort();
    path_.assign(path);
    osPath_.clear();
    created_ = written_ = writable_ = regular_ = false;
    device_ = 0;
    inode_ = 0;
    position_ = 0;

    // The operating system takes bytes: a lone surrogate has no spelling there, and a zero
    // character would silently cut the path short and name another file.
    std::optional<std::string> osPath = PathToOsBytes(path);
    if (!osPath || osPath->find('\0') != std::string::npos) Fail(CFileException::BadPath, 0);
    const bool write = access != FileAccess::Read;

    // O_NONBLOCK: an open of a FIFO must never wait for a partner. It is cleared right after.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (write ? O_RDWR : O_RDONLY);
    if (access == FileAccess::CreateReadWrite) flags |= O_CREAT;  // emptied once the lock is held
    int fd = -1;
    do {
        fd = ::open(osPath->c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        Fail(OpenErrorCause(error, *osPath), error);
    }

    auto refuse = [&](int cause, int error) {
        RetryClose(fd);
        Fail(cause, error);
    };

    struct stat st {};
    if (::fstat(fd, &st) != 0) refuse(CFileException::Generic, errno);
    // A folder is not a file. Pipes and sockets have no length and no position, which a stream
    // needs; reading one would end at once and report an empty file, so refuse them plainly.
    if (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        refuse(CFileException::AccessDenied, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0) ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK);

    struct flock lock {};
    lock.l_type = write ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        if (error == EAGAIN || error == EACCES) refuse(CFileException::SharingViolation, error);
        // A file system without lock support (ENOLCK, EINVAL, EOPNOTSUPP) still opens.
        if (error != ENOLCK && error != EINVAL && error != EOPNOTSUPP) {
            refuse(CFileException::Generic, error);
        }
    }

    regular_ = S_ISREG(st.st_mode);
    if (access == FileAccess::CreateReadWrite && regular_ && st.st_size != 0) {
        int rc = 0;
        do {
            rc = ::ftruncate(fd, 0);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) refuse(TransferErrorCause(errno), errno);
        written_ = true;
    }

    fd_ = fd;
    writable_ = write;
    created_ = access == FileAccess::CreateReadWrite;
    osPath_ = std::move(*osPath);
    device_ = st.st_dev;
    inode_ = st.st_ino;
}

std::int32_t PosixFile::Read(void* destination, std::int32_t count) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    auto* out = static_cast<unsigned char*>(destination);
    std::int32_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd_, out + got, static_cast<std::size_t>(count - got));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            Fail(TransferErrorCause(error), error);
        }
        if (n == 0) break;
        got += static_cast<std::int32_t>(n);
        position_ += static_cast<std::uint64_t>(n);
    }
    return got;
}

void PosixFile::Write(const void* source, std::int32_t count) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
    const auto* in = static_cast<const unsigned char*>(source);
    std::int32_t done = 0;
    if (count > 0) written_ = true;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, static_cast<std::size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            Fail(TransferErrorCause(error), error);
        }
        if (n == 0) Fail(CFileException::DiskFull, ENOSPC);  // takes fewer bytes than asked
        done += static_cast<std::int32_t>(n);
        position_ += static_cast<std::uint64_t>(n);
    }
}

std::uint64_t PosixFile::Seek(std::int64_t offset, SeekOrigin origin) {
    if (fd_ < 0) Fail(CFileException::InvalidFile, EBADF);
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
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail(CFileException::Generic, errno);
    if (S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
    // Devices: their end as a seek finds it (0 for most character devices).
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    ::lseek(fd_, static_cast<off_t>(position_), SEEK_SET);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

void PosixFile::Close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    int cause = 0;
    int error = 0;
    if (written_) {
        if (::fsync(fd) != 0) {
            error = errno;
            // Devices such as /dev/full or /dev/null have nothing to make durable.
            const bool nothingToSync = !regular_ && (error == EINVAL || error == ENOTSUP ||
                                                     error == EOPNOTSUPP || error == EROFS);
            if (!nothingToSync) cause = TransferErrorCause(error);
        }
    }
    if (RetryClose(fd) != 0 && cause == 0 && errno != EINTR) {
        error = errno;
        cause = TransferErrorCause(error);
    }
    if (cause == 0 && created_ && regular_) {
        // A new directory entry is durable only once its folder is synced.
        const std::size_t slash = osPath_.find_last_of('/');
        const std::string folder = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : osPath_.substr(0, slash);
        const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            RetryClose(dirFd);
        }
    }
    if (cause != 0) Fail(cause, error);
}

void PosixFile::Abort() noexcept {
    if (fd_ < 0) return;
    RetryClose(fd_);
    fd_ = -1;
}

void PosixFile::AbortAndRemove() noexcept {
    // Decide while the file is still held, so no other opener can have replaced it yet.
    bool remove = false;
    if (writable_ && !osPath_.empty()) {
        struct stat st {};
        remove = ::lstat(osPath_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                 st.st_dev == device_ && st.st_ino == inode_;
    }
    if (remove) ::unlink(osPath_.c_str());
    Abort();
    writable_ = false;
}

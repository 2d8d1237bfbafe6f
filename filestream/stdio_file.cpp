#include "filestream/stdio_file.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "filestream/file_error.h"

namespace {
constexpr int kWaitMilliseconds = 200;
}

void StdioFile::Open(std::u16string_view /*path*/, FileAccess access) {
    *this = StdioFile(std::move(observer_));
    writing_ = access == FileAccess::CreateReadWrite;
    fd_ = writing_ ? STDOUT_FILENO : STDIN_FILENO;
    name_ = writing_ ? u"standard output" : u"standard input";
    if (access == FileAccess::ReadWrite) Fail(CFileException::AccessDenied, 0);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) Fail(CFileException::InvalidFile, errno);
    if (!writing_ && S_ISREG(info.st_mode)) {
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (at >= 0 && at <= info.st_size) {
            lengthKnown_ = true;
            length_ = static_cast<std::uint64_t>(info.st_size - at);
        }
    }
    open_ = true;
}

void StdioFile::Fail(int cause, int error) const {
    throw CFileException(cause, name_, error);
}

std::int32_t StdioFile::ReadDescriptor(unsigned char* destination, std::int32_t count) {
    std::int32_t got = 0;
    while (got < count && !ended_) {
        // A pipe may keep the reader waiting: the observer is asked now and then meanwhile, so
        // that a signal stops the wait (a read restarted after a signal would not).
        pollfd ready{fd_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kWaitMilliseconds);
        if (polled <= 0) {
            if (polled < 0 && errno != EINTR) Fail(CFileException::HardIO, errno);
            if (observer_ && !observer_(fetched_)) ended_ = true;
            continue;
        }
        const ssize_t n = ::read(fd_, destination + got, static_cast<std::size_t>(count - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(CFileException::HardIO, errno);
        if (n == 0) {
            ended_ = true;
            break;
        }
        if (replayable_) {
            if (fetched_ + static_cast<std::uint64_t>(n) <= kReplayBytes) {
                replay_.insert(replay_.end(), destination + got, destination + got + n);
            } else {
                replayable_ = false;
                replay_ = {};
            }
        }
        got += static_cast<std::int32_t>(n);
        fetched_ += static_cast<std::uint64_t>(n);
        if (observer_ && !observer_(fetched_)) ended_ = true;
    }
    return got;
}

std::int32_t StdioFile::Read(void* destination, std::int32_t count) {
    if (!open_ || writing_) Fail(CFileException::AccessDenied, 0);
    auto* out = static_cast<unsigned char*>(destination);
    std::int32_t got = 0;
    if (position_ < fetched_) {
        // Bytes read before the seek back to the start come again from what was kept.
        const auto kept = static_cast<std::int32_t>(
            std::min<std::uint64_t>(fetched_ - position_, static_cast<std::uint64_t>(count)));
        std::memcpy(out, replay_.data() + position_, static_cast<std::size_t>(kept));
        got = kept;
    }
    if (got < count) got += ReadDescriptor(out + got, count - got);
    position_ += static_cast<std::uint64_t>(got);
    return got;
}

void StdioFile::Write(const void* source, std::int32_t count) {
    if (!open_ || !writing_) Fail(CFileException::AccessDenied, 0);
    const auto* from = static_cast<const unsigned char*>(source);
    std::int32_t left = count;
    while (left > 0) {
        const ssize_t n = ::write(fd_, from, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const bool full = errno == ENOSPC || errno == EDQUOT;
            Fail(full ? CFileException::DiskFull : CFileException::HardIO, errno);
        }
        from += n;
        left -= static_cast<std::int32_t>(n);
    }
    position_ += static_cast<std::uint64_t>(count);
}

std::uint64_t StdioFile::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t target = offset;
    if (origin == SeekOrigin::Current) target += static_cast<std::int64_t>(position_);
    const bool keptThere = !writing_ && replayable_ && origin != SeekOrigin::End && target >= 0 &&
                           static_cast<std::uint64_t>(target) <= fetched_;
    if (!keptThere) {
        if (target == static_cast<std::int64_t>(position_) && origin != SeekOrigin::End) {
            return position_;
        }
        Fail(CFileException::BadSeek, ESPIPE);
    }
    position_ = static_cast<std::uint64_t>(target);
    return position_;
}

std::uint64_t StdioFile::GetLength() const {
    if (writing_) return position_;
    if (lengthKnown_) return length_;
    return ended_ ? fetched_ : kUnknownLength;
}

bool StdioFile::IsDrained() const {
    if (writing_) return true;
    if (lengthKnown_ && position_ >= length_) return true;
    return ended_ && position_ >= fetched_;
}

void StdioFile::Close() {
    const bool wasOpen = open_;
    open_ = false;
    if (!wasOpen || !writing_) return;
    // What the process wrote must be on a file that standard output names, as on any output.
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && ::fsync(fd_) != 0 && errno != EINVAL) {
        Fail(CFileException::HardIO, errno);
    }
}

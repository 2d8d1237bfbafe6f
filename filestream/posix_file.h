#pragma once
// The real platform file on POSIX descriptors.
//
// Kinds: regular files and block devices open; character devices, pipes, sockets and folders are
// refused with cause 5, since they have no length or position a stream can rely on.
//
// Sharing: an existing file is claimed within the process and locked with an open-file-description
// lock on the whole file, shared for a read-only open and exclusive for a write open, before
// anything is changed; a conflict refuses the open with cause 11. That holds whatever spelling of
// the path (another relative form, a hard or a symbolic link) each opener uses.
//
// Create-or-empty opens stage the output (staged_output.h): the bytes go to a new file that
// takes the path's name only when Close succeeds. Until then the path keeps what it had, and
// Abort drops the staged file. Inside a CommitGroupScope (commit_group.h), Close hands the staged
// output to the group, which commits it with others.

#include <sys/types.h>

#include <memory>
#include <string>

#include "filestream/file_claims.h"
#include "filestream/platform_file.h"
#include "filestream/staged_output.h"

class PosixFile : public IPlatformFile {
  public:
    PosixFile() = default;
    ~PosixFile() override;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override;
    // A regular file whose last read came back short is at its end without asking again.
    bool IsDrained() const override;
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return fd_ >= 0; }
    std::uint32_t Permissions() const override;
    void SetNewFilePermissions(std::uint32_t bits) override { newFileMode_ = bits & 0777; }

    int Descriptor() const { return fd_; }

  private:
    [[noreturn]] void Fail(int cause, int error) const;

    void OpenExisting(const std::string& osPath, bool write);
    // Asks the system to start writing back the bytes written since the last call, once they
    // amount to a few megabytes.
    void StartWriteback() noexcept;

    int fd_ = -1;
    bool regular_ = false;
    bool written_ = false;
    std::uint64_t position_ = 0;
    std::uint64_t writebackFrom_ = 0;  // where the bytes not yet handed to writeback begin
    std::uint64_t extent_ = 0;         // the end of the bytes written, for a new file its length
    // The length the system last reported (by a query, or by a short read), which stands until
    // the next read or write: asking again in between would learn nothing that the file might
    // not change a moment later anyway. The mode is the one the open found.
    mutable std::uint64_t lengthSeen_ = 0;
    mutable bool lengthFresh_ = false;
    std::uint32_t modeSeen_ = 0666;
    bool endSeen_ = false;  // the last read came back short, and position_ is that end
    std::u16string path_;
    mode_t newFileMode_ = 0666;
    FileClaim claim_;
    std::unique_ptr<StagedOutput> staged_;  // a create-or-empty open's output, until it closes
};

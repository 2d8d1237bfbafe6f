#pragma once
// The real platform file on POSIX descriptors.
//
// Sharing: every open takes an open-file-description lock on the whole file, shared for a
// read-only open and exclusive for a write open, before anything is changed; a conflicting lock
// refuses the open with cause 11. That holds between streams of one process and between processes,
// whatever spelling of the path (another relative form, a hard or a symbolic link) they use.

#include <sys/types.h>

#include <string>

#include "filestream/platform_file.h"

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
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return fd_ >= 0; }

    int Descriptor() const { return fd_; }

  private:
    [[noreturn]] void Fail(int cause, int error) const;

    int fd_ = -1;
    bool regular_ = false;
    bool created_ = false;
    bool written_ = false;
    bool writable_ = false;
    std::uint64_t position_ = 0;
    std::u16string path_;
    std::string osPath_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The cause for an errno that refused an open of osPath.
int OpenErrorCause(int error, const std::string& osPath);
// The cause for an errno that refused a read, write or close.
int TransferErrorCause(int error);

#pragma once
// The platform file underneath CFileStream: open with access, sharing and create-or-empty rules,
// read, write, seek, position, length, close. The real one works on POSIX descriptors
// (posix_file.h); tests and fault injection substitute their own through the factory below.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

enum class FileAccess {
    Read,             // an existing file, read only; others may read, not write
    ReadWrite,        // an existing file, read and write; others may read, not write
    CreateReadWrite,  // a new file that replaces whatever the path names, on a successful Close
};

enum class SeekOrigin { Begin, Current, End };

// What GetLength reports for a source that cannot tell its length before its end (a pipe).
inline constexpr std::uint64_t kUnknownLength = ~std::uint64_t{0};

class IPlatformFile {
  public:
    virtual ~IPlatformFile() = default;

    // Opens path (UTF-16, as the user gave it). Throws CFileException with the cause and path.
    virtual void Open(std::u16string_view path, FileAccess access) = 0;
    // Reads up to count bytes; fewer only at the end of the source. Throws CFileException.
    virtual std::int32_t Read(void* destination, std::int32_t count) = 0;
    // Writes all count bytes or throws CFileException (a short write is cause 13, disk full).
    virtual void Write(const void* source, std::int32_t count) = 0;
    // Reads as Read does, but may leave the bytes where a file that reads ahead holds them,
    // saving the caller a copy: lent then points at them and destination is untouched; else lent
    // is null and they are in destination. Lent bytes stay until the next Read, ReadLent, Write,
    // Seek, Open, Close or Abort.
    virtual std::int32_t ReadLent(void* destination, std::int32_t count,
                                  const unsigned char*& lent) {
        lent = nullptr;
        return Read(destination, count);
    }
    // Room where the caller may put the next piece of up to count bytes before it passes that
    // piece to Write, saving the file a copy; null when the file has none to lend. The room is
    // the caller's until its Write of a piece that starts there, or any other call; a Write of
    // bytes elsewhere is taken as always.
    virtual unsigned char* WriteRoom(std::int32_t /*count*/) { return nullptr; }
    // Moves and returns the new position. Throws CFileException.
    virtual std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual std::uint64_t GetPosition() const = 0;
    // The length in bytes, or kUnknownLength while a source cannot tell it.
    virtual std::uint64_t GetLength() const = 0;
    // Whether the source has nothing beyond the bytes already read.
    virtual bool IsDrained() const { return GetPosition() >= GetLength(); }
    // Makes written data durable and closes; a created file takes its path's name only now. The
    // file is closed even when this throws, and a created file is then dropped.
    virtual void Close() = 0;
    // Closes, ignoring every error. A created file is dropped: its path keeps what it had.
    virtual void Abort() noexcept = 0;
    // Abort, for a run that failed. Removes only what the open itself created.
    virtual void AbortAndRemove() noexcept = 0;
    virtual bool IsOpen() const = 0;
    // The permission bits of the open file.
    virtual std::uint32_t Permissions() const { return 0666; }
    // The permission bits a create-or-empty open gives a file that does not exist yet, limited by
    // the umask (default 0666).
    virtual void SetNewFilePermissions(std::uint32_t /*bits*/) {}
};

using PlatformFileFactory = std::function<std::unique_ptr<IPlatformFile>()>;

// Replaces the maker of the platform files that new streams get; an empty factory restores the
// real one. Meant for tests and fault injection.
void SetPlatformFileFactory(PlatformFileFactory factory);
// A fresh, unopened platform file from the current factory.
std::unique_ptr<IPlatformFile> MakePlatformFile();

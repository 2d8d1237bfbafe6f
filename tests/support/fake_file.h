#pragma once
// The test double of the platform file (filestream/platform_file.h). It keeps its bytes either in
// the real file system, through the POSIX file, or in a MemoryDisk, a set of files in memory with
// no system call at all (the fuzz targets run the operations over it). Either way it can log every
// request in a FileLog, which files may share, fail the n-th call of one kind with a chosen cause,
// and hand each real output's descriptor to a hook that plants a fault below it.
//
// Install it for every new stream with SetPlatformFileFactory (FakeFiles), or hand it to one
// CFileStream.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"
#include "filestream/platform_file.h"

class PosixFile;

// Files in memory, by path. A file created through a FakeFile appears here only when it is
// closed, as a real created file takes its name only then.
struct MemoryDisk {
    std::map<std::u16string, std::vector<std::uint8_t>, std::less<>> files;
};

// Every request that reaches the FakeFiles that share it, in order.
struct FileLog {
    int opens = 0;
    std::vector<std::int32_t> reads;   // bytes asked for
    std::vector<std::int32_t> writes;  // bytes passed
    int closes = 0;
    // Reads, writes and seeks in their order: "r<asked>=<got>", "w<count>", "s<offset>".
    std::vector<std::string> transfers;
    int openFiles = 0;    // opened and not yet closed or dropped
    int faultCalls = 0;   // the calls the fault counted so far
    int faultsFired = 0;  // how often it struck
};

// A failed Close still lets the file go.
enum class FaultAt { None, Read, Write, Close };

// The call-th call (from 1) of its kind fails with cause. The calls are counted over all files that
// share a log and, with `only`, over those opened that way alone (an input's reads, say).
struct FaultPlan {
    explicit FaultPlan(FaultAt at_ = FaultAt::None, int call_ = 1,
                       int cause_ = CFileException::DiskFull, std::optional<FileAccess> only_ = {})
        : at(at_), call(call_), cause(cause_), only(only_) {}

    FaultAt at;
    int call;
    int cause;
    std::optional<FileAccess> only;
    // Given the descriptor of each real file opened with CreateReadWrite, before its first write.
    std::function<void(int descriptor)> outputOpened;
};

class FakeFile : public IPlatformFile {
  public:
    // Over the real file system, with the plan's fault.
    explicit FakeFile(std::shared_ptr<FileLog> log = {}, FaultPlan plan = FaultPlan());
    // Over the files of disk, which must outlive it.
    explicit FakeFile(MemoryDisk& disk, std::shared_ptr<FileLog> log = {},
                      FaultPlan plan = FaultPlan());
    ~FakeFile() override;
    FakeFile(const FakeFile&) = delete;
    FakeFile& operator=(const FakeFile&) = delete;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return store_->GetPosition(); }
    std::uint64_t GetLength() const override { return store_->GetLength(); }
    bool IsDrained() const override { return store_->IsDrained(); }
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return store_->IsOpen(); }
    std::uint32_t Permissions() const override { return store_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { store_->SetNewFilePermissions(bits); }

  private:
    class InMemory;
    FakeFile(std::unique_ptr<IPlatformFile> store, std::shared_ptr<FileLog> log, FaultPlan plan);
    bool Strikes(FaultAt kind);
    void CountOpen(bool open);

    std::unique_ptr<IPlatformFile> store_;
    PosixFile* real_ = nullptr;  // the store, where it is the real file
    std::shared_ptr<FileLog> log_;
    FaultPlan plan_;
    FileAccess access_ = FileAccess::Read;
    std::u16string path_;
    bool counted_ = false;
};

// A stream over a FakeFile on the real file system (log may be null: a fault counts its calls).
inline std::unique_ptr<CFileStream> LoggedStream(std::shared_ptr<FileLog> log,
                                                 FaultAt fault = FaultAt::None, int call = 1,
                                                 int cause = CFileException::DiskFull) {
    return std::make_unique<CFileStream>(
        std::make_unique<FakeFile>(std::move(log), FaultPlan(fault, call, cause)));
}

// Makes every new stream's platform file a FakeFile over the real file system, sharing log and
// plan, while it lives.
class FakeFiles {
  public:
    explicit FakeFiles(std::shared_ptr<FileLog> log, FaultPlan plan = FaultPlan());
    ~FakeFiles();
    FakeFiles(const FakeFiles&) = delete;
    FakeFiles& operator=(const FakeFiles&) = delete;
};

#pragma once
// The test double of the platform file (filestream/platform_file.h). It keeps its bytes either in
// the real file system, through the POSIX file, or in a MemoryDisk, a set of files in memory with
// no system call at all (the fuzz targets run the operations over it). Either way it can log every
// request in a FileLog and fail the n-th call of one kind with a chosen cause.
//
// Install it for every new stream with SetPlatformFileFactory, or hand it to one CFileStream.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"
#include "filestream/platform_file.h"

// Files in memory, by path. A file created through a FakeFile appears here only when it is
// closed, as a real created file takes its name only then.
struct MemoryDisk {
    std::map<std::u16string, std::vector<std::uint8_t>, std::less<>> files;
};

// Every request that reaches a FakeFile, in order.
struct FileLog {
    int opens = 0;
    std::vector<std::int32_t> reads;   // bytes asked for
    std::vector<std::int32_t> writes;  // bytes passed
    int closes = 0;
    int seeks = 0;
    // Reads, writes and seeks in their order: "r<asked>=<got>", "w<count>", "s<offset>".
    std::vector<std::string> transfers;
};

enum class FaultAt { None, Read, Write, Close };

class FakeFile : public IPlatformFile {
  public:
    // Over the real file system. With a log, records every request; with a fault, fails the
    // failingCall-th call (from 1) of that kind with the cause.
    explicit FakeFile(std::shared_ptr<FileLog> log = {}, FaultAt fault = FaultAt::None,
                      int failingCall = 1, int cause = CFileException::DiskFull);
    // Over the files of disk, which must outlive it.
    explicit FakeFile(MemoryDisk& disk, std::shared_ptr<FileLog> log = {});
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
    void Abort() noexcept override { store_->Abort(); }
    void AbortAndRemove() noexcept override { store_->AbortAndRemove(); }
    bool IsOpen() const override { return store_->IsOpen(); }
    std::uint32_t Permissions() const override { return store_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { store_->SetNewFilePermissions(bits); }

  private:
    class InMemory;
    void MaybeFail(FaultAt kind, int& calls);

    std::unique_ptr<IPlatformFile> store_;
    std::shared_ptr<FileLog> log_;
    FaultAt fault_;
    int failingCall_;
    int cause_;
    int readCalls_ = 0;
    int writeCalls_ = 0;
    int closeCalls_ = 0;
    std::u16string path_;
};

// A stream over a FakeFile on the real file system.
inline std::unique_ptr<CFileStream> LoggedStream(std::shared_ptr<FileLog> log,
                                                 FaultAt fault = FaultAt::None, int call = 1,
                                                 int cause = CFileException::DiskFull) {
    return std::make_unique<CFileStream>(
        std::make_unique<FakeFile>(std::move(log), fault, call, cause));
}

#pragma once
// A platform file that is the real one with one fault planted in it, installed for every new
// stream through the platform file factory. The plan names the fault and the call it hits; the
// files report back how many reads the input and writes the output made, and how many of them
// are open, so a test can first count the transfers of a clean run and then fail any of them.

#include <cstdint>
#include <memory>
#include <string>

#include "filestream/file_error.h"
#include "filestream/platform_file.h"
#include "filestream/posix_file.h"

enum class Fault {
    None,
    ReadError,              // the input's n-th read throws: a hardware I/O error
    WriteError,             // the output's n-th write throws: disk full, nothing written
    PartialWrite,           // the output's n-th write stores half its bytes, then throws disk full
    CloseError,             // the output's close closes the file, then throws a hardware I/O error
    KernelShortWriteFull,   // write(2) on the output takes half the n-th request, then ENOSPC
    KernelShortWriteOnly,   // write(2) on the output takes half the n-th request, then goes on
    KernelFsyncError,       // fsync(2) on the output fails with EIO
    KernelCloseError,       // close(2) on the output fails with EIO after releasing it
    KernelNamingError,      // linkat(2) and renameat(2) fail with EIO as the output takes its name
    KernelFolderSyncError,  // fsync(2) of the output's folder fails with EIO once it has its name
};

struct FaultPlan {
    Fault fault = Fault::None;
    int call = 1;  // 1-based: which read of the input, or which write of the output

    // Filled in by the files.
    int inputReads = 0;
    int outputWrites = 0;
    int openFiles = 0;
    int fired = 0;
};

class FaultyFile : public IPlatformFile {
  public:
    explicit FaultyFile(std::shared_ptr<FaultPlan> plan) : plan_(std::move(plan)) {}
    ~FaultyFile() override { SetOpen(false); }
    FaultyFile(const FaultyFile&) = delete;
    FaultyFile& operator=(const FaultyFile&) = delete;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        return real_.Seek(offset, origin);
    }
    std::uint64_t GetPosition() const override { return real_.GetPosition(); }
    std::uint64_t GetLength() const override { return real_.GetLength(); }
    bool IsDrained() const override { return real_.IsDrained(); }
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return real_.IsOpen(); }
    std::uint32_t Permissions() const override { return real_.Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { real_.SetNewFilePermissions(bits); }

  private:
    void SetOpen(bool open);
    bool IsOutput() const { return access_ == FileAccess::CreateReadWrite; }

    std::shared_ptr<FaultPlan> plan_;
    PosixFile real_;
    FileAccess access_ = FileAccess::Read;
    std::u16string path_;
    bool counted_ = false;
};

// Installs the factory for the lifetime of the object.
class FaultyFiles {
  public:
    explicit FaultyFiles(const std::shared_ptr<FaultPlan>& plan);
    ~FaultyFiles();
    FaultyFiles(const FaultyFiles&) = delete;
    FaultyFiles& operator=(const FaultyFiles&) = delete;
};

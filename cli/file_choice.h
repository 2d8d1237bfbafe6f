#pragma once
// The platform file of the command line's streams: "-" opens standard input or output
// (filestream/stdio_file.h), every other path the usual file on disk. Installed as the platform
// file factory for the whole run.

#include <memory>

#include "filestream/platform_file.h"
#include "filestream/stdio_file.h"

class ChosenFile : public IPlatformFile {
  public:
    explicit ChosenFile(StdioFile::ReadObserver observer);

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override {
        return file_->Read(destination, count);
    }
    // Forwarded, not left to the copying default: a disk file lends what it read ahead.
    std::int32_t ReadLent(void* destination, std::int32_t count,
                          const unsigned char*& lent) override {
        return file_->ReadLent(destination, count, lent);
    }
    void Write(const void* source, std::int32_t count) override { file_->Write(source, count); }
    // Forwarded too: a disk file lends the room its next piece would be copied to.
    unsigned char* WriteRoom(std::int32_t count) override { return file_->WriteRoom(count); }
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        return file_->Seek(offset, origin);
    }
    std::uint64_t GetPosition() const override { return file_->GetPosition(); }
    std::uint64_t GetLength() const override { return file_->GetLength(); }
    bool IsDrained() const override { return file_->IsDrained(); }
    void Close() override { file_->Close(); }
    void Abort() noexcept override { file_->Abort(); }
    void AbortAndRemove() noexcept override { file_->AbortAndRemove(); }
    bool IsOpen() const override { return file_->IsOpen(); }
    std::uint32_t Permissions() const override { return file_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override {
        permissions_ = bits;
        file_->SetNewFilePermissions(bits);
    }

  private:
    StdioFile::ReadObserver observer_;
    std::unique_ptr<IPlatformFile> file_;
    bool standard_ = false;  // file_ is on standard input or output
    std::uint32_t permissions_ = 0666;
};

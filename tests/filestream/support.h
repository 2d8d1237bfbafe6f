#pragma once
// Shared pieces of the file stream tests: a recording presenter, a platform file that logs every
// request and fails the one it is told to, and small text helpers.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"
#include "filestream/notify.h"
#include "filestream/posix_file.h"
#include "support/files.h"

struct Shown {
    std::u16string text;
    MessageButtons buttons;
};

class RecordingPresenter : public IMessagePresenter {
  public:
    RecordingPresenter() { SetMessagePresenter(this); }
    ~RecordingPresenter() override { SetMessagePresenter(nullptr); }
    RecordingPresenter(const RecordingPresenter&) = delete;
    RecordingPresenter& operator=(const RecordingPresenter&) = delete;
    void Present(std::u16string_view text, MessageButtons buttons) override {
        shown.push_back({std::u16string(text), buttons});
    }
    std::vector<Shown> shown;
};

// Installed in death-test children: writes "[ok] text" / "[ok-cancel] text" to standard error,
// where EXPECT_EXIT can read it.
class StderrPresenter : public IMessagePresenter {
  public:
    void Present(std::u16string_view text, MessageButtons buttons) override;
};

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);
// The file stream tests hold bytes as strings.
inline std::string ReadBytes(const std::string& path) {
    return ReadString(path);
}
std::string Pattern(std::size_t n);  // n bytes, byte i = (i * 7 + 3) & 0xFF

// Every request that reaches the platform file, in order.
struct FileLog {
    std::vector<std::int32_t> reads;   // bytes asked for
    std::vector<std::int32_t> writes;  // bytes passed
    int closes = 0;
    int seeks = 0;
};

enum class FaultAt { None, Read, Write, Close };

// The real platform file with a log, failing the n-th call (1-based) of one kind with a cause.
class LoggingFile : public IPlatformFile {
  public:
    explicit LoggingFile(std::shared_ptr<FileLog> log, FaultAt fault = FaultAt::None,
                         int failingCall = 1, int cause = CFileException::DiskFull)
        : log_(std::move(log)), fault_(fault), failingCall_(failingCall), cause_(cause) {}

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return real_.GetPosition(); }
    std::uint64_t GetLength() const override { return real_.GetLength(); }
    void Close() override;
    void Abort() noexcept override { real_.Abort(); }
    void AbortAndRemove() noexcept override { real_.AbortAndRemove(); }
    bool IsOpen() const override { return real_.IsOpen(); }
    std::uint32_t Permissions() const override { return real_.Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { real_.SetNewFilePermissions(bits); }

  private:
    void MaybeFail(FaultAt kind, int& calls);

    std::shared_ptr<FileLog> log_;
    FaultAt fault_;
    int failingCall_;
    int cause_;
    int readCalls_ = 0;
    int writeCalls_ = 0;
    int closeCalls_ = 0;
    std::u16string path_;
    PosixFile real_;
};

inline std::unique_ptr<CFileStream> LoggedStream(std::shared_ptr<FileLog> log,
                                                 FaultAt fault = FaultAt::None, int call = 1,
                                                 int cause = CFileException::DiskFull) {
    return std::make_unique<CFileStream>(
        std::make_unique<LoggingFile>(std::move(log), fault, call, cause));
}

#pragma once
// A platform file over the process's own standard input or standard output, for a command line
// that takes "-" as a file. Open with FileAccess::Read reads standard input; with
// FileAccess::CreateReadWrite it writes standard output. The path given to Open is not looked at.
//
// Standard output is never staged: every Write goes straight out, so a failure part way leaves
// what was written before it, and Abort has nothing to remove.
//
// Standard input is often a pipe, whose length is known only at its end: GetLength reports
// kUnknownLength until the end has been read (a regular file reports its length at once). The
// stream's one seek, back to the start after it looked at the first bytes, is met by keeping the
// first bytes read until more than kReplayBytes have been read; any other seek fails (cause 9).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "filestream/platform_file.h"

class StdioFile : public IPlatformFile {
  public:
    static constexpr std::int32_t kReplayBytes = 64 * 1024;

    // Told the bytes read from standard input so far after each read from it. Returning false
    // ends the input there, as if it had ended (a caller that stops on a signal).
    using ReadObserver = std::function<bool(std::uint64_t bytesRead)>;

    explicit StdioFile(ReadObserver observer = {}) : observer_(std::move(observer)) {}

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override;
    bool IsDrained() const override;
    void Close() override;
    void Abort() noexcept override { open_ = false; }
    void AbortAndRemove() noexcept override { open_ = false; }
    bool IsOpen() const override { return open_; }

  private:
    [[noreturn]] void Fail(int cause, int error) const;
    // Reads from the descriptor until count bytes came or the input ended.
    std::int32_t ReadDescriptor(unsigned char* destination, std::int32_t count);

    ReadObserver observer_;
    int fd_ = -1;
    bool open_ = false;
    bool writing_ = false;
    std::u16string name_;
    std::uint64_t position_ = 0;
    std::uint64_t fetched_ = 0;  // bytes taken from the descriptor
    bool ended_ = false;         // the descriptor has reported its end
    bool lengthKnown_ = false;
    std::uint64_t length_ = 0;
    bool replayable_ = true;             // replay_ holds every byte fetched so far
    std::vector<unsigned char> replay_;  // the first bytes fetched
};

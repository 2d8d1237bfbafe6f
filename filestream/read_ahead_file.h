#pragma once
// A platform file that reads ahead: reads are served from a buffer of its own that it fills in
// large transfers, so a caller asking for pieces of ten thousand bytes costs the system one read
// per quarter megabyte rather than one read and one length query per piece. The buffer is small
// enough to stay in the processor's second-level cache between the system's copy into it and the
// caller's copy out of it. Writes, seeks and the rest
// pass through, after the read-ahead is dropped and the file underneath moved back to the
// caller's position.
//
// The transfers start at kFirstChunk bytes and double up to kMaxChunk: a small file costs no
// more than before, and the first quarter megabyte of a file still comes in several reads, so an
// input that changes early in a run is seen to change as it did without the read-ahead (a shrunk
// input ends early, and the caller compares where it ended with the length it opened). A request
// larger than the current transfer is read straight into the caller's memory.
//
// IsDrained asks the file underneath only once the buffer is empty: a length query per transfer,
// not per piece.

#include <cstdint>
#include <memory>

#include "filestream/platform_file.h"

class ReadAheadFile : public IPlatformFile {
  public:
    static constexpr std::int32_t kFirstChunk = 64 * 1024;
    static constexpr std::int32_t kMaxChunk = 256 * 1024;

    explicit ReadAheadFile(std::unique_ptr<IPlatformFile> inner);
    ReadAheadFile(const ReadAheadFile&) = delete;
    ReadAheadFile& operator=(const ReadAheadFile&) = delete;
    ~ReadAheadFile() override = default;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override { return inner_->GetLength(); }
    bool IsDrained() const override { return index_ == fill_ && inner_->IsDrained(); }
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    std::uint32_t Permissions() const override { return inner_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { inner_->SetNewFilePermissions(bits); }

  private:
    // Forgets the read-ahead; the file underneath then stands beyond position_ by what it held.
    void Drop() noexcept;
    // Moves the file underneath back to position_ when the read-ahead left it further on.
    void Rewind();

    std::unique_ptr<IPlatformFile> inner_;
    std::unique_ptr<unsigned char[]> buffer_;  // kMaxChunk bytes, allocated on first use
    std::int32_t index_ = 0;                   // next byte to deliver
    std::int32_t fill_ = 0;                    // bytes valid in buffer_
    std::int32_t chunk_ = kFirstChunk;         // the next transfer's size
    std::uint64_t position_ = 0;               // the caller's position
};

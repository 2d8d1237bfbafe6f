#pragma once
// A platform file that overlaps its transfers with the caller's work: while the caller turns one
// piece into the next, a worker thread of the file's own writes the pieces already handed over
// (write-behind) or reads the pieces the caller is about to ask for (read-ahead).
//
// What the file underneath sees is what it would have seen without the overlap: the same
// transfers, of the same sizes, in the same order, one at a time. Only their timing changes.
// - Writes: each Write is copied into a small ring and returns; the worker passes the pieces on
//   in order. A failure is kept and thrown by the next call that needs the file (the next Write,
//   a Seek, a Read, GetLength or Close), and nothing handed over after the failed piece is
//   written. Close waits for every piece, then makes the file durable and closes it, so a
//   completed Close means every byte is on the file.
// - Reads: once the caller has read two full pieces of the same size in a row, the worker goes
//   on reading pieces of that size ahead, up to the ring's capacity. A read failure reaches the
//   caller when it asks for the piece that failed, after every piece read before it. A request of
//   another size, a Seek or a Write stops the read-ahead; bytes read ahead are delivered first.
//   Reading ahead is chosen when the file is made: it pays where a read blocks for long (a slow
//   device, a network source). On local files the system reads ahead by itself, and a second
//   thread would only move the bytes across processor cores once more.
// - Memory stays bounded: the ring holds a fixed number of pieces, and requests larger than a
//   piece limit bypass it.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "filestream/platform_file.h"

class PipelinedFile : public IPlatformFile {
  public:
    // Pieces in the ring; the sleeping side is woken once half of them are ready.
    static constexpr int kSlots = 64;
    // Smaller transfers (and larger ones) are made directly: too small to gain from the overlap,
    // or too large to copy.
    static constexpr std::int32_t kMinPiece = 4096;
    static constexpr std::int32_t kMaxPiece = 1 << 20;

    enum class Overlap { WritesOnly, ReadsAndWrites };

    explicit PipelinedFile(std::unique_ptr<IPlatformFile> inner,
                           Overlap overlap = Overlap::ReadsAndWrites);
    ~PipelinedFile() override;
    PipelinedFile(const PipelinedFile&) = delete;
    PipelinedFile& operator=(const PipelinedFile&) = delete;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override;
    bool IsDrained() const override;
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    std::uint32_t Permissions() const override { return inner_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { inner_->SetNewFilePermissions(bits); }

    IPlatformFile& Inner() { return *inner_; }

  private:
    // Idle: nothing queued, the worker asleep. ReadPaused: pieces read ahead are queued, the
    // worker reads no further.
    enum class Mode { Idle, WriteBehind, ReadAhead, ReadPaused };

    struct Piece {
        std::vector<unsigned char> bytes;
        std::int32_t size = 0;  // bytes held (writes) or received (reads)
        bool drainedAfter = false;
    };

    void WorkerLoop();
    bool StartWorker();
    // Joins the worker and forgets everything queued, kept or learnt about the read pattern.
    void StopWorker() noexcept;
    // Waits until every piece handed over is written; throws a write failure (which stays: every
    // later write and the close report it as well, since pieces after it were dropped).
    void FinishWrites() const;
    // Lets the transfer in progress finish and reads no further; the pieces read ahead stay.
    void PauseReadAhead() const;
    // Drops the pieces read ahead and moves the file underneath back to the caller's position.
    void DropReadAhead();
    void BeginReadAhead(std::int32_t size);
    std::int32_t ReadQueued(unsigned char* out, std::int32_t count, bool& ended);
    void NoteDirectRead(std::int32_t count, std::int32_t got);

    std::unique_ptr<IPlatformFile> inner_;
    const bool readAhead_;
    std::uint64_t position_ = 0;  // the caller's position

    // The read pattern, kept by the caller's thread.
    std::int32_t lastReadSize_ = 0;
    int fullReadsInRow_ = 0;
    int piecesInRow_ = 0;           // writes since the last read, seek or open
    bool lastDrained_ = false;      // drained state after the piece last taken from the ring
    std::int32_t frontOffset_ = 0;  // bytes already taken from the ring's front piece

    // Shared with the worker, under mutex_.
    mutable std::mutex mutex_;
    mutable std::condition_variable workerWake_;
    mutable std::condition_variable callerWake_;
    mutable Mode mode_ = Mode::Idle;
    std::vector<Piece> ring_;
    int head_ = 0;       // next piece to fill (writes: by the caller; reads: by the worker)
    int queued_ = 0;     // pieces filled and not yet taken; the oldest is head_ - queued_
    bool busy_ = false;  // the worker is between taking up a piece and publishing it
    bool workerWaiting_ = false;
    mutable bool callerWaiting_ = false;
    mutable bool flushing_ = false;  // the caller waits for every piece to be written
    bool ended_ = false;             // read-ahead met the end of the source
    bool stop_ = false;
    std::int32_t aheadSize_ = 0;
    std::exception_ptr failure_;
    bool writeFailed_ = false;
    std::thread worker_;
};

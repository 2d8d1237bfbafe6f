#pragma once
// A platform file that writes behind the caller: while the caller turns one piece into the next,
// a worker thread of the file's own writes the pieces already handed over, gathered into large
// transfers. A file opened for reading only is read ahead in large transfers once it is read
// piece after piece.
//
// What the file underneath sees is the same bytes in the same order, one transfer at a time.
// - Each Write is copied into a slot of a small ring and returns. Consecutive pieces share a
//   slot up to kGather bytes (a piece is never split), and the worker passes each full slot on in
//   one transfer, in order: the file underneath sees few large writes instead of many small ones,
//   and the caller takes the ring's lock once per slot, not once per piece. A caller that puts
//   its next piece where WriteRoom points saves that copy.
// - A failure is kept and thrown by the next call that needs the file (the next Write, a Seek, a
//   Read, GetLength, IsDrained or Close), and nothing handed over after the failed transfer is
//   written. The failure stays until the file is opened again or closed.
// - Every other call first hands over the slot being filled and waits until each piece handed
//   over is written, then works on the file underneath directly. Close makes the file durable and
//   closes it once every piece is written, so a completed Close means every byte is on the file.
// - Memory stays bounded: the ring holds a fixed number of slots, and transfers larger than a
//   slot bypass it. The first write of a file is made directly, so a file written in one piece
//   never starts the worker.
//
// Reads. A file opened for reading only, read twice in a row without a seek, is read ahead: the
// file underneath is asked for kReadAhead bytes at a time and the pieces are handed out of that
// buffer, so a file read in small pieces costs one system call per kReadAhead bytes, not one per
// piece. A piece is always what the file held when its transfer read it, as if read a moment
// earlier; a file that shrinks meanwhile is still caught, by the transfer that comes back short.
// The first reads go directly, so a small file never fills the buffer. A seek, a write or an
// open drops what is buffered and puts the file underneath back at the caller's position. One
// seek is answered from memory: back to the start of the first read since the open, when that
// read reached the end of the file and nothing was read since. A caller that looks at a small
// file's first bytes before it reads the file from the start (as a stream does to tell its
// encoding) then gets the same bytes again, the whole file as that transfer found it, without a
// second transfer: half of that file's reading.
//
// Threads. The file is used from one caller thread. The worker exists from the first write it
// takes up until Close, Abort or Open. Members marked "caller" are touched by the caller thread
// only; members marked "shared" only with mutex_ held. The file underneath is used by the worker
// for the slot it has taken up (busy_), and by the caller only while no slot is queued or taken
// up (after FinishWrites): the mutex orders the two. IsOpen and Permissions ask the file
// underneath at any time: they read nothing a write changes.

#include <atomic>
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
    // Slots in the ring, and the bytes a slot gathers before it is handed to the worker: few
    // enough system calls not to show, little enough for a slot to stay in the second-level
    // cache while it is filled and written. Larger transfers are made directly: too large to
    // copy.
    static constexpr int kSlots = 8;
    static constexpr std::int32_t kGather = 256 * 1024;
    static constexpr std::int32_t kMaxPiece = kGather;
    // The bytes a read-ahead transfer asks for: as a slot, few calls and a buffer that stays in
    // the second-level cache between the transfer and the pieces copied out of it.
    static constexpr std::int32_t kReadAhead = 256 * 1024;

    explicit PipelinedFile(std::unique_ptr<IPlatformFile> inner);
    ~PipelinedFile() override;
    PipelinedFile(const PipelinedFile&) = delete;
    PipelinedFile& operator=(const PipelinedFile&) = delete;

    void Open(std::u16string_view path, FileAccess access) override;
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void* source, std::int32_t count) override;
    // Lends a piece read ahead where it lies whole in the buffer; a piece that straddles a
    // refill is copied.
    std::int32_t ReadLent(void* destination, std::int32_t count,
                          const unsigned char*& lent) override;
    // Lends the free part of the slot being filled, once the worker runs and a piece of count
    // bytes would be gathered: a piece put there and written is not copied again.
    unsigned char* WriteRoom(std::int32_t count) override;
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override;
    // Asks the file underneath only once the position reaches the length it last reported: a
    // file read piece by piece then costs one length query, not one per piece. A file that
    // shrinks meanwhile is not missed: its next read comes back short.
    bool IsDrained() const override;
    void Close() override;
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    std::uint32_t Permissions() const override { return inner_->Permissions(); }
    void SetNewFilePermissions(std::uint32_t bits) override { inner_->SetNewFilePermissions(bits); }

  private:
    struct Slot {
        unsigned char* bytes = nullptr;  // kGather bytes of ringBytes_
        std::int32_t size = 0;
    };
    struct FreeBytes {
        void operator()(unsigned char* bytes) const noexcept;
    };

    void WorkerLoop();
    bool StartWorker();
    // Joins the worker and forgets everything queued, kept or read ahead.
    void StopWorker() noexcept;
    // Hands over the slot being filled and waits until every piece handed over is written, then
    // throws a kept failure. Const because the const queries need the file underneath to
    // themselves: it changes no byte of the file, only when the bytes reach it.
    void FinishWrites() const;
    // Counts the slot being filled in for the worker (waiting for room), unless it is empty.
    // Throws a kept failure. Called with the lock held.
    void HandOver(std::unique_lock<std::mutex>& lock) const;
    // Writes directly; a failure is kept as one written behind is.
    void WriteDirect(const void* source, std::int32_t count);
    void Queue(const void* source, std::int32_t count);
    // Makes ring_[head_] the caller's with room for count more bytes: hands the slot over when
    // the piece would not fit, and waits for a free slot when a new one is begun. Throws a kept
    // failure.
    void MakeRoom(std::int32_t count);
    // Hands out up to count bytes of the read-ahead buffer; returns how many.
    std::int32_t TakeAhead(unsigned char* out, std::int32_t count);
    // Makes the read-ahead buffer hold at least size bytes; it holds nothing yet.
    void ReserveAhead(std::int32_t size);
    // Fills the read-ahead buffer with the next transfer of the file underneath, from its start.
    void Refill();
    // Reads count bytes (fewer only at the end) through the read-ahead buffer.
    std::int32_t ReadAhead(unsigned char* out, std::int32_t count);
    // Forgets the read-ahead buffer's bytes and moves the file underneath back to the caller's
    // position.
    void DropReadAhead();

    std::unique_ptr<IPlatformFile> inner_;
    std::uint64_t position_ = 0;  // caller: the caller's position
    int piecesInRow_ = 0;         // caller: writes since the last open, read or seek
    bool readOnly_ = false;       // caller: opened for reading only, so it may be read ahead
    int readsInRow_ = 0;          // caller: reads since the last open, write or seek
    // caller: the read-ahead buffer (allocated on first use: kReadAhead bytes once it is
    // refilled, fewer while it only keeps a first read) and the part of it not yet handed out;
    // the file underneath stands at its end.
    std::unique_ptr<unsigned char[]> ahead_;
    std::int32_t aheadSize_ = 0;  // caller: the buffer's size
    std::int32_t aheadAt_ = 0;
    std::int32_t aheadEnd_ = 0;
    // caller: the first read since the open, while it is all that was read and it reached the
    // end: its bytes are kept at the start of the read-ahead buffer (kept_ of them, -1 when none),
    // from position keptFrom_.
    bool firstRead_ = false;
    std::int32_t kept_ = -1;
    std::uint64_t keptFrom_ = 0;
    // caller: the length the file underneath last reported; 0 after an open or a write
    mutable std::uint64_t knownLength_ = 0;

    // Synchronisation, usable from the const queries.
    mutable std::mutex mutex_;
    mutable std::condition_variable workerWake_;  // pieces to write, or stop
    mutable std::condition_variable callerWake_;  // room in the ring, all written, or a failure

    // The ring: the caller fills ring_[head_] and only then counts it in queued_; the worker
    // writes the oldest, ring_[head_ - queued_], and only then counts it out. A slot is touched
    // outside the mutex by the side that owns it by this rule. Sized before the worker starts.
    // Mutable: the const queries hand over the slot being filled.
    mutable std::vector<Slot> ring_;
    // caller: the slots' bytes, allocated with the ring. See AllocateRingBytes.
    std::unique_ptr<unsigned char[], FreeBytes> ringBytes_;
    mutable int head_ = 0;           // shared: next slot to fill
    mutable std::int32_t fill_ = 0;  // caller: bytes gathered in ring_[head_], which is the
                                     // caller's while this is not 0
    mutable int queued_ = 0;         // shared: slots filled and not yet written
    bool busy_ = false;              // shared: the worker is writing a slot it took from the ring
    bool stop_ = false;              // shared: the worker is to end
    std::exception_ptr failure_;     // shared: the write that failed, kept
    // Set with failure_: lets a Write that only gathers notice a failure without the lock.
    std::atomic<bool> failed_{false};
    std::thread worker_;  // caller
};

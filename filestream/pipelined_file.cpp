#include "filestream/pipelined_file.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace {
constexpr int kHalf = PipelinedFile::kSlots / 2;

int Wrap(int index) {
    return (index + PipelinedFile::kSlots) % PipelinedFile::kSlots;
}

// The ring's bytes in one block, null when there is no memory for it. The block asks for a huge
// page: every fresh page costs a fault on first touch, and in a virtual machine the 512 faults of
// the ring's 4 KiB pages take some 9 ms, as long as the transfers of 100 MB; one 2 MiB page costs
// one. The ask is a hint: where transparent huge pages are off, the ring works the same.
unsigned char* AllocateRingBytes() {
    constexpr std::size_t kBytes = std::size_t{PipelinedFile::kSlots} * PipelinedFile::kGather;
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static_assert(kBytes % kHugePage == 0);
    void* bytes = std::aligned_alloc(kHugePage, kBytes);
    if (bytes == nullptr) return nullptr;
#if defined(MADV_HUGEPAGE)
    ::madvise(bytes, kBytes, MADV_HUGEPAGE);
#endif
    return static_cast<unsigned char*>(bytes);
}
}  // namespace

void PipelinedFile::FreeBytes::operator()(unsigned char* bytes) const noexcept {
    std::free(bytes);
}

PipelinedFile::PipelinedFile(std::unique_ptr<IPlatformFile> inner) : inner_(std::move(inner)) {}

PipelinedFile::~PipelinedFile() {
    Abort();
}

bool PipelinedFile::StartWorker() {
    if (ring_.empty()) {
        ringBytes_.reset(AllocateRingBytes());
        if (!ringBytes_) return false;  // no memory for the ring: the transfers are made directly
        ring_.resize(kSlots);
        for (int i = 0; i < kSlots; ++i) {
            ring_[static_cast<std::size_t>(i)].bytes =
                ringBytes_.get() + static_cast<std::size_t>(i) * kGather;
        }
    }
    try {
        worker_ = std::thread([this] { WorkerLoop(); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had: the transfers are made directly
    }
    return true;
}

void PipelinedFile::StopWorker() noexcept {
    if (worker_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        workerWake_.notify_one();
        worker_.join();
    }
    // No worker from here on: the shared members are the caller's alone.
    stop_ = false;
    head_ = queued_ = 0;
    fill_ = 0;
    busy_ = false;
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    piecesInRow_ = 0;
    aheadAt_ = aheadEnd_ = readsInRow_ = 0;
    firstRead_ = false;
    kept_ = -1;
}

void PipelinedFile::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        // After a failure nothing more reaches the file: the worker only waits to be stopped.
        if (queued_ == 0 || failure_) {
            workerWake_.wait(lock);
            continue;
        }
        Slot& slot = ring_[static_cast<std::size_t>(Wrap(head_ - queued_))];
        busy_ = true;
        lock.unlock();
        std::exception_ptr error;
        try {
            inner_->Write(slot.bytes, slot.size);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        busy_ = false;
        if (error) {
            failure_ = error;
            failed_.store(true, std::memory_order_relaxed);
            queued_ = 0;  // nothing after a failed transfer may reach the file
        } else {
            --queued_;
        }
        // What the caller may wait for: room (half the ring free), everything written, a failure.
        if (error || queued_ == kHalf || queued_ == 0) callerWake_.notify_one();
    }
}

void PipelinedFile::HandOver(std::unique_lock<std::mutex>& lock) const {
    if (failure_) std::rethrow_exception(failure_);
    if (fill_ == 0) return;
    ring_[static_cast<std::size_t>(head_)].size = fill_;
    fill_ = 0;
    head_ = Wrap(head_ + 1);
    // The worker sleeps only with nothing queued, so the count passes half on the way up; waking
    // it only then lets it write half a ring per wake.
    if (++queued_ == kHalf) workerWake_.notify_one();
    (void)lock;
}

void PipelinedFile::FinishWrites() const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
    HandOver(lock);
    if (queued_ > 0 || busy_) {
        workerWake_.notify_one();
        callerWake_.wait(lock, [this] { return queued_ == 0 && !busy_; });
    }
    if (failure_) std::rethrow_exception(failure_);
}

void PipelinedFile::WriteDirect(const void* source, std::int32_t count) {
    try {
        inner_->Write(source, count);
    } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::current_exception();
        failed_.store(true, std::memory_order_relaxed);
        throw;
    }
    position_ += static_cast<std::uint64_t>(count);
}

void PipelinedFile::MakeRoom(std::int32_t count) {
    if (fill_ > 0 && fill_ + count > kGather) {
        std::unique_lock<std::mutex> lock(mutex_);
        HandOver(lock);
    }
    if (fill_ == 0) {
        // A new slot: it is the caller's once the worker has written what it held before.
        std::unique_lock<std::mutex> lock(mutex_);
        if (queued_ == kSlots) {
            callerWake_.wait(lock, [this] { return queued_ <= kHalf || failure_; });
        }
        if (failure_) std::rethrow_exception(failure_);
    }
}

unsigned char* PipelinedFile::WriteRoom(std::int32_t count) {
    // A failure is left for the Write it belongs to.
    if (count <= 0 || count > kMaxPiece || !worker_.joinable() ||
        failed_.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    try {
        MakeRoom(count);
    } catch (...) {
        return nullptr;
    }
    return ring_[static_cast<std::size_t>(head_)].bytes + fill_;
}

void PipelinedFile::Queue(const void* source, std::int32_t count) {
    // A failure met behind the caller comes out of the next Write, even one that only gathers.
    if (failed_.load(std::memory_order_relaxed)) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (failure_) std::rethrow_exception(failure_);
    }
    MakeRoom(count);
    unsigned char* const at = ring_[static_cast<std::size_t>(head_)].bytes + fill_;
    // A piece put in the room lent for it is where it belongs already.
    if (source != at) std::memmove(at, source, static_cast<std::size_t>(count));
    fill_ += count;
    position_ += static_cast<std::uint64_t>(count);
    if (fill_ >= kGather) {
        std::unique_lock<std::mutex> lock(mutex_);
        HandOver(lock);
    }
}

std::int32_t PipelinedFile::TakeAhead(unsigned char* out, std::int32_t count) {
    const std::int32_t n = std::min(count, aheadEnd_ - aheadAt_);
    if (n > 0) std::memcpy(out, ahead_.get() + aheadAt_, static_cast<std::size_t>(n));
    aheadAt_ += n;
    return n;
}

void PipelinedFile::ReserveAhead(std::int32_t size) {
    if (aheadSize_ >= size) return;
    ahead_.reset(new unsigned char[static_cast<std::size_t>(size)]);
    aheadSize_ = size;
}

void PipelinedFile::Refill() {
    ReserveAhead(kReadAhead);
    aheadAt_ = aheadEnd_ = 0;
    aheadEnd_ = inner_->Read(ahead_.get(), kReadAhead);
}

std::int32_t PipelinedFile::ReadAhead(unsigned char* out, std::int32_t count) {
    std::int32_t got = TakeAhead(out, count);
    if (got == count) return got;
    // Emptied by this read after a transfer that came back short: that was the end of the file.
    if (got > 0 && aheadEnd_ < kReadAhead) return got;
    try {
        // The buffer is empty, so the file underneath stands at the caller's position.
        if (count - got >= kReadAhead) return got + inner_->Read(out + got, count - got);
        while (got < count) {
            Refill();
            got += TakeAhead(out + got, count - got);
            if (aheadEnd_ < kReadAhead) break;  // the end of the file
        }
    } catch (...) {
        // A failed read reads nothing: the bytes already handed out of the buffer are the
        // caller's to read again, so the file underneath goes back to the caller's position.
        aheadAt_ = aheadEnd_ = readsInRow_ = 0;
        inner_->Seek(static_cast<std::int64_t>(position_), SeekOrigin::Begin);
        throw;
    }
    return got;
}

void PipelinedFile::DropReadAhead() {
    readsInRow_ = 0;
    if (aheadAt_ == aheadEnd_) return;
    const std::int32_t unread = aheadEnd_ - aheadAt_;
    aheadAt_ = aheadEnd_ = 0;
    inner_->Seek(-static_cast<std::int64_t>(unread), SeekOrigin::Current);
}

void PipelinedFile::Open(std::u16string_view path, FileAccess access) {
    Abort();
    knownLength_ = 0;
    inner_->Open(path, access);
    readOnly_ = access == FileAccess::Read;
    firstRead_ = readOnly_;
    position_ = inner_->GetPosition();
}

void PipelinedFile::Write(const void* source, std::int32_t count) {
    if (count <= 0) return;
    DropReadAhead();
    knownLength_ = 0;
    const bool first = piecesInRow_++ == 0;
    const bool behind = count <= kMaxPiece && (worker_.joinable() || (!first && StartWorker()));
    if (behind) {
        Queue(source, count);
    } else {
        FinishWrites();
        WriteDirect(source, count);
    }
}

std::int32_t PipelinedFile::Read(void* destination, std::int32_t count) {
    FinishWrites();  // a read after writes reads what they wrote
    piecesInRow_ = 0;
    auto* out = static_cast<unsigned char*>(destination);
    const bool first = firstRead_;
    firstRead_ = false;
    const std::int32_t got = readOnly_ && (++readsInRow_ > 1 || aheadAt_ < aheadEnd_)
                                 ? ReadAhead(out, count)
                                 : inner_->Read(out, count);
    // Kept only when it reached the end of the file, so that the bytes read again are the whole
    // file as one transfer found it; and a small one, whose copy costs less than its transfer.
    // Shorter than a refill, the kept bytes end the buffer as a transfer that came back short.
    if (first && got > 0 && got < count && count <= kReadAhead) {
        ReserveAhead(got);
        std::memcpy(ahead_.get(), out, static_cast<std::size_t>(got));
        kept_ = got;
        keptFrom_ = position_;
    }
    position_ += static_cast<std::uint64_t>(got);
    return got;
}

std::int32_t PipelinedFile::ReadLent(void* destination, std::int32_t count,
                                     const unsigned char*& lent) {
    lent = nullptr;
    // Only a file read ahead lends: a read-only one, from its second read in a row on.
    if (!readOnly_ || readsInRow_ == 0 || count <= 0 || count >= kReadAhead) {
        return Read(destination, count);
    }
    // The buffer is empty, so the file underneath stands at the caller's position, and a failed
    // refill reads nothing.
    if (aheadAt_ == aheadEnd_) Refill();
    const std::int32_t held = aheadEnd_ - aheadAt_;
    // A piece cut off by the buffer's end, where the file goes on, is put together by a copy.
    if (held < count && aheadEnd_ == kReadAhead) return Read(destination, count);
    const std::int32_t n = std::min(count, held);
    if (n > 0) lent = ahead_.get() + aheadAt_;
    aheadAt_ += n;
    ++readsInRow_;
    piecesInRow_ = 0;
    position_ += static_cast<std::uint64_t>(n);
    return n;
}

bool PipelinedFile::IsDrained() const {
    if (aheadAt_ < aheadEnd_ || position_ < knownLength_) return false;
    FinishWrites();
    if (inner_->IsDrained()) return true;
    knownLength_ = inner_->GetLength();
    return false;
}

std::uint64_t PipelinedFile::Seek(std::int64_t offset, SeekOrigin origin) {
    FinishWrites();
    const std::int32_t kept = std::exchange(kept_, -1);
    if (kept >= 0 && readsInRow_ == 1 && origin == SeekOrigin::Begin &&
        static_cast<std::uint64_t>(offset) == keptFrom_) {
        // The file underneath stands where the kept bytes end: they are the buffer's now.
        aheadAt_ = 0;
        aheadEnd_ = kept;
        readsInRow_ = piecesInRow_ = 0;
        position_ = keptFrom_;
        return position_;
    }
    DropReadAhead();
    piecesInRow_ = 0;
    position_ = inner_->Seek(offset, origin);
    return position_;
}

std::uint64_t PipelinedFile::GetLength() const {
    FinishWrites();
    return inner_->GetLength();
}

void PipelinedFile::Close() {
    std::exception_ptr error;
    try {
        FinishWrites();
    } catch (...) {
        error = std::current_exception();
    }
    StopWorker();
    if (error) {
        inner_->Abort();
        std::rethrow_exception(error);
    }
    inner_->Close();
}

void PipelinedFile::Abort() noexcept {
    StopWorker();
    inner_->Abort();
}

void PipelinedFile::AbortAndRemove() noexcept {
    StopWorker();
    inner_->AbortAndRemove();
}

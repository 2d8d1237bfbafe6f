#include "filestream/pipelined_file.h"

#include <cstring>
#include <system_error>
#include <utility>

namespace {
constexpr int kHalf = PipelinedFile::kSlots / 2;

int Wrap(int index) {
    return (index + PipelinedFile::kSlots) % PipelinedFile::kSlots;
}
}  // namespace

PipelinedFile::PipelinedFile(std::unique_ptr<IPlatformFile> inner, Overlap overlap)
    : inner_(std::move(inner)), readAhead_(overlap == Overlap::ReadsAndWrites) {}

PipelinedFile::~PipelinedFile() {
    Abort();
}

bool PipelinedFile::StartWorker() {
    if (worker_.joinable()) return true;
    if (ring_.empty()) ring_.resize(kSlots);
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
    stop_ = false;
    mode_ = Mode::Idle;
    head_ = queued_ = 0;
    frontOffset_ = 0;
    ended_ = false;
    busy_ = false;
    failure_ = nullptr;
    writeFailed_ = false;
    fullReadsInRow_ = 0;
    piecesInRow_ = 0;
}

void PipelinedFile::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stop_) return;
        if (mode_ == Mode::WriteBehind && queued_ > 0 && !failure_) {
            Piece& piece = ring_[static_cast<std::size_t>(Wrap(head_ - queued_))];
            busy_ = true;
            lock.unlock();
            std::exception_ptr error;
            try {
                inner_->Write(piece.bytes.data(), piece.size);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            if (error) {
                failure_ = error;
                writeFailed_ = true;
                queued_ = 0;  // nothing after a failed piece may reach the file
            } else {
                --queued_;
            }
            if (callerWaiting_ && (failure_ || queued_ <= kHalf || flushing_)) {
                callerWake_.notify_one();
            }
            continue;
        }
        if (mode_ == Mode::ReadAhead && queued_ < kSlots && !ended_ && !failure_) {
            Piece& piece = ring_[static_cast<std::size_t>(head_)];
            const std::int32_t size = aheadSize_;
            busy_ = true;
            lock.unlock();
            std::exception_ptr error;
            std::int32_t got = 0;
            bool drained = false;
            try {
                if (piece.bytes.size() < static_cast<std::size_t>(size)) {
                    piece.bytes.resize(static_cast<std::size_t>(size));
                }
                got = inner_->Read(piece.bytes.data(), size);
                drained = inner_->IsDrained();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            if (error) {
                failure_ = error;
            } else {
                piece.size = got;
                piece.drainedAfter = drained;
                head_ = Wrap(head_ + 1);
                ++queued_;
                if (got < size || drained) ended_ = true;  // no read past the end
            }
            if (callerWaiting_ &&
                (failure_ || ended_ || queued_ >= kHalf || mode_ != Mode::ReadAhead)) {
                callerWake_.notify_one();
            }
            continue;
        }
        // Nothing to do until the caller hands over more.
        if (callerWaiting_) callerWake_.notify_one();
        workerWaiting_ = true;
        workerWake_.wait(lock);
        workerWaiting_ = false;
    }
}

void PipelinedFile::FinishWrites() const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (mode_ == Mode::WriteBehind) {
        flushing_ = true;
        workerWake_.notify_one();
        callerWaiting_ = true;
        callerWake_.wait(lock, [this] { return (queued_ == 0 && !busy_) || failure_; });
        // A failure leaves the worker idle: it takes up no piece once one has failed.
        callerWake_.wait(lock, [this] { return !busy_; });
        callerWaiting_ = false;
        flushing_ = false;
        mode_ = Mode::Idle;
    }
    if (writeFailed_) std::rethrow_exception(failure_);
}

void PipelinedFile::PauseReadAhead() const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (mode_ != Mode::ReadAhead) return;
    mode_ = Mode::ReadPaused;
    callerWaiting_ = true;
    callerWake_.wait(lock, [this] { return !busy_; });
    callerWaiting_ = false;
}

void PipelinedFile::DropReadAhead() {
    PauseReadAhead();
    if (mode_ != Mode::ReadPaused) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queued_ = 0;
        frontOffset_ = 0;
        ended_ = false;
        failure_ =
            nullptr;  // a failure the caller never reached belongs to bytes it never asked for
        mode_ = Mode::Idle;
    }
    fullReadsInRow_ = 0;
    piecesInRow_ = 0;
    if (inner_->GetPosition() != position_) {
        inner_->Seek(static_cast<std::int64_t>(position_), SeekOrigin::Begin);
    }
}

void PipelinedFile::Open(std::u16string_view path, FileAccess access) {
    Abort();
    inner_->Open(path, access);
    position_ = inner_->GetPosition();
}

void PipelinedFile::BeginReadAhead(std::int32_t size) {
    if (!StartWorker()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        mode_ = Mode::ReadAhead;
        aheadSize_ = size;
        ended_ = false;
        head_ = queued_ = 0;
        frontOffset_ = 0;
    }
    workerWake_.notify_one();
}

// Takes up to count bytes from the pieces read ahead, waiting for them while the read-ahead runs.
// A piece that came back short was the end of the source: the request ends with it.
std::int32_t PipelinedFile::ReadQueued(unsigned char* out, std::int32_t count, bool& ended) {
    std::int32_t got = 0;
    ended = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (got < count) {
        if (queued_ == 0) {
            if (mode_ != Mode::ReadAhead && failure_ == nullptr) break;
            if (failure_ == nullptr && !ended_) {
                callerWaiting_ = true;
                callerWake_.wait(lock, [this] {
                    return queued_ >= kHalf || ended_ || failure_ || mode_ != Mode::ReadAhead;
                });
                callerWaiting_ = false;
                continue;
            }
            if (failure_) {
                // The piece that failed is the one asked for now. The worker is idle.
                std::exception_ptr error = std::exchange(failure_, nullptr);
                mode_ = Mode::Idle;
                lock.unlock();
                fullReadsInRow_ = 0;
                piecesInRow_ = 0;
                position_ = inner_->GetPosition();
                std::rethrow_exception(error);
            }
            // The read-ahead met the end and everything it read was taken.
            mode_ = Mode::Idle;
            break;
        }
        Piece& piece = ring_[static_cast<std::size_t>(Wrap(head_ - queued_))];
        lock.unlock();
        const std::int32_t available = piece.size - frontOffset_;
        const std::int32_t take = available < count - got ? available : count - got;
        if (take > 0) {
            std::memcpy(out + got, piece.bytes.data() + frontOffset_,
                        static_cast<std::size_t>(take));
        }
        got += take;
        const bool whole = take == available;
        const bool shortPiece = piece.size < aheadSize_;
        lock.lock();
        if (whole) {
            frontOffset_ = 0;
            lastDrained_ = piece.drainedAfter;
            --queued_;
            if (workerWaiting_ && mode_ == Mode::ReadAhead && queued_ <= kHalf && !ended_) {
                workerWake_.notify_one();
            }
            if (shortPiece) {
                ended = true;
                break;
            }
        } else {
            frontOffset_ += take;
        }
    }
    // A failure ahead stays paused with it: the next request reaches the piece that failed.
    if (queued_ == 0 && mode_ == Mode::ReadPaused && failure_ == nullptr) mode_ = Mode::Idle;
    return got;
}

void PipelinedFile::NoteDirectRead(std::int32_t count, std::int32_t got) {
    if (!readAhead_) return;
    if (got != count || count < kMinPiece || count > kMaxPiece) {
        fullReadsInRow_ = 0;
        piecesInRow_ = 0;
        return;
    }
    fullReadsInRow_ = count == lastReadSize_ ? fullReadsInRow_ + 1 : 1;
    lastReadSize_ = count;
    // Two full pieces of one size in a row: the caller reads the file through, piece by piece.
    if (fullReadsInRow_ < 2) return;
    lastDrained_ = inner_->IsDrained();  // what the caller is told until it takes a piece
    if (!lastDrained_) BeginReadAhead(count);
}

std::int32_t PipelinedFile::Read(void* destination, std::int32_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    FinishWrites();  // a read after writes reads what they wrote
    piecesInRow_ = 0;
    if (mode_ == Mode::ReadAhead && count != aheadSize_) PauseReadAhead();
    std::int32_t got = 0;
    if (mode_ == Mode::ReadAhead || mode_ == Mode::ReadPaused) {
        bool ended = false;
        got = ReadQueued(out, count, ended);
        if (got == count || ended) {
            position_ += static_cast<std::uint64_t>(got);
            return got;
        }
    }
    // Nothing (more) read ahead: the rest comes straight from the file.
    const std::int32_t direct = inner_->Read(out + got, count - got);
    NoteDirectRead(count, got == 0 ? direct : -1);
    got += direct;
    position_ += static_cast<std::uint64_t>(got);
    return got;
}

bool PipelinedFile::IsDrained() const {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (queued_ > 0 && mode_ != Mode::WriteBehind) return false;  // bytes wait in the ring
        if (mode_ == Mode::ReadAhead || mode_ == Mode::ReadPaused) return lastDrained_;
    }
    FinishWrites();
    return inner_->IsDrained();
}

void PipelinedFile::Write(const void* source, std::int32_t count) {
    if (mode_ == Mode::ReadAhead || mode_ == Mode::ReadPaused) DropReadAhead();
    if (count <= 0) return;
    // A piece written directly fails as one written behind does: the failure stays.
    const auto writeDirect = [&] {
        try {
            inner_->Write(source, count);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            failure_ = std::current_exception();
            writeFailed_ = true;
            throw;
        }
        position_ += static_cast<std::uint64_t>(count);
    };
    const bool piece = count <= kMaxPiece;
    if (mode_ != Mode::WriteBehind) {
        if (writeFailed_) std::rethrow_exception(failure_);
        // A file written in one piece (a small one, written on close) needs no worker.
        const bool first = piecesInRow_++ == 0;
        if (!piece || count < kMinPiece || first || !StartWorker()) {
            writeDirect();
            return;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        mode_ = Mode::WriteBehind;
        head_ = queued_ = 0;
    }
    if (!piece) {
        FinishWrites();
        writeDirect();
        return;
    }

    std::unique_lock<std::mutex> lock(mutex_);
    if (queued_ == kSlots && !failure_) {
        callerWaiting_ = true;
        callerWake_.wait(lock, [this] { return queued_ <= kHalf || failure_; });
        callerWaiting_ = false;
    }
    if (failure_) std::rethrow_exception(failure_);
    Piece& slot = ring_[static_cast<std::size_t>(head_)];
    lock.unlock();
    if (slot.bytes.size() < static_cast<std::size_t>(count)) {
        slot.bytes.resize(static_cast<std::size_t>(count));
    }
    std::memcpy(slot.bytes.data(), source, static_cast<std::size_t>(count));
    slot.size = count;
    lock.lock();
    head_ = Wrap(head_ + 1);
    ++queued_;
    if (workerWaiting_ && queued_ >= kHalf) workerWake_.notify_one();
    lock.unlock();
    position_ += static_cast<std::uint64_t>(count);
}

std::uint64_t PipelinedFile::Seek(std::int64_t offset, SeekOrigin origin) {
    FinishWrites();
    DropReadAhead();
    fullReadsInRow_ = 0;
    piecesInRow_ = 0;
    position_ = inner_->Seek(offset, origin);
    return position_;
}

std::uint64_t PipelinedFile::GetLength() const {
    FinishWrites();
    PauseReadAhead();
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

#include "filestream/read_ahead_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

ReadAheadFile::ReadAheadFile(std::unique_ptr<IPlatformFile> inner) : inner_(std::move(inner)) {}

void ReadAheadFile::Drop() noexcept {
    index_ = fill_ = 0;
    chunk_ = kFirstChunk;
}

void ReadAheadFile::Rewind() {
    const bool ahead = index_ < fill_;
    Drop();
    if (ahead) inner_->Seek(static_cast<std::int64_t>(position_), SeekOrigin::Begin);
}

void ReadAheadFile::Open(std::u16string_view path, FileAccess access) {
    Drop();
    inner_->Open(path, access);
    position_ = inner_->GetPosition();
}

std::int32_t ReadAheadFile::Read(void* destination, std::int32_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    std::int32_t got = std::min(count, fill_ - index_);
    if (got > 0) {
        std::memcpy(out, buffer_.get() + index_, static_cast<std::size_t>(got));
        index_ += got;
    }
    while (got < count) {
        const std::int32_t needed = count - got;
        if (needed >= chunk_) {
            // Larger than a transfer: straight into the caller's memory. Fewer only at the end.
            got += inner_->Read(out + got, needed);
            break;
        }
        if (!buffer_) buffer_.reset(new unsigned char[kMaxChunk]);
        index_ = 0;
        fill_ = inner_->Read(buffer_.get(), chunk_);
        const bool end = fill_ < chunk_;
        chunk_ = std::min(chunk_ * 2, kMaxChunk);
        const std::int32_t n = std::min(needed, fill_);
        std::memcpy(out + got, buffer_.get(), static_cast<std::size_t>(n));
        index_ = n;
        got += n;
        if (end) break;  // a short transfer is the end of the source
    }
    position_ += static_cast<std::uint64_t>(got);
    return got;
}

void ReadAheadFile::Write(const void* source, std::int32_t count) {
    Rewind();
    inner_->Write(source, count);
    position_ += static_cast<std::uint64_t>(count);
}

std::uint64_t ReadAheadFile::Seek(std::int64_t offset, SeekOrigin origin) {
    if (origin == SeekOrigin::Current && index_ < fill_) {
        // Relative to the caller's position, not to where the read-ahead left the file.
        offset +=
            static_cast<std::int64_t>(position_) - static_cast<std::int64_t>(inner_->GetPosition());
    }
    Drop();
    position_ = inner_->Seek(offset, origin);
    return position_;
}

void ReadAheadFile::Close() {
    Drop();
    inner_->Close();
}

void ReadAheadFile::Abort() noexcept {
    Drop();
    inner_->Abort();
}

void ReadAheadFile::AbortAndRemove() noexcept {
    Drop();
    inner_->AbortAndRemove();
}

#include "filestream/file_stream.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <utility>

namespace {

constexpr std::int32_t kBufferSlack = 10000;  // a buffer is the first request plus this much
constexpr std::size_t kMaxDescription = 1023;

void ReportOpenFailure(const CFileException& error) {
    std::u16string description = error.Message();
    if (description.size() > kMaxDescription) description.resize(kMaxDescription);
    PresentMessage(u"File could not be opened: " + description, MessageButtons::OkCancel);
}

std::int64_t GrownSize(std::int32_t count) {
    return std::min<std::int64_t>(std::int64_t{count} + kBufferSlack,
                                  std::numeric_limits<std::int32_t>::max());
}

}  // namespace

CFileStream::CFileStream() : file_(MakePlatformFile()) {}

CFileStream::CFileStream(std::unique_ptr<IPlatformFile> file) : file_(std::move(file)) {
    if (!file_) file_ = MakePlatformFile();
}

CFileStream::~CFileStream() {
    if (isOpen_) {
        try {
            Close();
        } catch (const CFileException& error) {
            // Held bytes did not reach the file. Say so, unless an error is already on its way.
            if (std::uncaught_exceptions() == 0) {
                try {
                    NotifyUser(error.Message());
                } catch (...) {
                }
            }
        } catch (...) {
        }
    }
}

void CFileStream::Settle() {
    if (readCursor_ != nullptr) {
        const auto delivered = static_cast<std::int32_t>(readCursor_ - (bytes_ + bufferIndex_));
        bufferIndex_ += delivered;
        position_ += static_cast<std::uint64_t>(delivered);
    }
    if (writeCursor_ != nullptr) {
        const auto accepted = static_cast<std::int32_t>(writeCursor_ - (bytes_ + bufferIndex_));
        bufferIndex_ += accepted;
        bufferFill_ += accepted;
        position_ += static_cast<std::uint64_t>(accepted);
        if (position_ > length_) length_ = position_;
    }
    readCursor_ = readLimit_ = writeCursor_ = writeLimit_ = nullptr;
}

void CFileStream::Arm() {
    readCursor_ = readLimit_ = writeCursor_ = writeLimit_ = nullptr;
    if (!isOpen_ || buffer_ == nullptr) return;
    if (lastWasRead_ && !writePending_ && !atEnd_) {
        const std::int32_t available = bufferFill_ - bufferIndex_;
        if (available <= 0) return;
        std::uint64_t room = static_cast<std::uint64_t>(available);
        if (!lengthUnknown_) {
            // The read that reaches the length must take the slow path: it announces the end.
            room = std::min(room, length_ > position_ ? length_ - position_ : 0);
        }
        readCursor_ = bytes_ + bufferIndex_;
        readLimit_ = readCursor_ + room;
    } else if (writePending_ && !lastWasRead_ && !isUrl_ &&
               (openMode_ == ModeReadWrite || openMode_ == ModeCreate)) {
        writeCursor_ = bytes_ + bufferIndex_;
        writeLimit_ = bytes_ + bufferCapacity_;
    }
}

std::uint64_t CFileStream::GetPosition() const {
    std::uint64_t position = position_;
    if (readCursor_ != nullptr) {
        position += static_cast<std::uint64_t>(readCursor_ - (bytes_ + bufferIndex_));
    }
    if (writeCursor_ != nullptr) {
        position += static_cast<std::uint64_t>(writeCursor_ - (bytes_ + bufferIndex_));
    }
    return position;
}

std::uint64_t CFileStream::GetLength() const {
    return std::max(length_, GetPosition());
}

void CFileStream::Reallocate(std::int64_t size, bool keepHeld) {
    std::unique_ptr<Byte[]> block(new (std::nothrow) Byte[static_cast<std::size_t>(size)]);
    if (block == nullptr) NotifyUserAndExit(u"unable to allocate file buffer");
    if (keepHeld && bufferIndex_ > 0) {
        std::memcpy(block.get(), bytes_, static_cast<std::size_t>(bufferIndex_));
    }
    buffer_ = std::move(block);
    bytes_ = buffer_.get();
    bufferCapacity_ = static_cast<std::int32_t>(size);
}

void CFileStream::PassHeldBytes() {
    if (bufferFill_ > 0) file_->Write(bytes_, bufferFill_);
}

void CFileStream::ReplaceFileForLocalUse() {
    if (!fileIsUrlSource_) return;
    file_ = MakePlatformFile();
    fileIsUrlSource_ = false;
}

std::int32_t CFileStream::Open(std::u16string_view path, std::int32_t mode) {
    Settle();
    isUrl_ = 0;
    if (isOpen_) Close();
    hasHeldChar_ = false;
    lengthUnknown_ = false;
    ReplaceFileForLocalUse();
    openMode_ = mode;
    const FileAccess access = mode == ModeReadWrite ? FileAccess::ReadWrite
                              : mode == ModeCreate  ? FileAccess::CreateReadWrite
                                                    : FileAccess::Read;
    try {
        file_->SetNewFilePermissions(newFilePermissions_);
        file_->Open(path, access);
    } catch (const CFileException& error) {
        isOpen_ = 0;
        ReportOpenFailure(error);
        return 0;
    }

    bufferIndex_ = 0;
    bufferFill_ = 0;
    writePending_ = 0;
    position_ = 0;
    isOpen_ = 1;
    try {
        TakeFileLength();
        const bool empty = !lengthUnknown_ && file_->GetPosition() == length_;
        atEnd_ = sourceDrained_ = empty ? 1 : 0;
        if (mode == ModeCreate || empty) {
            textEncoding_ = TextSingleByte;
        } else {
            unsigned char probe[2] = {0, 0};
            const std::int32_t n = Read(probe, 2);
            textEncoding_ =
                (n == 2 && probe[0] == 0xFF && probe[1] == 0xFE) ? TextUtf16 : TextSingleByte;
            SeekAndReset(0, OriginBegin);
        }
        position_ = 0;
        TakeFileLength();
    } catch (const CFileException& error) {
        // The file opened but cannot be read: to the user this is a file that could not be opened.
        Settle();
        file_->Abort();
        isOpen_ = 0;
        bufferIndex_ = bufferFill_ = 0;
        ReportOpenFailure(error);
        return 0;
    }
    Arm();
    return 1;
}

void CFileStream::TakeFileLength() {
    // A pipe tells its length only once it has ended: until then the stream reads to the end
    // and counts the length as it goes, as for a URL source without one.
    const std::uint64_t reported = file_->GetLength();
    lengthUnknown_ = reported == kUnknownLength;
    length_ = lengthUnknown_ ? 0 : reported;
}

void CFileStream::MisusedInPlace() {
    NotifyUserAndExit(u"in-place count out of range");
}

std::int32_t CFileStream::ReadSlow(void* destination, std::int32_t count) {
    Settle();
    if (!isOpen_) NotifyUserAndExit(u"file not opened (read)");
    std::int32_t result = 0;
    if (!atEnd_ && count > 0) {
        if (writePending_) {
            PassHeldBytes();
            bufferIndex_ = bufferFill_ = 0;
            writePending_ = 0;
        }
        result = CountDelivered(TakeOrFetch(static_cast<unsigned char*>(destination), count));
    }
    Arm();
    return result;
}

std::int32_t CFileStream::TakeOrFetch(unsigned char* out, std::int32_t count) {
    const std::int32_t available = bufferFill_ - bufferIndex_;
    if (available > count) {
        std::memcpy(out, bytes_ + bufferIndex_, static_cast<std::size_t>(count));
        bufferIndex_ += count;
        return count;
    }
    // The buffer runs dry: hand out what it holds, then refill it, even where that already
    // completes the request (the next read then finds bytes waiting).
    if (available > 0) {
        std::memcpy(out, bytes_ + bufferIndex_, static_cast<std::size_t>(available));
    }
    bufferIndex_ = bufferFill_ = 0;
    if (sourceDrained_) {
        atEnd_ = 1;
        return available;
    }
    return Fetch(out, available, count);
}

std::int32_t CFileStream::Fetch(unsigned char* out, std::int32_t got, std::int32_t count) {
    // More than one buffer's worth is refilled in turn: a request larger than the preferred size
    // is met unless the source ends first.
    for (;;) {
        const bool replace = preferredBufferSize_ > 0 ? bufferCapacity_ != preferredBufferSize_
                                                      : count > bufferCapacity_;
        if (replace) {
            Reallocate(preferredBufferSize_ > 0 ? preferredBufferSize_ : GrownSize(count), false);
        }
        const std::int32_t needed = count - got;
        const unsigned char* lent = nullptr;
        const std::int32_t n = file_->ReadLent(buffer_.get(), bufferCapacity_, lent);
        // Lent bytes are only read: a write first empties the buffer and places it anew.
        bytes_ = lent != nullptr ? const_cast<Byte*>(reinterpret_cast<const Byte*>(lent))
                                 : buffer_.get();
        sourceDrained_ = file_->IsDrained() ? 1 : 0;
        if (n <= 0) {
            // Nothing came although more was expected (the file shrank): that is its end.
            atEnd_ = sourceDrained_ = 1;
            return got;
        }
        if (n >= needed) {
            bufferFill_ = n;
            std::memcpy(out + got, bytes_, static_cast<std::size_t>(needed));
            bufferIndex_ = needed;
            return count;
        }
        std::memcpy(out + got, bytes_, static_cast<std::size_t>(n));
        got += n;
        if (sourceDrained_) {
            atEnd_ = 1;
            return got;
        }
    }
}

std::int32_t CFileStream::CountDelivered(std::int32_t result) {
    lastWasRead_ = 1;
    writePending_ = 0;
    if (!lengthUnknown_ && openMode_ != ModeReadWrite && openMode_ != ModeCreate &&
        position_ + static_cast<std::uint64_t>(result) > length_) {
        // Reading ends at the length known at open: a file that grew meanwhile must not lend the
        // request that reaches the end bytes from beyond it. The end is set below.
        result = static_cast<std::int32_t>(position_ < length_ ? length_ - position_ : 0);
    }
    position_ += static_cast<std::uint64_t>(result);
    if (lengthUnknown_) {
        if (position_ > length_) length_ = position_;
    } else if (position_ >= length_) {
        atEnd_ = sourceDrained_ = 1;
    }
    return result;
}

void CFileStream::WriteSlow(const void* source, std::int32_t count) {
    Settle();
    if (!isOpen_) NotifyUserAndExit(u"file not opened (write)");
    if (isUrl_ || (openMode_ != ModeReadWrite && openMode_ != ModeCreate)) {
        NotifyUserAndExit(u"attempt to write to a file opened in read-only mode");
    }
    if (count > 0) Accept(static_cast<const unsigned char*>(source), count);
    Arm();
}

void CFileStream::Accept(const unsigned char* source, std::int32_t count) {
    if (lastWasRead_) {
        bufferIndex_ = bufferFill_ = 0;
        // With the read-ahead dropped, the file again holds bytes the buffer does not.
        sourceDrained_ = 0;
        // The read-ahead left the file beyond position; what is written belongs at position.
        if (file_->GetPosition() != position_) {
            file_->Seek(static_cast<std::int64_t>(position_), SeekOrigin::Begin);
        }
    }
    if (count > std::numeric_limits<std::int32_t>::max() - kBufferSlack) {
        // No buffer of count + 10000 bytes can be counted in 32 bits: pass the request on directly.
        PassHeldBytes();
        bufferIndex_ = bufferFill_ = 0;
        writePending_ = 0;
        file_->Write(source, count);
    } else {
        if (count > bufferCapacity_) Reallocate(GrownSize(count), true);
        if (std::int64_t{bufferIndex_} + count > bufferCapacity_) {
            PassHeldBytes();
            bufferIndex_ = bufferFill_ = 0;
        }
        if (bufferIndex_ == 0) {
            // The bytes last read may be lent. Held bytes go where the file would copy them.
            unsigned char* const room = file_->WriteRoom(bufferCapacity_);
            bytes_ = room != nullptr ? reinterpret_cast<Byte*>(room) : buffer_.get();
        }
        std::memcpy(bytes_ + bufferIndex_, source, static_cast<std::size_t>(count));
        bufferFill_ += count;
        bufferIndex_ += count;
        writePending_ = 1;
    }
    lastWasRead_ = 0;
    position_ += static_cast<std::uint64_t>(count);
    if (position_ > length_) length_ = position_;
}

void CFileStream::Close() {
    Settle();
    if (!isOpen_) NotifyUserAndExit(u"file not opened (close)");
    isOpen_ = 0;
    try {
        if (writePending_) PassHeldBytes();
    } catch (...) {
        bufferIndex_ = bufferFill_ = 0;
        writePending_ = 0;
        file_->Abort();
        throw;
    }
    bufferIndex_ = bufferFill_ = 0;
    writePending_ = 0;
    file_->Close();
}

void CFileStream::CloseAndRemove() noexcept {
    Settle();
    bufferIndex_ = bufferFill_ = 0;
    writePending_ = 0;
    isOpen_ = 0;
    file_->AbortAndRemove();
}

void CFileStream::SeekAndReset(std::int64_t offset, std::int32_t origin) {
    Settle();
    if (origin == OriginBegin) {
        const std::uint64_t at = file_->Seek(offset, SeekOrigin::Begin);
        if (offset < 0 || at != static_cast<std::uint64_t>(offset)) {
            NotifyUserAndExit(u"seek operation failed");
        }
    } else {
        file_->Seek(offset, SeekOrigin::End);
    }
    const std::uint64_t at = file_->GetPosition();
    atEnd_ = sourceDrained_ = at == file_->GetLength() ? 1 : 0;
    bufferIndex_ = bufferFill_ = 0;
    writePending_ = 0;
    position_ = at;
    hasHeldChar_ = false;
}

void CFileStream::SetPosition(std::int64_t offset, std::int32_t origin) {
    Settle();
    if (!isUrl_) MoveTo(offset, origin);
    Arm();
}

void CFileStream::MoveTo(std::int64_t offset, std::int32_t origin) {
    if (!isOpen_) NotifyUserAndExit(u"file not opened (set position)");
    std::int64_t requested = offset;
    if (origin != OriginBegin) {
        const auto length = static_cast<std::int64_t>(
            std::min<std::uint64_t>(length_, std::numeric_limits<std::int64_t>::max()));
        if (__builtin_add_overflow(length, offset, &requested)) {
            requested = offset < 0 ? std::numeric_limits<std::int64_t>::min()
                                   : std::numeric_limits<std::int64_t>::max();
        }
    }
    if (requested >= 0 && static_cast<std::uint64_t>(requested) == position_) return;
    if (writePending_) PassHeldBytes();
    if (requested < 0) NotifyUserAndExit(u"attempt to set a negative file position");
    if (static_cast<std::uint64_t>(requested) > file_->GetLength()) {
        NotifyUserAndExit(u"attempt to set file position past the end-of-file");
    }
    SeekAndReset(offset, origin);
}

void CFileStream::SetBufferSize(std::int32_t size) {
    preferredBufferSize_ = std::max<std::int32_t>(size, 0);
}

bool CFileStream::ReadOneChar(char16_t& c) {
    if (textEncoding_ == TextUtf16) {
        unsigned char pair[2] = {0, 0};
        const std::int32_t n = Read(pair, 2);
        c = static_cast<char16_t>(pair[0] | (pair[1] << 8));
        return n > 0;
    }
    unsigned char byte = 0;
    const std::int32_t n = Read(&byte, 1);
    c = byte;  // one byte is one character of the same value (Latin-1)
    return n > 0;
}

char16_t CFileStream::ReadChar() {
    char16_t c = 0;
    ReadOneChar(c);
    return c;
}

std::int32_t CFileStream::ReadLine(CTextBuffer& line) {
    if (!isOpen_) NotifyUserAndExit(u"file not opened (read)");
    if (atEnd_ && !hasHeldChar_) return 0;
    if (!lineArea_) lineArea_ = std::make_unique<char16_t[]>(kLineWorkArea);
    char16_t* area = lineArea_.get();
    std::int32_t used = 0;
    bool endedByReturn = false;
    for (;;) {
        char16_t c = 0;
        if (hasHeldChar_) {
            c = heldChar_;
            hasHeldChar_ = false;
        } else if (!ReadOneChar(c)) {
            break;  // the source ended where more was expected
        }
        if (c == u'\n') break;
        if (c == u'\r') {
            endedByReturn = true;
            break;
        }
        if (used == kMaxLine) {
            NotifyUser(u"text line too long");
            while (!atEnd_) ReadChar();
            break;
        }
        area[used++] = c;
        if (atEnd_) break;  // a last line without a break
    }
    if (endedByReturn && !atEnd_) {
        // A carriage return and line feed pair is one break. A lone carriage return is a break of
        // its own, and the character after it begins the next line.
        char16_t next = 0;
        if (ReadOneChar(next) && next != u'\n') {
            heldChar_ = next;
            hasHeldChar_ = true;
        }
    }
    area[used] = 0;
    line.Assign(area);
    return 1;
}

std::int32_t CFileStream::OpenUrl(const CTextBuffer& url) {
    Settle();
    isUrl_ = 1;
    if (isOpen_) {
        try {
            Close();
        } catch (...) {
            isUrl_ = 0;
            throw;
        }
    }
    hasHeldChar_ = false;
    std::unique_ptr<IPlatformFile> source;
    try {
        source = internetSession_.OpenUrl(url.Text());
    } catch (...) {
        isUrl_ = 0;
        isOpen_ = 0;
        throw;
    }
    file_ = std::move(source);
    fileIsUrlSource_ = true;
    bufferIndex_ = bufferFill_ = 0;
    writePending_ = 0;
    position_ = 0;
    isOpen_ = 1;
    const std::uint64_t reported = file_->GetLength();
    lengthUnknown_ = reported == kUnknownUrlLength;
    length_ = lengthUnknown_ ? 0 : reported;
    atEnd_ = sourceDrained_ = (!lengthUnknown_ && reported == 0) ? 1 : 0;
    Arm();
    return 1;
}

#pragma once
// CFileStream: the program's own buffered file. One buffer serves reading and writing; the stream
// keeps its own 64-bit length and position, opens with a numbered mode and reports its own
// failures: an open the platform refuses is explained to the user, and a misuse of the stream
// (reading, writing or closing it while it is not open, writing a read-only stream, a bad
// position) shows a short message and ends the process. Platform failures after a successful
// open are thrown as CFileException.
//
// Read and Write have an inline fast path: while the request fits the buffer they are a copy and
// a pointer bump. How that path and the rest of the stream share one state is described at the
// cursors below.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "filestream/file_error.h"
#include "filestream/internet_session.h"
#include "filestream/notify.h"
#include "filestream/platform_file.h"
#include "filestream/text_buffer.h"

class CFileStream {
  public:
    static constexpr std::int32_t ModeRead = 1;
    static constexpr std::int32_t ModeReadWrite = 2;
    static constexpr std::int32_t ModeCreate = 3;

    static constexpr std::int32_t TextUtf16 = 1;       // UTF-16 little-endian
    static constexpr std::int32_t TextSingleByte = 2;  // one byte per character

    static constexpr std::int32_t OriginBegin = 1;
    static constexpr std::int32_t OriginEnd = 2;

    // The work area of ReadLine: 100,000 characters of line, the terminator and one spare.
    static constexpr std::int32_t kLineWorkArea = 100002;
    static constexpr std::int32_t kMaxLine = 100000;

    CFileStream();
    // A stream on a platform file of the caller's choosing (tests).
    explicit CFileStream(std::unique_ptr<IPlatformFile> file);
    // Closes an open stream (held bytes reach the file); never throws.
    ~CFileStream();
    CFileStream(const CFileStream&) = delete;
    CFileStream& operator=(const CFileStream&) = delete;

    // 1: open. 0: the platform refused; the user has been told. ModeCreate writes a new file that
    // replaces what the path names only when Close succeeds; until then, and after a failure,
    // CloseAndRemove or a crash, the path keeps what it had.
    std::int32_t Open(std::u16string_view path, std::int32_t mode);
    // The permission bits ModeCreate gives a file that does not exist yet, limited by the umask
    // (0666 unless set). An existing file keeps its own.
    void SetNewFilePermissions(std::uint32_t bits) { newFilePermissions_ = bits; }
    // The permission bits of the open file.
    std::uint32_t GetPermissions() const { return file_->Permissions(); }

    // Bytes copied: count while enough remain, fewer where the end falls inside, then 0.
    std::int32_t Read(void* destination, std::int32_t count) {
        Byte* cursor = readCursor_;
        if (count > 0 && count < readLimit_ - cursor) {
            std::memcpy(destination, cursor, static_cast<std::size_t>(count));
            readCursor_ = cursor + count;
            return count;
        }
        return ReadSlow(destination, count);
    }

    void Write(const void* source, std::int32_t count) {
        Byte* cursor = writeCursor_;
        if (count == 1 && cursor < writeLimit_) {
            // A typed store, not a copy: it cannot alias the stream's own fields, so a caller's
            // loop of single bytes keeps the cursor in a register.
            *cursor = static_cast<Byte>(*static_cast<const unsigned char*>(source));
            writeCursor_ = cursor + 1;
            return;
        }
        if (count > 0 && count <= writeLimit_ - cursor) {
            std::memcpy(cursor, source, static_cast<std::size_t>(count));
            writeCursor_ = cursor + count;
            return;
        }
        WriteSlow(source, count);
    }

    // Exactly what count calls of Write(byte, 1) do, one per byte in order (the file receives
    // the same pieces), at the cost of a copy: for callers that emit bytes one by one but can
    // gather them first.
    void WriteSingleBytes(const void* source, std::int32_t count) {
        if (count > 0 && count <= writeLimit_ - writeCursor_) {
            std::memcpy(writeCursor_, source, static_cast<std::size_t>(count));
            writeCursor_ += count;
            return;
        }
        const auto* in = static_cast<const unsigned char*>(source);
        while (count > 0) {
            Byte* cursor = writeCursor_;
            const std::ptrdiff_t room = writeLimit_ - cursor;
            if (room <= 0) {
                WriteSlow(in, 1);
                ++in;
                --count;
                continue;
            }
            const auto n = static_cast<std::int32_t>(room < count ? room : count);
            std::memcpy(cursor, in, static_cast<std::size_t>(n));
            writeCursor_ = cursor + n;
            in += n;
            count -= n;
        }
    }

    // Exactly what count / unit calls of Write(piece, unit) do, one per piece of unit bytes in
    // order (the file receives the same pieces), at the cost of a copy. count is a multiple of
    // unit; unit is at least 1.
    void WriteUnits(const void* source, std::int32_t count, std::int32_t unit) {
        const auto* in = static_cast<const unsigned char*>(source);
        while (count > 0) {
            Byte* cursor = writeCursor_;
            const std::ptrdiff_t room = writeLimit_ - cursor;
            if (room < unit) {
                WriteSlow(in, unit);
                in += unit;
                count -= unit;
                continue;
            }
            const std::ptrdiff_t fit = room - room % unit;
            const auto n = static_cast<std::int32_t>(fit < count ? fit : count);
            std::memcpy(cursor, in, static_cast<std::size_t>(n));
            writeCursor_ = cursor + n;
            in += n;
            count -= n;
        }
    }

    // In-place access, for callers that transform bytes straight out of one stream's buffer into
    // another's: the same bytes, and the same transfers of the file, as the Read and Write calls
    // they stand for. ReadableInPlace gives the bytes reads can take without the stream asking
    // its file for more or announcing its end (0: the next read needs the slow path);
    // TakeInPlace(n) takes n of them, as Read calls of n bytes in all would.
    std::int32_t ReadableInPlace(const unsigned char*& bytes) const {
        const std::ptrdiff_t n = readLimit_ - readCursor_ - 1;  // the last one is the slow path's
        if (readCursor_ == nullptr || n <= 0) return 0;
        bytes = reinterpret_cast<const unsigned char*>(readCursor_);
        return static_cast<std::int32_t>(n);
    }
    void TakeInPlace(std::int32_t n) {
        if (n == 0) return;
        if (n < 0 || n >= readLimit_ - readCursor_) MisusedInPlace();
        readCursor_ += n;
    }
    // The room writes can fill without the stream passing bytes on (0: the next write needs the
    // slow path); PutInPlace(n) accepts the n bytes written at its start, as Write calls of those
    // bytes would.
    std::int32_t WritableInPlace(unsigned char*& bytes) const {
        if (writeCursor_ == nullptr) return 0;
        bytes = reinterpret_cast<unsigned char*>(writeCursor_);
        return static_cast<std::int32_t>(writeLimit_ - writeCursor_);
    }
    void PutInPlace(std::int32_t n) {
        if (n == 0) return;
        if (n < 0 || n > writeLimit_ - writeCursor_) MisusedInPlace();
        writeCursor_ += n;
    }

    // Passes held bytes to the file, makes them durable and closes. May throw CFileException;
    // the stream is closed afterwards either way.
    void Close();
    // After a failed run: drops held bytes and closes ignoring errors; a ModeCreate output is
    // dropped and its path keeps what it had. Never exits, never throws; also valid after Close()
    // threw.
    void CloseAndRemove() noexcept;

    // origin 1: from the start; any other: from the end. Does nothing on a URL source.
    void SetPosition(std::int64_t offset, std::int32_t origin);
    // The capacity that reading gives the buffer; 0: none.
    void SetBufferSize(std::int32_t size);
    // One character: two bytes little-endian in UTF-16 text, else one byte (Latin-1). 0 at the end.
    char16_t ReadChar();
    // 1: a line (without its break) is in line. 0: the stream was already at its end.
    std::int32_t ReadLine(CTextBuffer& line);
    // 1 once the URL source is open. Throws CInternetException when it cannot be opened; the
    // stream is then closed.
    std::int32_t OpenUrl(const CTextBuffer& url);

    std::uint64_t GetLength() const;
    // False for a source that could not tell its length at open (a pipe): GetLength then counts
    // the bytes read so far.
    bool IsLengthKnown() const { return !lengthUnknown_; }
    std::uint64_t GetPosition() const;
    bool IsOpen() const { return isOpen_ != 0; }
    bool IsAtEnd() const { return atEnd_ != 0; }
    bool IsUrl() const { return isUrl_ != 0; }
    std::int32_t GetTextEncoding() const { return textEncoding_; }
    std::int32_t GetOpenMode() const { return openMode_; }
    std::int32_t GetBufferCapacity() const { return bufferCapacity_; }
    std::int32_t GetBufferSize() const { return preferredBufferSize_; }

  private:
    // The buffer's byte type. char8_t, unlike unsigned char, does not alias other types: stores
    // into the buffer do not force the compiler to reload the cursors below.
    using Byte = char8_t;

    // The slow paths, and what they do once settled: ReadSlow takes bytes from the buffer, or
    // fetches them from the file once it runs dry, and counts them at the position.
    std::int32_t ReadSlow(void* destination, std::int32_t count);
    std::int32_t TakeOrFetch(unsigned char* out, std::int32_t count);
    std::int32_t Fetch(unsigned char* out, std::int32_t got, std::int32_t count);
    std::int32_t CountDelivered(std::int32_t result);
    void WriteSlow(const void* source, std::int32_t count);
    void Accept(const unsigned char* source, std::int32_t count);
    void MoveTo(std::int64_t offset, std::int32_t origin);
    [[noreturn]] static void MisusedInPlace();
    // Takes the platform file's length, or notes that it has none yet.
    void TakeFileLength();
    // Folds the cursors' advance into the counted fields and disarms them.
    void Settle();
    // Arms the cursors for the current state, where the next byte may take the fast path.
    void Arm();
    void PassHeldBytes();
    void Reallocate(std::int64_t size, bool keepHeld);
    void SeekAndReset(std::int64_t offset, std::int32_t origin);
    void ReplaceFileForLocalUse();
    bool ReadOneChar(char16_t& c);

    // One state, two forms. The counted fields below (bufferIndex_, bufferFill_, position_,
    // length_) hold the stream's state as of the last Settle(). While the fast path is armed, one
    // cursor also starts at buffer_ + bufferIndex_ and runs ahead of it: the stream's true state is
    // the counted fields advanced by the cursor's distance d from that start.
    // - A read cursor: d more bytes delivered (bufferIndex_ and position_ d larger).
    // - A write cursor: d more bytes accepted (bufferIndex_, bufferFill_ and position_ d larger,
    //   length_ at least position_).
    // The inline paths move only the cursors, within their limits, and the const queries add d
    // themselves. Every other member works on the counted fields alone: it begins with Settle(),
    // which folds d in and disarms, and ends with Arm() on each normal return while the stream
    // stays open. Arm() leaves a path disarmed (cursors null) wherever its next byte needs the
    // slow path: to change direction, refill or pass the buffer on, or announce the end. A call
    // that throws returns disarmed, so the next one takes the slow path.
    Byte* readCursor_ = nullptr;
    Byte* readLimit_ = nullptr;
    Byte* writeCursor_ = nullptr;
    Byte* writeLimit_ = nullptr;

    std::unique_ptr<Byte[]> buffer_;
    // Where the buffer's bytes are: in buffer_, or where the file lent them (bytes read, or room
    // for bytes to write). Placed anew by each refill and by each write into an empty buffer.
    Byte* bytes_ = nullptr;
    std::int32_t bufferCapacity_ = 0;
    std::int32_t bufferIndex_ = 0;
    std::int32_t bufferFill_ = 0;
    std::int32_t sourceDrained_ = 0;
    std::int32_t isUrl_ = 0;
    std::int32_t openMode_ = 0;
    std::int32_t lastWasRead_ = 0;
    std::int32_t writePending_ = 0;
    std::int32_t textEncoding_ = TextSingleByte;
    CInternetSession internetSession_;
    std::unique_ptr<IPlatformFile> file_;
    std::int32_t preferredBufferSize_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t position_ = 0;
    std::int32_t isOpen_ = 0;
    std::int32_t atEnd_ = 0;

    std::uint32_t newFilePermissions_ = 0666;
    bool fileIsUrlSource_ = false;  // file_ came from the internet session
    bool lengthUnknown_ = false;    // a URL source or pipe that announced no length
    bool hasHeldChar_ = false;      // ReadLine looked one character past a lone carriage return
    char16_t heldChar_ = 0;
    std::unique_ptr<char16_t[]> lineArea_;
};

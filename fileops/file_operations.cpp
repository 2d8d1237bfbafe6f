#include "fileops/file_operations.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cipher/cipher.h"
#include "fileops/file_format.h"
#include "fileops/run_signals.h"
#include "filestream/file_error.h"
#include "filestream/file_stream.h"

namespace {

constexpr std::u16string_view kEnterKey = u"Please enter a key or select 'Generate Key'";
constexpr std::u16string_view kInvalidKey = u"Invalid key format";
constexpr std::u16string_view kWeakKey =
    u"This key would leave data unencrypted. Please enter another key or select 'Generate Key'";
constexpr std::u16string_view kEncryptionComplete =
    u"Encryption complete. Please retain this key for future reference.";
constexpr std::u16string_view kDecryptionComplete = u"Decryption complete";
constexpr std::u16string_view kInputEmpty = u"The input file is empty";
constexpr std::u16string_view kNotEncrypted = u"This is not an encrypted file";

// The blocks taken from the input stream at a time: small enough to stay in the first-level cache.
constexpr std::int32_t kRunBytes = 64 * kBlockSize;

// The page values a run works with, copied at its start: a run started from one of its pumps reads
// the page again into the same fields.
struct RunInputs {
    std::u16string key;
    std::u16string inputPath;
    std::u16string outputPath;
};

// A close request of the window, or a termination signal that arrived during the run.
bool StopRequested(const IMainWindow& window) {
    return window.StopRequested() || CaughtRunSignal() != 0;
}

RunInputs TakeInputs(IMainWindow& window) {
    window.ReadPageFields();
    const PageFields& fields = window.Fields();
    return {fields.key, fields.inputFile, fields.outputFile};
}

// The key state of a key text that KeyRefusal accepted.
CipherState AcceptedState(std::u16string_view keyText) {
    return InitCipherState(ParseKeyText(keyText).digits);
}

RunResult Refused(IMainWindow& window, std::u16string_view message) {
    window.ShowMessage(message);
    return {RunOutcome::Refused, std::u16string(message)};
}

RunResult Ended(RunOutcome outcome) {
    return {outcome, {}};
}

std::u16string PercentText(std::int32_t percent) {
    const std::string digits = std::to_string(percent);
    std::u16string text(digits.begin(), digits.end());
    text += u" %";
    return text;
}

// Closes a stream whose error, if it has one, must not hide the one already being handled (or
// that cannot matter: a file that was only read).
void CloseQuietly(CFileStream& stream) noexcept {
    if (!stream.IsOpen()) return;
    try {
        stream.Close();
    } catch (...) {
    }
}

// Opens the output for a run over input, a new output no more open to others than its input.
// When it cannot be opened (the stream has said why), closes the input and returns false.
bool OpenOutput(CFileStream& input, std::u16string_view path, CFileStream& output) {
    output.SetNewFilePermissions(input.GetPermissions());
    if (output.Open(path, CFileStream::ModeCreate) != 0) return true;
    CloseQuietly(input);
    return false;
}

// The status row of one run: "Complete" with the whole-number percentage of the input counted
// so far. Every change is written to the page and followed by a pump; each refresh reports whether
// the run may go on (false once the window has asked to stop).
class StatusRow {
  public:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    StatusRow(IMainWindow& window, std::uint64_t inputLength)
        : window_(window), length_(static_cast<std::int64_t>(inputLength)) {
        if (length_ > 0) full_ = Percent(length_);
        nextChange_ = NextChange(0);
    }

    [[nodiscard]] bool Start() {
        window_.Fields().completeText = u"Complete";
        return Show(PercentText(0));
    }

    // Adds the bytes of a read made after a block was written. Called once per block, so the
    // percentage is worked out only when the count reaches the next value that changes it.
    [[nodiscard]] bool Count(std::int32_t bytes) {
        counted_ += bytes;
        if (counted_ < nextChange_) return true;
        std::int32_t percent = last_;
        if (counted_ > length_) {
            // A file that grew as it was read: the quotient goes past the whole.
            percent = Percent(counted_);
            nextChange_ = kNever;
        } else {
            // The highest percentage whose least count has been reached.
            do {
                nextChange_ = NextChange(++percent);
            } while (counted_ >= nextChange_);
        }
        if (percent == last_) return true;
        last_ = percent;
        return Show(PercentText(percent));
    }

    // Counts the reads of a run of blocks: `blocks` reads of a full block, then one of `tail`
    // bytes when tail is not 0; the same as one Count per read.
    [[nodiscard]] bool CountBlocks(std::int32_t blocks, std::int32_t tail) {
        while (blocks > 0) {
            // The reads that stay short of the next change are counted together.
            const std::int64_t quiet = std::min<std::int64_t>(
                blocks, std::max<std::int64_t>(0, nextChange_ - counted_ - 1) / kBlockSize);
            counted_ += quiet * kBlockSize;
            blocks -= static_cast<std::int32_t>(quiet);
            if (blocks == 0) break;
            if (!Count(kBlockSize)) return false;
            --blocks;
        }
        return tail == 0 || Count(tail);
    }

    [[nodiscard]] bool Finish() { return Show(u"100 %"); }

  private:
    // The percentage as the row shows it: the quotient in double precision, truncated.
    std::int32_t Percent(std::int64_t counted) const {
        return static_cast<std::int32_t>(static_cast<double>(counted) /
                                         static_cast<double>(length_) * 100.0);
    }

    // The count at which the percentage `now` changes: the least count of the next one.
    std::int64_t NextChange(std::int32_t now) const {
        return length_ <= 0 || now >= full_ ? kNever : LeastCount(now + 1);
    }

    // The least count whose percentage is at least `percent` (at most full_). The exact quotient
    // reaches it at `exact`. Up to the whole length the quotient in double precision is off the
    // exact one by less than 2^-45, and from 100 bytes to 2^45 an exact quotient that is not
    // whole is further than that from any whole number: both truncate alike, and only where the
    // exact quotient is `percent` itself must the division decide. (A batch of small files takes
    // a hundred of these a file; each took three divisions.) Outside that range the count is
    // found from `exact` by the division itself, since the percentage never falls as the count
    // grows.
    std::int64_t LeastCount(std::int32_t percent) const {
        std::int64_t exact = length_ / 100 * percent + (length_ % 100 * percent + 99) / 100;
        if (length_ >= 100 && length_ < (std::int64_t{1} << 45)) {
            if (length_ % 100 * percent % 100 != 0) return exact;
            return Percent(exact) >= percent ? exact : exact + 1;
        }
        exact = std::max<std::int64_t>(exact, 1);
        while (exact > 1 && Percent(exact - 1) >= percent) --exact;
        while (Percent(exact) < percent) ++exact;
        return exact;
    }

    bool Show(std::u16string text) {
        window_.Fields().complete = std::move(text);
        window_.WritePageFields();
        window_.PumpEvents();
        return !StopRequested(window_);
    }

    IMainWindow& window_;
    std::int64_t length_;
    std::int64_t counted_ = 0;
    std::int64_t nextChange_ = 0;  // the least count of the percentage after last_
    std::int32_t last_ = 0;
    std::int32_t full_ = 0;  // the percentage of the whole length
};

// Removes the output on every way out of a run that did not finish it: a stop, a file error, or
// anything else thrown from inside a pump.
class OutputGuard {
  public:
    explicit OutputGuard(CFileStream& output) : output_(output) {}
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
    ~OutputGuard() { Discard(); }

    void Keep() { armed_ = false; }
    void Discard() noexcept {
        if (armed_) output_.CloseAndRemove();
        armed_ = false;
    }

  private:
    CFileStream& output_;
    bool armed_ = true;
};

enum class TransferResult { Finished, Stopped };

// The block loop of both operations. The input is read in blocks of 16 bytes, the last one
// shorter, and every read after the first is counted on the status row. Each step takes several
// blocks at once, with the same bytes delivered, the same pieces asked of either file and the
// same counts as one read and one write per block:
// - in place, when the input's buffer holds whole blocks and the output's buffer has room for
//   them: inPlace(from, blocks, to) transforms them from one buffer straight into the other;
// - else through the run area: up to a run of bytes is read into it (a block only, when one side
//   just needs its buffer refilled or passed on) and copied(blocks, tail) transforms `blocks`
//   full blocks at its start, then a short block of `tail` bytes when tail is not 0.
template <typename InPlace, typename Copied>
TransferResult TransferRuns(CFileStream& input, CFileStream& output, StatusRow& row,
                            std::uint8_t* run, InPlace&& inPlace, Copied&& copied) {
    bool first = true;
    for (;;) {
        const unsigned char* from = nullptr;
        unsigned char* to = nullptr;
        const std::int32_t readable = input.ReadableInPlace(from);
        const std::int32_t writable = output.WritableInPlace(to);
        std::int32_t blocks = (readable < writable ? readable : writable) / kBlockSize;
        std::int32_t tail = 0;
        if (blocks > 0) {
            inPlace(from, blocks, to);
            input.TakeInPlace(blocks * kBlockSize);
            output.PutInPlace(blocks * kBlockSize);
        } else {
            const bool oneSide = readable >= kBlockSize || writable >= kBlockSize;
            const std::int32_t got = input.Read(run, oneSide ? kBlockSize : kRunBytes);
            if (got == 0) break;
            blocks = got / kBlockSize;
            tail = got % kBlockSize;
            copied(blocks, tail);
        }
        // The first block's read is not counted.
        bool goOn = true;
        if (!first) {
            goOn = row.CountBlocks(blocks, tail);
        } else if (blocks > 0) {
            goOn = row.CountBlocks(blocks - 1, tail);
        }
        if (!goOn) return TransferResult::Stopped;
        first = false;
        // A short block is the last: the stream is at its end.
        if (tail > 0) break;
    }
    // The read that found the end.
    return row.Count(0) ? TransferResult::Finished : TransferResult::Stopped;
}

// Runs the transfer of a run whose two files are open, closes both and ends the run: the status
// row's "100 %" and the completion message for a finished transfer; no output and no completion
// for a stopped one; the file's own error text and no output for a failed one.
template <typename Transfer>
RunResult FinishRun(IMainWindow& window, CFileStream& input, std::u16string_view inputPath,
                    CFileStream& output, std::uint64_t inputLength,
                    std::u16string_view completionText, Transfer&& transfer) {
    OutputGuard guard(output);
    StatusRow row(window, inputLength);
    try {
        if (!row.Start() || transfer(row) == TransferResult::Stopped) {
            CloseQuietly(input);
            return Ended(RunOutcome::Stopped);  // the guard removes the incomplete output
        }
        // An input that shrank while it was read ends before its length: the output is cut off.
        // A pipe has no length to fall short of.
        if (input.IsLengthKnown() && input.GetPosition() != inputLength) {
            throw CFileException(CFileException::EndOfFile, std::u16string(inputPath));
        }
        if (StopRequested(window)) {
            CloseQuietly(input);
            return Ended(RunOutcome::Stopped);  // asked after the last pump: no output
        }
        input.Close();
        output.Close();
    } catch (const CFileException& error) {
        CloseQuietly(input);
        guard.Discard();
        std::u16string message = error.Message();
        window.ShowMessage(message);
        return {RunOutcome::Failed, std::move(message)};
    }
    guard.Keep();
    // The output is complete on disk; a window closing during the last pump just gets no message.
    if (!row.Finish()) return Ended(RunOutcome::Completed);
    window.ShowCompletion(completionText);
    return {RunOutcome::Completed, std::u16string(completionText)};
}

}  // namespace

RunResult EncryptFile(IMainWindow& window) {
    const RunSignalScope signals;
    // A click that arrived while the window is closing.
    if (StopRequested(window)) return Ended(RunOutcome::Stopped);
    const RunInputs inputs = TakeInputs(window);
    if (const std::optional<std::u16string> refusal = KeyRefusal(inputs.key, true)) {
        return Refused(window, *refusal);
    }
    CipherState state = AcceptedState(inputs.key);

    CFileStream input;
    if (input.Open(inputs.inputPath, CFileStream::ModeRead) == 0) return Ended(RunOutcome::Failed);
    const std::uint64_t inputLength = input.GetLength();
    CFileStream output;
    if (!OpenOutput(input, inputs.outputPath, output)) return Ended(RunOutcome::Failed);

    return FinishRun(window, input, inputs.inputPath, output, inputLength, kEncryptionComplete,
                     [&](StatusRow& row) {
                         output.Write(&EncryptedFileMarker[0], 1);
                         output.Write(&EncryptedFileMarker[1], 1);
                         CipherRun run(state);
                         std::uint8_t plain[kRunBytes];
                         std::uint8_t stored[kRunBytes];
                         const auto inPlace = [&](const std::uint8_t* from, std::int32_t blocks,
                                                  std::uint8_t* to) {
                             run.EncryptBlocks(from, static_cast<std::size_t>(blocks), to);
                         };
                         const auto copied = [&](std::int32_t blocks, std::int32_t tail) {
                             const std::int32_t full = blocks * kBlockSize;
                             run.EncryptBlocks(plain, static_cast<std::size_t>(blocks), stored);
                             if (tail > 0) run.EncryptBlock(plain + full, tail, stored + full);
                             // The stored bytes go to the file one byte per write: the same pieces
                             // as single-byte writes, copied a run at a time.
                             output.WriteSingleBytes(stored, full + tail);
                         };
                         return TransferRuns(input, output, row, plain, inPlace, copied);
                     });
}

RunResult DecryptFile(IMainWindow& window) {
    const RunSignalScope signals;
    if (StopRequested(window)) return Ended(RunOutcome::Stopped);
    const RunInputs inputs = TakeInputs(window);
    if (const std::optional<std::u16string> refusal = KeyRefusal(inputs.key, false)) {
        return Refused(window, *refusal);
    }
    CipherState state = AcceptedState(inputs.key);

    CFileStream input;
    if (input.Open(inputs.inputPath, CFileStream::ModeRead) == 0) return Ended(RunOutcome::Failed);
    const std::uint64_t inputLength = input.GetLength();

    bool empty = false;
    bool accepted = true;
    try {
        std::uint8_t byte = 0;
        if (input.Read(&byte, 1) == 0) {
            empty = true;
            accepted = false;
        } else if (byte != EncryptedFileMarker[0] || input.Read(&byte, 1) == 0 ||
                   byte != EncryptedFileMarker[1]) {
            accepted = false;
        }
    } catch (const CFileException& error) {
        CloseQuietly(input);
        std::u16string message = error.Message();
        window.ShowMessage(message);
        return {RunOutcome::Failed, std::move(message)};
    }

    if (empty) {
        // An empty file is taken as an encrypted file with an empty body, after a warning.
        window.ShowMessage(kInputEmpty);
        if (StopRequested(window)) return Ended(RunOutcome::Stopped);
    } else if (!accepted) {
        CloseQuietly(input);
        return Refused(window, kNotEncrypted);
    }

    CFileStream output;
    if (!OpenOutput(input, inputs.outputPath, output)) return Ended(RunOutcome::Failed);

    return FinishRun(window, input, inputs.inputPath, output, inputLength, kDecryptionComplete,
                     [&](StatusRow& row) {
                         CipherRun run(state);
                         std::uint8_t stored[kRunBytes];
                         std::uint8_t restored[kRunBytes];
                         std::array<std::uint8_t, kBlockSize> restoreArea{};
                         const auto inPlace = [&](const std::uint8_t* from, std::int32_t blocks,
                                                  std::uint8_t* to) {
                             run.DecryptBlocks(from, static_cast<std::size_t>(blocks), to);
                         };
                         const auto copied = [&](std::int32_t blocks, std::int32_t tail) {
                             const std::int32_t full = blocks * kBlockSize;
                             run.DecryptBlocks(stored, static_cast<std::size_t>(blocks), restored);
                             // One write per restored block: the same pieces, copied a run at a
                             // time.
                             output.WriteUnits(restored, full, kBlockSize);
                             if (tail > 0) {
                                 run.DecryptBlock(stored + full, tail, restoreArea);
                                 output.Write(restoreArea.data(), tail);
                             }
                         };
                         return TransferRuns(input, output, row, stored, inPlace, copied);
                     });
}

std::optional<std::u16string> KeyRefusal(std::u16string_view keyText, bool encrypting) {
    const KeyParseResult parsed = ParseKeyText(keyText);
    switch (parsed.verdict) {
        case KeyVerdict::KeyEmpty:
            return std::u16string(kEnterKey);
        case KeyVerdict::KeyMalformed:
            return std::u16string(kInvalidKey);
        case KeyVerdict::KeyAccepted:
            break;
    }
    if (encrypting && LeavesDataInClear(InitCipherState(parsed.digits))) {
        return std::u16string(kWeakKey);
    }
    return std::nullopt;
}

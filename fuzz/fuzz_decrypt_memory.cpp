// The real Decrypt operation on arbitrary inputs with every file in memory (a FakeFile over a
// MemoryDisk, installed as the platform file of every stream), so that a run costs no system call
// and the fuzzer gets through millions of inputs: never a crash, a file without the marker is
// refused with nothing written, an accepted file gives an output of exactly its length less the
// marker, holding what the block transform restores, and the status row only counts up, from
// "0 %" to "100 %". fuzz_decrypt_file holds the same run on real files to this one, and takes the
// round trip through the Encrypt operation, which would triple the cost of a run here.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/cipher.h"
#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "fileops/run_signals.h"
#include "filestream/notify.h"
#include "filestream/platform_file.h"
#include "fuzz_support.h"
#include "support/fake_file.h"

namespace {

constexpr char16_t kKey[] = u"3F0A.91C2.7B44.E05D";
constexpr std::u16string_view kInput = u"in";
constexpr std::u16string_view kOutput = u"out";
constexpr std::u16string_view kDecryptDone = u"Decryption complete";

using File = std::vector<std::uint8_t>;

// The harness's own checks are no part of what is fuzzed: kept out of the coverage that guides it.
#define UNTRACED __attribute__((no_sanitize("coverage")))

UNTRACED bool Same(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// A window for millions of runs: the page is its own fields, the status row is checked as it is
// written, and the messages are kept in strings that keep their capacity from run to run, so that
// a run allocates nothing of its own. The stream's messages come here too.
class FuzzWindow : public IMainWindow, public IMessagePresenter {
  public:
    static constexpr std::size_t kMaxMessages = 4;

    PageFields& Fields() override { return page_; }
    void ReadPageFields() override {}
    // The status row goes from "0 %" to "100 %", only counting up in between.
    UNTRACED void WritePageFields() override {
        FUZZ_CHECK(Same(page_.completeText, u"Complete"), "the status label");
        FUZZ_CHECK(!finished_, "the status row changed after 100 %");
        const std::u16string& status = page_.complete;
        if (writes_++ == 0) {
            FUZZ_CHECK(Same(status, u"0 %"), "the status row must start at 0 %");
        } else if (Same(status, u"100 %")) {
            finished_ = true;
        } else {
            const int percent = PercentOf(status);
            FUZZ_CHECK(percent > previous_ && percent < 100, "the status row must only count up");
            previous_ = percent;
        }
    }
    void PumpEvents() override {}
    void ShowMessage(std::u16string_view text) override { Record(text, true); }
    void Present(std::u16string_view text, MessageButtons) override { Record(text, false); }

    // Puts a run's values on the page and forgets the last run.
    void Start(std::u16string_view key, std::u16string_view input, std::u16string_view output) {
        page_.key = key;
        page_.inputFile = input;
        page_.outputFile = output;
        page_.complete.clear();
        page_.completeText.clear();
        count_ = 0;
        writes_ = 0;
        previous_ = 0;
        finished_ = false;
    }
    // Whether the run showed exactly these messages, all the window's own.
    UNTRACED bool Showed(std::initializer_list<std::u16string_view> texts) const {
        if (count_ != texts.size() || !ownOnly_) return false;
        return std::equal(texts.begin(), texts.end(), messages_.begin(), Same);
    }
    // Whether the status row was written at all, and then went all the way to "100 %".
    bool StatusUntouched() const { return writes_ == 0; }
    bool StatusFinished() const { return writes_ >= 2 && finished_; }

  private:
    UNTRACED static int PercentOf(const std::u16string& status) {
        const std::size_t size = status.size();
        FUZZ_CHECK(size >= 3 && size <= 4 && status[size - 2] == u' ' && status[size - 1] == u'%',
                   "a status that is no percentage");
        int value = 0;
        for (std::size_t i = 0; i + 2 < status.size(); ++i) {
            FUZZ_CHECK(status[i] >= u'0' && status[i] <= u'9', "a status that is no percentage");
            value = value * 10 + (status[i] - u'0');
        }
        return value;
    }
    UNTRACED void Record(std::u16string_view text, bool own) {
        FUZZ_CHECK(count_ < kMaxMessages, "too many messages for one run");
        if (count_ == 0) ownOnly_ = true;
        ownOnly_ = ownOnly_ && own;
        messages_[count_++] = text;
    }

    PageFields page_;
    std::array<std::u16string, kMaxMessages> messages_;
    std::size_t count_ = 0;
    bool ownOnly_ = true;
    int writes_ = 0;
    int previous_ = 0;
    bool finished_ = false;
};

// What lives for the whole fuzzing run, made once: the disk, the window and its presenter role,
// and a signal scope around all runs, so that each run's own scope costs nothing.
struct Setup {
    Setup() {
        SetPlatformFileFactory([this] { return std::make_unique<FakeFile>(disk); });
        SetMessagePresenter(&window);
    }
    MemoryDisk disk;
    FuzzWindow window;
    RunSignalScope signals;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// The mask and the full block's emission order of every block of the key, worked out once, as far
// as the longest input so far needs: a block's state depends on the key and its number alone.
struct BlockKey {
    std::array<std::uint8_t, kBlockSize> mask;
    std::array<std::uint8_t, kBlockSize> order;
};

UNTRACED const BlockKey& KeyOfBlock(std::size_t index) {
    static std::vector<BlockKey> keys;
    static CipherState state = InitCipherState(ParseKeyText(kKey).digits);
    while (keys.size() <= index) {
        AdvanceCipherState(state);
        BlockKey& key = keys.emplace_back();
        key.mask = BlockMask(state);
        EmissionOrder(state.keyBytes, kBlockSize, key.order);
    }
    return keys[index];
}

// Whether output is the body restored block by block: stored byte j of a block is the masked
// plaintext byte at position order[j], where a short block's order is the full block's order with
// its missing positions left out.
UNTRACED bool RestoresBody(const std::uint8_t* body, std::size_t size, const File& output) {
    if (output.size() != size) return false;
    for (std::size_t at = 0; at < size; at += kBlockSize) {
        const std::size_t n = size - at < kBlockSize ? size - at : kBlockSize;
        const BlockKey& key = KeyOfBlock(at / kBlockSize);
        std::size_t j = 0;
        for (const std::uint8_t position : key.order) {
            if (position >= n) continue;
            if (output[at + position] != (body[at + j++] ^ key.mask[position])) return false;
        }
    }
    return true;
}

const File* Find(std::u16string_view path) {
    const MemoryDisk& disk = TheSetup().disk;
    const auto found = disk.files.find(path);
    return found == disk.files.end() ? nullptr : &found->second;
}

// Decrypts the input into the output. The output is removed again as the run ends, so that every
// run frees as much as it takes and libFuzzer has no leak to chase.
class DecryptRun {
  public:
    DecryptRun() : window(TheSetup().window) {
        window.Start(kKey, kInput, kOutput);
        DecryptFile(window);
        // The scope of Setup keeps Ctrl-C from ending the process: it only stops the run, which
        // would then fail its checks. End quietly instead.
        if (CaughtRunSignal() != 0) std::_Exit(130);
        output = Find(kOutput);
    }
    ~DecryptRun() {
        MemoryDisk& disk = TheSetup().disk;
        if (const auto made = disk.files.find(kOutput); made != disk.files.end()) {
            disk.files.erase(made);
        }
    }
    DecryptRun(const DecryptRun&) = delete;
    DecryptRun& operator=(const DecryptRun&) = delete;

    FuzzWindow& window;
    const File* output;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TheSetup().disk.files[std::u16string(kInput)].assign(data, data + size);
    const DecryptRun run;
    const FuzzWindow& window = run.window;
    const File* output = run.output;
    switch (JudgeEncryptedInput({data, size})) {
        case EncryptedInput::Empty:
            FUZZ_CHECK(window.Showed({u"The input file is empty", kDecryptDone}),
                       "an empty input must warn and then complete");
            FUZZ_CHECK(output != nullptr && output->empty(),
                       "an empty input must give an empty output");
            break;
        case EncryptedInput::NotEncrypted:
            FUZZ_CHECK(window.Showed({u"This is not an encrypted file"}),
                       "an unmarked input must be refused");
            FUZZ_CHECK(output == nullptr, "a refused input must not create the output");
            FUZZ_CHECK(window.StatusUntouched(), "a refused input must leave the status row");
            return 0;
        case EncryptedInput::Marked:
            FUZZ_CHECK(window.Showed({kDecryptDone}), "a marked input must decrypt");
            FUZZ_CHECK(output != nullptr && output->size() == size - EncryptedFileMarker.size(),
                       "the output must be the input's length less the marker");
            FUZZ_CHECK(RestoresBody(data + EncryptedFileMarker.size(),
                                    size - EncryptedFileMarker.size(), *output),
                       "the output differs from the restored blocks");
            break;
    }
    FUZZ_CHECK(window.StatusFinished(), "the status row must go from 0 % to 100 %");
    return 0;
}

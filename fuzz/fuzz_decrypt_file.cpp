// The real Decrypt operation on arbitrary files on the file system, through a headless window:
// never a crash, and the same messages, status row and output as the same run with every file in
// memory (a FakeFile over a MemoryDisk), which fuzz_decrypt_memory checks against the block
// transform. The same bytes also go through the real Encrypt operation and back, which must
// restore them exactly.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "filestream/platform_file.h"
#include "fuzz_support.h"
#include "support/fake_file.h"
#include "support/files.h"
#include "support/headless_window.h"
#include "support/operations.h"

namespace {

constexpr char16_t kFuzzKey[] = u"3F0A.91C2.7B44.E05D";

HeadlessWindow RunOperation(Op op, const std::string& input, const std::string& output) {
    HeadlessWindow window;
    window.SetPage(kFuzzKey, input, output);
    RunPresented(op, window);
    return window;
}

// The file's content, or nothing when it was not made.
std::optional<std::string> Content(const std::string& path) {
    return Exists(path) ? std::optional(ReadString(path)) : std::nullopt;
}

// Decrypt of data with every file in memory: the window, and the output the run left.
std::pair<HeadlessWindow, std::optional<std::string>> DecryptInMemory(const std::uint8_t* data,
                                                                      std::size_t size) {
    MemoryDisk disk;
    disk.files[u"in"].assign(data, data + size);
    SetPlatformFileFactory([&disk] { return std::make_unique<FakeFile>(disk); });
    HeadlessWindow window = RunOperation(Op::Decrypt, "in", "out");
    SetPlatformFileFactory({});
    const auto made = disk.files.find(u"out");
    if (made == disk.files.end()) return {window, std::nullopt};
    return {window, std::string(made->second.begin(), made->second.end())};
}

// What a run told: each message with its side and buttons, then each page's status row.
std::vector<std::u16string> Told(const HeadlessWindow& window) {
    std::vector<std::u16string> told;
    for (const HeadlessWindow::Message& m : window.messages) {
        told.push_back(m.text + u'|' + char16_t(u'0' + int(m.source)) +
                       char16_t(u'0' + int(m.buttons)));
    }
    for (const PageFields& page : window.pageWrites) {
        told.push_back(page.completeText + u'|' + page.complete);
    }
    return told;
}

// Encrypt the file, then decrypt the result: the plaintext must come back exactly.
void CheckRoundTrip(const std::string& plainPath, const std::string& plain,
                    const ScratchDir& folder) {
    const std::string encryptedPath = folder.File("encrypted");
    const std::string restoredPath = folder.File("restored");
    const HeadlessWindow encrypting = RunOperation(Op::Encrypt, plainPath, encryptedPath);
    FUZZ_CHECK(encrypting.MessageTexts() == std::vector<std::u16string>({kEncryptDone}),
               "encryption must complete");
    const std::string encrypted = Content(encryptedPath).value_or("");
    FUZZ_CHECK(encrypted.size() == EncryptedLength(plain.size()) &&
                   JudgeEncryptedInput({reinterpret_cast<const std::uint8_t*>(encrypted.data()),
                                        encrypted.size()}) == EncryptedInput::Marked,
               "the encrypted file must be the marker and the input's length in blocks");
    const HeadlessWindow decrypting = RunOperation(Op::Decrypt, encryptedPath, restoredPath);
    FUZZ_CHECK(decrypting.MessageTexts() == std::vector<std::u16string>({kDecryptDone}),
               "decryption of an encryption must complete");
    FUZZ_CHECK(Content(restoredPath) == plain, "decryption did not restore what was encrypted");
    ::unlink(encryptedPath.c_str());
    ::unlink(restoredPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchDir folder;
    const std::string inputPath = folder.File("input");
    const std::string outputPath = folder.File("output");
    WriteBytes(inputPath, std::string_view(reinterpret_cast<const char*>(data), size));
    ::unlink(outputPath.c_str());
    CheckRoundTrip(inputPath, std::string(reinterpret_cast<const char*>(data), size), folder);

    const HeadlessWindow window = RunOperation(Op::Decrypt, inputPath, outputPath);
    const auto [inMemory, memoryOutput] = DecryptInMemory(data, size);
    FUZZ_CHECK(Told(window) == Told(inMemory),
               "the run on files told other than the run in memory");
    FUZZ_CHECK(Content(outputPath) == memoryOutput,
               "the run on files left another output than the run in memory");
    ::unlink(outputPath.c_str());
    return 0;
}

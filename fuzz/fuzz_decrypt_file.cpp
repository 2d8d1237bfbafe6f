// The real Decrypt operation on arbitrary files, through a headless window: never a crash, a
// file without the marker is refused with nothing written, an accepted file gives an output of
// exactly its length minus the two marker bytes, holding what the block transform restores, and
// the status row only counts up, from "0 %" to "100 %". The same bytes also go through the real
// Encrypt operation and back, which must restore them exactly.

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/cipher.h"
#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "fuzz_support.h"
#include "support/files.h"
#include "support/headless_window.h"
#include "support/operations.h"

namespace {

constexpr char16_t kFuzzKey[] = u"3F0A.91C2.7B44.E05D";

int PercentOf(const std::u16string& status) {
    FUZZ_CHECK(status.size() >= 3 && status.ends_with(u" %"), "a status that is no percentage");
    int value = 0;
    for (std::size_t i = 0; i + 2 < status.size(); ++i) {
        FUZZ_CHECK(status[i] >= u'0' && status[i] <= u'9', "a status that is no percentage");
        value = value * 10 + (status[i] - u'0');
    }
    return value;
}

// What decrypting the body must give: the blocks of 16 (the last one shorter) restored in turn.
std::string ExpectedPlaintext(const std::uint8_t* body, std::size_t size) {
    CipherState state = InitCipherState(ParseKeyText(kFuzzKey).digits);
    std::array<std::uint8_t, 16> restored{};
    std::string plain;
    for (std::size_t at = 0; at < size; at += 16) {
        const int n = static_cast<int>(size - at < 16 ? size - at : 16);
        DecryptBlock(state, body + at, n, restored);
        plain.append(reinterpret_cast<const char*>(restored.data()), std::size_t(n));
    }
    return plain;
}

HeadlessWindow RunOperation(Op op, const std::string& input, const std::string& output) {
    HeadlessWindow window;
    window.SetPage(kFuzzKey, input, output);
    RunPresented(op, window);
    return window;
}

// Encrypt the file, then decrypt the result: the plaintext must come back exactly.
void CheckRoundTrip(const std::string& plainPath, const std::string& plain,
                    const ScratchDir& folder) {
    const std::string encryptedPath = folder.File("encrypted");
    const std::string restoredPath = folder.File("restored");
    const HeadlessWindow encrypting = RunOperation(Op::Encrypt, plainPath, encryptedPath);
    FUZZ_CHECK(encrypting.MessageTexts() == std::vector<std::u16string>({kEncryptDone}),
               "encryption must complete");
    const std::string encrypted = Exists(encryptedPath) ? ReadString(encryptedPath) : "";
    FUZZ_CHECK(encrypted.size() == EncryptedLength(plain.size()) &&
                   JudgeEncryptedInput({reinterpret_cast<const std::uint8_t*>(encrypted.data()),
                                        encrypted.size()}) == EncryptedInput::Marked,
               "the encrypted file must be the marker and the input's length in blocks");
    const HeadlessWindow decrypting = RunOperation(Op::Decrypt, encryptedPath, restoredPath);
    FUZZ_CHECK(decrypting.MessageTexts() == std::vector<std::u16string>({kDecryptDone}),
               "decryption of an encryption must complete");
    FUZZ_CHECK(Exists(restoredPath) && ReadString(restoredPath) == plain,
               "decryption did not restore what was encrypted");
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

    for (const HeadlessWindow::Message& message : window.messages) {
        FUZZ_CHECK(message.source == HeadlessWindow::Source::Window,
                   "the file stream complained about a readable file");
    }
    const std::vector<std::u16string> texts = window.MessageTexts();
    const bool outputExists = Exists(outputPath);
    const std::string output = outputExists ? ReadString(outputPath) : "";

    const EncryptedInput judged = JudgeEncryptedInput({data, size});
    if (judged == EncryptedInput::Empty) {
        FUZZ_CHECK(texts == std::vector<std::u16string>({u"The input file is empty", kDecryptDone}),
                   "an empty input must warn and then complete");
        FUZZ_CHECK(outputExists && output.empty(), "an empty input must give an empty output");
    } else if (judged == EncryptedInput::NotEncrypted) {
        FUZZ_CHECK(texts == std::vector<std::u16string>({u"This is not an encrypted file"}),
                   "an unmarked input must be refused");
        FUZZ_CHECK(!outputExists, "a refused input must not create the output");
        FUZZ_CHECK(window.pageWrites.empty(), "a refused input must leave the status row");
        return 0;
    } else {
        FUZZ_CHECK(texts == std::vector<std::u16string>({kDecryptDone}),
                   "a marked input must decrypt");
        FUZZ_CHECK(outputExists && output.size() == size - EncryptedFileMarker.size(),
                   "the output must be the input's length less the marker");
        FUZZ_CHECK(output == ExpectedPlaintext(data + EncryptedFileMarker.size(),
                                               size - EncryptedFileMarker.size()),
                   "the output differs from the restored blocks");
    }

    const std::vector<std::u16string> status = window.StatusValues();
    FUZZ_CHECK(status.size() >= 2 && status.front() == u"0 %" && status.back() == u"100 %",
               "the status row must go from 0 % to 100 %");
    int previous = 0;
    for (std::size_t i = 1; i + 1 < status.size(); ++i) {
        const int percent = PercentOf(status[i]);
        FUZZ_CHECK(percent > previous && percent < 100, "the status row must only count up");
        previous = percent;
    }
    FUZZ_CHECK(window.page.completeText == u"Complete", "the status label");
    ::unlink(outputPath.c_str());
    return 0;
}

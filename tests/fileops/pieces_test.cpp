// The operations against the plain loop. However the operations take their blocks (in place from
// the stream's buffer, or a run at a time), the encrypted file must be the marker and then each
// block transformed in turn, exactly as the plain loop writes it, decryption must give the
// plaintext back, and the files must be read and written in exactly the plain loop's pieces: one
// 16-byte read per block, then one write per stored byte (Encrypt) or per restored block (Decrypt).
// The plain loop also writes files with keys that Encrypt refuses, which Decrypt must take.
#include <memory>
#include <string>
#include <vector>

#include "cipher/cipher.h"
#include "filestream/file_stream.h"
#include "filestream/platform_file.h"
#include "support/fake_file.h"
#include "test_support.h"

namespace {

// The transfers of one file: "r<asked>=<got>", "w<count>" and "s<offset>", in order.
using Transfers = std::vector<std::string>;

class PiecesTest : public OperationTest, public ::testing::WithParamInterface<std::size_t> {
  protected:
    void SetUp() override {
        OperationTest::SetUp();
        SetPlatformFileFactory([logs = logs] {
            logs->push_back(std::make_shared<FileLog>());
            return std::make_unique<FakeFile>(logs->back());
        });
    }
    void TearDown() override {
        SetPlatformFileFactory({});
        OperationTest::TearDown();
    }

    // The transfers of every file opened since the last call.
    std::vector<Transfers> Take() {
        std::vector<Transfers> taken;
        for (const auto& log : std::exchange(*logs, {})) {
            if (log->opens > 0) taken.push_back(log->transfers);
        }
        return taken;
    }

    std::shared_ptr<std::vector<std::shared_ptr<FileLog>>> logs =
        std::make_shared<std::vector<std::shared_ptr<FileLog>>>();
};

CipherState KeyState(std::u16string_view key = kKey) {
    return InitCipherState(ParseKeyText(key).digits);
}

void PlainEncrypt(const fs::path& input, const fs::path& output, std::u16string_view key = kKey) {
    CFileStream in;
    CFileStream out;
    ASSERT_EQ(in.Open(input.u16string(), CFileStream::ModeRead), 1);
    ASSERT_EQ(out.Open(output.u16string(), CFileStream::ModeCreate), 1);
    out.Write(&EncryptedFileMarker[0], 1);
    out.Write(&EncryptedFileMarker[1], 1);
    CipherState state = KeyState(key);
    std::uint8_t block[16];
    std::uint8_t stored[16];
    for (;;) {
        const std::int32_t n = in.Read(block, 16);
        if (n == 0) break;
        EncryptBlock(state, block, n, stored);
        for (std::int32_t i = 0; i < n; ++i) out.Write(&stored[i], 1);
        if (n < 16) break;
    }
    in.Close();
    out.Close();
}

void PlainDecrypt(const fs::path& input, const fs::path& output) {
    CFileStream in;
    ASSERT_EQ(in.Open(input.u16string(), CFileStream::ModeRead), 1);
    std::uint8_t marker[2];
    ASSERT_EQ(in.Read(&marker[0], 1), 1);
    ASSERT_EQ(in.Read(&marker[1], 1), 1);
    CFileStream out;
    ASSERT_EQ(out.Open(output.u16string(), CFileStream::ModeCreate), 1);
    CipherState state = KeyState();
    std::uint8_t block[16];
    std::array<std::uint8_t, 16> area{};
    for (;;) {
        const std::int32_t n = in.Read(block, 16);
        if (n == 0) break;
        DecryptBlock(state, block, n, area);
        out.Write(area.data(), n);
        if (n < 16) break;
    }
    in.Close();
    out.Close();
}

TEST_P(PiecesTest, OperationsAskTheFilesForThePiecesOfTheBlockByBlockLoop) {
    const std::size_t length = GetParam();
    const Bytes plain = RandomBytes(length, static_cast<std::uint32_t>(length) * 3 + 1);
    WriteBytes(dir / "plain", plain);

    PlainEncrypt(dir / "plain", dir / "enc-plain");
    const std::vector<Transfers> encryptPlain = Take();
    window.SetPage(kKey, dir / "plain", dir / "enc");
    EXPECT_EQ(EncryptFile(window), (RunResult{RunOutcome::Completed, kEncryptDone}));
    const std::vector<Transfers> encrypt = Take();
    EXPECT_EQ(fs::file_size(dir / "enc"), EncryptedLength(length));
    EXPECT_EQ(ReadBytes(dir / "enc"), ReadBytes(dir / "enc-plain"));
    EXPECT_EQ(encrypt, encryptPlain);

    PlainDecrypt(dir / "enc", dir / "back-plain");
    const std::vector<Transfers> decryptPlain = Take();
    window.SetPage(kKey, dir / "enc", dir / "back");
    EXPECT_EQ(DecryptFile(window), (RunResult{RunOutcome::Completed, kDecryptDone}));
    const std::vector<Transfers> decrypt = Take();
    EXPECT_EQ(ReadBytes(dir / "back"), plain);
    EXPECT_EQ(decrypt, decryptPlain);
    // Length 0 too: the marker alone decrypts without the empty input's warning.
    EXPECT_EQ(window.MessageTexts(), (Texts{kEncryptDone, kDecryptDone}));
}

// Every length of a last block, and lengths around the block, the run of 64 blocks the operations
// take at a time and the stream's buffer (10,002 bytes read, 10,001 or 10,016 written at a time),
// where in-place spans end and pieces change.
INSTANTIATE_TEST_SUITE_P(Lengths, PiecesTest,
                         testing::Values(0, 1, 15, 16, 17, 22, 26, 27, 28, 29, 30, 40, 1023, 1024,
                                         1025, 1040, 1041, 2047, 2049, 9999, 10000, 10001, 10002,
                                         10003, 10016, 10017, 10021, 20003, 20004, 30016, 65543,
                                         100003, (1u << 20) + 9));

// Files that exist were written with whatever key the user had; decryption takes them all.
using WeakKeyTest = OperationTest;

TEST_F(WeakKeyTest, DecryptAcceptsKeysThatEncryptRefuses) {
    const Bytes body = RandomBytes(50, 4);
    WriteBytes(dir / "plain", body);
    for (const char16_t* key :
         {u"0000.0000.0000.0000", u"0000.0000.4ZBC.PL0D", u"7K2Q.M9XA.0000.0000",
          u"1000.0000.1000.0000", u"0000.000Z.0000.000Z"}) {
        PlainEncrypt(dir / "plain", dir / "enc", key);
        window.messages.clear();
        window.SetPage(key, dir / "enc", dir / "back");
        DecryptFile(window);
        EXPECT_EQ(ReadBytes(dir / "back"), body) << testing::PrintToString(key);
        EXPECT_EQ(window.MessageTexts(), Texts{kDecryptDone});
    }
}

}  // namespace

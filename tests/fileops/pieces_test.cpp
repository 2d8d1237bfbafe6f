// The pieces the operations ask of their files. However the operations take their blocks (in
// place from the stream's buffer, or a run at a time), the input must be read and the output
// written in exactly the pieces of the plain loop: one 16-byte read per block, then one write per
// stored byte (Encrypt) or per restored block (Decrypt).
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cipher/cipher.h"
#include "filestream/file_stream.h"
#include "filestream/platform_file.h"
#include "filestream/posix_file.h"
#include "test_support.h"

namespace {

// The transfers of one file: "r<asked>=<got>" and "w<count>", in order.
using Transfers = std::vector<std::string>;

class RecordingFile : public IPlatformFile {
  public:
    explicit RecordingFile(std::shared_ptr<std::vector<Transfers>> files)
        : files_(std::move(files)) {}

    void Open(std::u16string_view path, FileAccess access) override {
        real_.Open(path, access);
        files_->emplace_back();
        index_ = files_->size() - 1;
    }
    std::int32_t Read(void* destination, std::int32_t count) override {
        const std::int32_t got = real_.Read(destination, count);
        Log("r" + std::to_string(count) + "=" + std::to_string(got));
        return got;
    }
    void Write(const void* source, std::int32_t count) override {
        Log("w" + std::to_string(count));
        real_.Write(source, count);
    }
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        Log("s" + std::to_string(offset));
        return real_.Seek(offset, origin);
    }
    std::uint64_t GetPosition() const override { return real_.GetPosition(); }
    std::uint64_t GetLength() const override { return real_.GetLength(); }
    bool IsDrained() const override { return real_.IsDrained(); }
    void Close() override { real_.Close(); }
    void Abort() noexcept override { real_.Abort(); }
    void AbortAndRemove() noexcept override { real_.AbortAndRemove(); }
    bool IsOpen() const override { return real_.IsOpen(); }

  private:
    void Log(std::string entry) { (*files_)[index_].push_back(std::move(entry)); }

    PosixFile real_;
    std::shared_ptr<std::vector<Transfers>> files_;
    std::size_t index_ = 0;
};

class PiecesTest : public OperationTest, public ::testing::WithParamInterface<std::size_t> {
  protected:
    void SetUp() override {
        OperationTest::SetUp();
        SetPlatformFileFactory([files = files] { return std::make_unique<RecordingFile>(files); });
    }
    void TearDown() override {
        SetPlatformFileFactory({});
        OperationTest::TearDown();
    }

    // The transfers of every file opened since the last call.
    std::vector<Transfers> Take() { return std::exchange(*files, {}); }

    std::shared_ptr<std::vector<Transfers>> files = std::make_shared<std::vector<Transfers>>();
};

CipherState KeyState() {
    return InitCipherState(ParseKeyText(kKey).digits);
}

void PlainEncrypt(const fs::path& input, const fs::path& output) {
    CFileStream in;
    CFileStream out;
    ASSERT_EQ(in.Open(input.u16string(), CFileStream::ModeRead), 1);
    ASSERT_EQ(out.Open(output.u16string(), CFileStream::ModeCreate), 1);
    const std::uint8_t marker[2] = {0x7E, 0xF9};
    out.Write(&marker[0], 1);
    out.Write(&marker[1], 1);
    CipherState state = KeyState();
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
    SetPage(kKey, dir / "plain", dir / "enc");
    EncryptFile(window);
    const std::vector<Transfers> encrypt = Take();
    ASSERT_EQ(window.MessageTexts(), std::vector<std::u16string>{kEncryptDone});
    EXPECT_EQ(ReadBytes(dir / "enc"), ReadBytes(dir / "enc-plain"));
    EXPECT_EQ(encrypt, encryptPlain);

    PlainDecrypt(dir / "enc", dir / "back-plain");
    const std::vector<Transfers> decryptPlain = Take();
    SetPage(kKey, dir / "enc", dir / "back");
    DecryptFile(window);
    const std::vector<Transfers> decrypt = Take();
    EXPECT_EQ(ReadBytes(dir / "back"), plain);
    EXPECT_EQ(decrypt, decryptPlain);
}

// Lengths around the block, the run of blocks and the stream's buffer (10,002 bytes read,
// 10,001 or 10,016 written at a time), where in-place spans end and pieces change.
INSTANTIATE_TEST_SUITE_P(Lengths, PiecesTest,
                         testing::Values(0, 1, 15, 16, 17, 1024, 1025, 9999, 10000, 10001, 10002,
                                         10003, 10016, 10017, 20003, 20004, 30016, 100003,
                                         (1u << 20) + 9));

}  // namespace

// Runs that are refused: by the key, by the input's first bytes, or by the file stream's open.

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::u16string kEnterKey = u"Please enter a key or select 'Generate Key'";
const std::u16string kInvalid = u"Invalid key format";
const std::u16string kWeak =
    u"This key would leave data unencrypted. Please enter another key or select 'Generate Key'";

struct KeyCase {
    Op op;
    std::u16string key;
    std::u16string message;
};

class KeyRefusalTest : public OperationTest, public testing::WithParamInterface<KeyCase> {
  protected:
    void SetUp() override {
        OperationTest::SetUp();
        window.page.completeText = u"Complete";
        window.page.complete = u"42 %";
    }
    void ExpectNothingHappenedBut(const RunResult& result, const std::u16string& message) {
        EXPECT_EQ(result, (RunResult{RunOutcome::Refused, message}));
        EXPECT_EQ(window.MessageTexts(), Texts{message});
        EXPECT_EQ(window.messages[0].source, HeadlessWindow::Source::Window);
        EXPECT_TRUE(window.pageWrites.empty());
        EXPECT_EQ(window.pumps, 0);
        EXPECT_EQ(window.page.complete, u"42 %");
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
};

TEST_P(KeyRefusalTest, KeyIsJudgedBeforeAnyFileIsOpened) {
    const KeyCase& c = GetParam();
    window.SetPage(c.key, dir / "missing", dir / "out");  // the missing input draws no message
    ExpectNothingHappenedBut(RunOp(c.op, window), c.message);

    window.messages.clear();
    WriteBytes(dir / "in", Marked({1, 2, 3}));
    window.SetPage(c.key, dir / "in", dir / "out");
    ExpectNothingHappenedBut(RunOp(c.op, window), c.message);
    EXPECT_TRUE(NotHeldOpen(dir / "in"));
    // Judged up front for a batch, the key gets the same refusal.
    EXPECT_EQ(KeyRefusal(c.key, c.op == Op::Encrypt), c.message);
}

TEST(KeyRefusal, KeysTheOperationsTakeAreNotRefused) {
    EXPECT_EQ(KeyRefusal(kKey, true), std::nullopt);
    EXPECT_EQ(KeyRefusal(kKey + u" and more", false), std::nullopt);
    // Decryption takes every well-formed key, so existing files stay readable.
    EXPECT_EQ(KeyRefusal(u"0000.0000.0000.0000", false), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyRefusalTest,
    testing::Values(
        KeyCase{Op::Encrypt, u"", kEnterKey}, KeyCase{Op::Decrypt, u"", kEnterKey},
        // Which keys are malformed or weak is the cipher's rule (its tests); here, how they are
        // told, and that the text reaches the rule as typed: neither trimmed nor upper-cased.
        KeyCase{Op::Encrypt, u" ", kInvalid}, KeyCase{Op::Decrypt, u" ", kInvalid},
        KeyCase{Op::Encrypt, u"7k2Q.M9XA.4ZBC.PL0D", kInvalid},
        KeyCase{Op::Decrypt, u"7k2Q.M9XA.4ZBC.PL0D", kInvalid},
        KeyCase{Op::Encrypt, u"7K2Q.M9XA.0000.0000", kWeak},
        KeyCase{Op::Encrypt, u"0000.0000.0000.0000", kWeak},
        KeyCase{Op::Encrypt, u"0000.0000.0000.0000 and more", kWeak}));

class NotEncryptedTest : public OperationTest, public testing::WithParamInterface<Bytes> {};

TEST_P(NotEncryptedTest, RefusedBeforeTheOutputIsOpened) {
    WriteBytes(dir / "in", GetParam());
    const Bytes existing = RandomBytes(64, 8);
    WriteBytes(dir / "out", existing);
    window.SetPage(kKey, dir / "in", dir / "out");
    EXPECT_EQ(DecryptFile(window).outcome, RunOutcome::Refused);

    EXPECT_EQ(window.MessageTexts(), Texts{u"This is not an encrypted file"});
    EXPECT_EQ(JudgeEncryptedInput(GetParam()), EncryptedInput::NotEncrypted);
    EXPECT_EQ(ReadBytes(dir / "out"), existing);
    EXPECT_TRUE(window.pageWrites.empty());
    EXPECT_TRUE(NotHeldOpen(dir / "in"));
}

constexpr std::uint8_t kFirst = EncryptedFileMarker[0];
constexpr std::uint8_t kSecond = EncryptedFileMarker[1];
INSTANTIATE_TEST_SUITE_P(FirstBytes, NotEncryptedTest,
                         testing::Values(Bytes{0x41}, Bytes{kFirst}, Bytes{kSecond},
                                         Bytes{kSecond, kFirst, 0, 0}, Bytes{0x00, kSecond, 1},
                                         Bytes{kFirst, 0x00}, Bytes{kFirst, kSecond - 1, 1, 2, 3}));

class OpenFailureTest : public OperationTest, public testing::WithParamInterface<Op> {
  protected:
    void Prepare() {
        WriteBytes(dir / "in", Marked({1, 2, 3}));
        window.page.complete = u"42 %";
    }
    void ExpectOnlyTheStreamSpoke(const std::u16string& text) {
        ASSERT_EQ(window.MessageTexts(), Texts{u"File could not be opened: " + text});
        EXPECT_EQ(window.messages[0].source, HeadlessWindow::Source::Stream);
        EXPECT_EQ(window.messages[0].buttons, MessageButtons::OkCancel);
        EXPECT_TRUE(window.pageWrites.empty());
        EXPECT_EQ(window.page.complete, u"42 %");
    }
};

TEST_P(OpenFailureTest, MissingInputIsReportedByTheStreamAlone) {
    Prepare();
    window.SetPage(kKey, dir / "missing", dir / "out");
    EXPECT_EQ(RunOp(GetParam(), window), (RunResult{RunOutcome::Failed, {}}));
    ExpectOnlyTheStreamSpoke((dir / "missing").u16string() + u" was not found.");
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_P(OpenFailureTest, OutputInAMissingFolderLeavesTheInputClosed) {
    Prepare();
    window.SetPage(kKey, dir / "in", dir / "nowhere" / "out");
    RunOp(GetParam(), window);
    ExpectOnlyTheStreamSpoke((dir / "nowhere" / "out").u16string() + u" contains an invalid path.");
    EXPECT_TRUE(NotHeldOpen(dir / "in"));
}

INSTANTIATE_TEST_SUITE_P(BothOperations, OpenFailureTest, testing::Values(Op::Encrypt, Op::Decrypt),
                         [](const auto& info) { return std::string(OpName(info.param)); });

}  // namespace

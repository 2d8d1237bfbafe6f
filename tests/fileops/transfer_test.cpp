// A wrong key, an empty input, and the status row of complete runs. Old keys are the pieces
// test's, which writes their files the plain way.
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using TransferTest = OperationTest;

TEST_F(TransferTest, WrongKeyCompletesSilentlyWithWrongBytesOfTheRightLength) {
    const Bytes plain = RandomBytes(333, 5);
    WriteBytes(dir / "plain", plain);
    window.SetPage(kKey, dir / "plain", dir / "enc");
    EncryptFile(window);
    window.SetPage(kOtherKey, dir / "enc", dir / "back");
    DecryptFile(window);

    const Bytes back = ReadBytes(dir / "back");
    EXPECT_EQ(back.size(), plain.size());
    EXPECT_NE(back, plain);
    EXPECT_EQ(window.MessageTexts(), (Texts{kEncryptDone, kDecryptDone}));
}

TEST_F(TransferTest, ZeroByteInputIsWarnedAboutThenDecryptsToAnEmptiedOutput) {
    WriteBytes(dir / "enc", Bytes{});
    WriteBytes(dir / "back", RandomBytes(77, 3));
    window.SetPage(kKey, dir / "enc", dir / "back");
    DecryptFile(window);
    EXPECT_EQ(fs::file_size(dir / "back"), 0u);
    EXPECT_EQ(window.MessageTexts(), (Texts{u"The input file is empty", kDecryptDone}));
    EXPECT_EQ(window.StatusValues(), (Texts{u"0 %", u"100 %"}));
}

struct StatusCase {
    Op op;
    std::size_t bodyLength;  // decryption inputs get the marker in front
    Texts shown;
};

class StatusRowTest : public OperationTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(StatusRowTest, ShowsEachChangedPercentageOnceWithAPumpAfterEveryWrite) {
    const StatusCase& c = GetParam();
    const Bytes body = RandomBytes(c.bodyLength, 11);
    const Bytes input = c.op == Op::Decrypt ? Marked(body) : body;
    WriteBytes(dir / "in", input);
    window.page.completeText = u"old label";
    window.page.complete = u"old value";
    window.SetPage(kKey, dir / "in", dir / "out");
    RunOp(c.op, window);

    EXPECT_EQ(window.StatusValues(), c.shown);
    EXPECT_EQ(window.pumps, static_cast<int>(window.pageWrites.size()));
    for (const PageFields& written : window.pageWrites) {
        EXPECT_EQ(written.completeText, u"Complete");
        EXPECT_EQ(written.key, kKey);  // the other values go back as they were read
        EXPECT_EQ(written.inputFile, (dir / "in").u16string());
    }
    EXPECT_EQ(window.messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sequences, StatusRowTest,
                         testing::Values(StatusCase{Op::Encrypt, 0, {u"0 %", u"100 %"}},
                                         StatusCase{Op::Encrypt, 16, {u"0 %", u"100 %"}},
                                         StatusCase{Op::Encrypt, 17, {u"0 %", u"5 %", u"100 %"}},
                                         StatusCase{Op::Encrypt,
                                                    100,
                                                    {u"0 %", u"16 %", u"32 %", u"48 %", u"64 %",
                                                     u"80 %", u"84 %", u"100 %"}},
                                         StatusCase{Op::Decrypt, 0, {u"0 %", u"100 %"}},
                                         StatusCase{Op::Decrypt, 16, {u"0 %", u"100 %"}},
                                         StatusCase{Op::Decrypt, 32, {u"0 %", u"47 %", u"100 %"}}),
                         [](const testing::TestParamInfo<StatusCase>& info) {
                             return std::string(OpName(info.param.op)) +
                                    std::to_string(info.param.bodyLength);
                         });

// The row follows the quotient of the bytes counted after each written block, worked out here
// afresh for every block. At 800 bytes read, and at 798 decrypted, 464 bytes are exactly 58 %
// and the double-precision quotient falls just short of it.
TEST_F(TransferTest, StatusRowFollowsTheTruncatedQuotientForAnyLength) {
    std::vector<std::size_t> lengths = {798, 800};
    for (std::size_t length = 1; length < 700; length += 7) lengths.push_back(length);
    for (const std::size_t length : lengths) {
        for (const Op op : {Op::Encrypt, Op::Decrypt}) {
            const std::size_t fileLength = op == Op::Encrypt ? length : EncryptedLength(length);
            Texts expected = {u"0 %"};
            std::int64_t counted = 0;
            std::int32_t last = 0;
            for (std::size_t at = 16; at <= length; at += 16) {
                counted += static_cast<std::int64_t>(std::min<std::size_t>(16, length - at));
                const auto percent = static_cast<std::int32_t>(
                    static_cast<double>(counted) / static_cast<double>(fileLength) * 100.0);
                if (percent == last) continue;
                last = percent;
                const std::string text = std::to_string(percent) + " %";
                expected.emplace_back(text.begin(), text.end());
            }
            expected.push_back(u"100 %");

            Bytes input = op == Op::Decrypt ? Marked() : Bytes{};
            input.resize(fileLength, 0x55);
            WriteBytes(dir / "in", input);
            window.pageWrites.clear();
            window.SetPage(kKey, dir / "in", dir / "out");
            RunOp(op, window);
            EXPECT_EQ(window.StatusValues(), expected) << OpName(op) << " of " << length;
        }
    }
}

TEST_F(TransferTest, LargeFileRefreshesAtMostOncePerPercent) {
    WriteBytes(dir / "in", RandomBytes(3'000'017, 12));
    for (const Op op : {Op::Encrypt, Op::Decrypt}) {
        window.pageWrites.clear();
        window.SetPage(kKey, op == Op::Encrypt ? dir / "in" : dir / "enc",
                       op == Op::Encrypt ? dir / "enc" : dir / "back");
        RunOp(op, window);

        const Texts shown = window.StatusValues();
        ASSERT_EQ(shown.size(), 101u) << OpName(op);  // 0 % to 99 %, then 100 %
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const std::string expected = std::to_string(i) + " %";
            EXPECT_EQ(shown[i], std::u16string(expected.begin(), expected.end()));
        }
    }
}

}  // namespace

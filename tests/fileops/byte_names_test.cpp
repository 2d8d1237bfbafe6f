// Files whose names are bytes that are not UTF-8, named the way a command line hands them over.
#include <algorithm>
#include <string>
#include <vector>

#include "filestream/text_convert.h"
#include "test_support.h"

namespace {

struct NameCase {
    const char* label;
    std::string name;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.label;
}

class ByteNameTest : public OperationTest, public testing::WithParamInterface<NameCase> {};

TEST_P(ByteNameTest, RunsReachTheExactBytesAndNeverTheLookAlike) {
    const std::string folder = dir.Path().native() + "/";
    const std::string name = GetParam().name;
    // The same name with each stray byte read as U+FFFD: another file, which must stay untouched.
    const std::string lookAlike = Utf16ToUtf8(Utf8ToUtf16(name));
    ASSERT_NE(lookAlike, name);
    const Bytes plain = RandomBytes(100, 3);
    const Bytes other = RandomBytes(40, 4);
    WriteBytes(folder + name, plain);
    for (const char* suffix : {"", ".enc", ".back"}) WriteBytes(folder + lookAlike + suffix, other);

    const std::u16string input = PathFromOsBytes(folder + name);
    window.page.key = kKey;
    window.page.inputFile = input;
    window.page.outputFile = input + u".enc";
    EncryptFile(window);
    window.page.inputFile = input + u".enc";
    window.page.outputFile = input + u".back";
    DecryptFile(window);

    EXPECT_EQ(window.MessageTexts(), (std::vector<std::u16string>{kEncryptDone, kDecryptDone}));
    EXPECT_EQ(ReadBytes(folder + name + ".enc").size(), plain.size() + 2);
    EXPECT_EQ(ReadBytes(folder + name + ".back"), plain);
    std::vector<std::string> expected = {name,      name + ".enc",      name + ".back",
                                         lookAlike, lookAlike + ".enc", lookAlike + ".back"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir.Path()), expected);
    for (const char* suffix : {"", ".enc", ".back"}) {
        EXPECT_EQ(ReadBytes(folder + lookAlike + suffix), other) << suffix;
    }
}

INSTANTIATE_TEST_SUITE_P(Names, ByteNameTest,
                         testing::Values(NameCase{"Latin1", "caf\xE9.txt"},
                                         NameCase{"Latin1AfterUtf8", "r\xC3\xA9sum\xE9.doc"},
                                         NameCase{"LoneContinuations", "\x80\xBF data"},
                                         NameCase{"TruncatedThreeBytes", "report\xE2\x82"},
                                         NameCase{"TruncatedFourBytes", "\xF0\x9F\x94 notes"}),
                         [](const testing::TestParamInfo<NameCase>& info) {
                             return info.param.label;
                         });

}  // namespace

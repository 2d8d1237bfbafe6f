// Files whose names are bytes that are not UTF-8, named the way a command line hands them over.
#include <algorithm>
#include <string>
#include <vector>

#include "filestream/text_convert.h"
#include "test_support.h"

namespace {

using ByteNameTest = OperationTest;

// Which bytes decode to what is the path conversion's (its tests); here, one name with a Latin-1
// byte after UTF-8, lone continuation bytes and a truncated sequence shows that runs pass it on.
TEST_F(ByteNameTest, RunsReachTheExactBytesAndNeverTheLookAlike) {
    const std::string folder = dir.Path().native() + "/";
    const std::string name = "r\xC3\xA9sum\xE9 \x80\xBF report\xE2\x82";
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

    EXPECT_EQ(window.MessageTexts(), (Texts{kEncryptDone, kDecryptDone}));
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

}  // namespace

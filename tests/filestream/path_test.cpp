// Paths between the operating system's bytes and UTF-16: every byte string goes there and back
// exactly. Paths that no bytes decode to are refused at open (platform_test.cpp).

#include <random>
#include <string>

#include "filestream/text_convert.h"
#include "support.h"

namespace {

struct PathCase {
    const char* name;
    std::string bytes;
    std::u16string path;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

class PathBytesTest : public testing::TestWithParam<PathCase> {};

TEST_P(PathBytesTest, GoesThereAndBackExactly) {
    EXPECT_EQ(PathFromOsBytes(GetParam().bytes), GetParam().path);
    EXPECT_EQ(PathToOsBytes(GetParam().path), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PathBytesTest,
    testing::Values(PathCase{"Utf8", "/d/r\xC3\xA9sum\xC3\xA9 \xF0\x9F\x94\x92",
                             u"/d/r\u00e9sum\u00e9 \U0001F512"},
                    PathCase{"Latin1", "/d/caf\xE9.txt", u"/d/caf\xDCE9.txt"},
                    PathCase{"Latin1AfterUtf8", "\xC3\xA9\xE9", u"\u00e9\xDCE9"},
                    PathCase{"LoneContinuations", "\x80x\xBF", u"\xDC80x\xDCBF"},
                    PathCase{"TruncatedAtTheEnd", "a\xE2\x82", u"a\xDCE2\xDC82"},
                    PathCase{"TruncatedBeforeAscii", "\xF0\x9F\x94.doc", u"\xDCF0\xDC9F\xDC94.doc"},
                    PathCase{"Overlong", "\xC0\xAF", u"\xDCC0\xDCAF"},
                    PathCase{"EncodedSurrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
                    PathCase{"AboveUnicode", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
                    PathCase{"NeverInUtf8", "\xFE\xFF", u"\xDCFE\xDCFF"}),
    [](const testing::TestParamInfo<PathCase>& info) { return info.param.name; });

TEST(PathBytes, AnyBytesGoThereAndBack) {
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; ++i) {
        std::string bytes(rng() % 12, '\0');
        // Mostly bytes from 0x80 up, where the sequences and their faults are.
        for (char& b : bytes)
            b = static_cast<char>(rng() % 4 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
        ASSERT_EQ(PathToOsBytes(PathFromOsBytes(bytes)), bytes) << testing::PrintToString(bytes);
    }
}

}  // namespace

// Text lines, characters, positioning and CTextBuffer.

#include "support.h"

namespace {

using namespace std::string_literals;

// ---- CTextBuffer

TEST(TextBuffer, GrowsToHalfAgainPlusOneAndNeverShrinks) {
    struct Step {
        std::size_t length;
        std::uint32_t capacityAfter;
    };
    // Each step assigns a text of the given length to the same buffer.
    const Step steps[] = {{26, 40}, {39, 40}, {40, 61}, {3, 61}, {6666, 10000}, {9999, 10000}};
    CTextBuffer buffer;
    EXPECT_EQ(buffer.Capacity(), 0u);
    for (const Step& step : steps) {
        const std::u16string text(step.length, u'k');
        buffer.Assign(text.c_str());
        EXPECT_EQ(buffer.Capacity(), step.capacityAfter) << step.length;
        EXPECT_EQ(buffer.Length(), static_cast<std::int32_t>(step.length));
        EXPECT_EQ(std::u16string(buffer.Text()), text);
    }
}

TEST(TextBuffer, AssignTakesNullEmptyAndItsOwnText) {
    CTextBuffer buffer;
    EXPECT_EQ(std::u16string(buffer.Text()), u"");  // the shared empty text
    buffer.Assign(u"abc");
    buffer.Assign(nullptr);
    EXPECT_EQ(buffer.Length(), 0);
    EXPECT_EQ(buffer.Capacity(), 5u);  // the block stays
    EXPECT_EQ(std::u16string(buffer.Text()), u"");
    buffer.Assign(u"hello world");
    buffer.Assign(buffer.Text());
    EXPECT_EQ(std::u16string(buffer.Text()), u"hello world");
    buffer.Assign(buffer.Text() + 6);
    EXPECT_EQ(std::u16string(buffer.Text()), u"world");
    buffer.Assign(u"");
    EXPECT_EQ(std::u16string(buffer.Text()), u"");
}

TEST(TextBuffer, AppendTable) {
    struct Case {
        const char16_t* start;
        std::vector<const char16_t*> texts;  // up to ten, nulls allowed
        std::u16string expected;
    };
    const Case cases[] = {
        {u"", {u"ab"}, u"ab"},
        {u"x", {u"ab", nullptr, u"cd"}, u"xabcd"},
        {u"x", {nullptr, u"ignored"}, u"x"},
        {u"", {u"", u""}, u""},
        {u"1", {u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"0", u"!"}, u"1234567890!"},
    };
    for (const Case& c : cases) {
        CTextBuffer buffer;
        buffer.Assign(c.start);
        std::vector<const char16_t*> t = c.texts;
        t.resize(10, nullptr);
        buffer.Append(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9]);
        EXPECT_EQ(std::u16string(buffer.Text()), c.expected);
    }
    CTextBuffer self;
    self.Assign(u"ab");
    self.Append(self.Text(), self.Text());
    EXPECT_EQ(std::u16string(self.Text()), u"ababab");
}

using TextDeath = FileTest;
using ReadChar = FileTest;
using SetPosition = FileTest;

TEST_F(TextDeath, ATextTooLongForANewBufferEndsTheProcess) {
    const std::u16string text(6667, u'k');
    ExpectContractEnd([&] { CTextBuffer().Assign(text.c_str()); },
                      "^\\[ok\\] unable to allocate string buffer\n$");
    ExpectContractEnd(
        [&] {
            CTextBuffer buffer;
            buffer.Assign(std::u16string(6000, u'a').c_str());
            buffer.Append(std::u16string(4000, u'b').c_str());  // 10,000 would need 15,001
        },
        "unable to allocate string buffer");
}

// ---- ReadLine and ReadChar

struct LineCase {
    const char* name;
    std::string bytes;
    std::vector<std::u16string> lines;  // then ReadLine returns 0
};

class Lines : public FileTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Lines, SplitAsExpected) {
    const LineCase& c = GetParam();
    WriteBytes(path, c.bytes);
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
    CTextBuffer line;
    std::vector<std::u16string> got;
    while (stream.ReadLine(line) == 1) {
        got.emplace_back(line.Text());
        ASSERT_LE(got.size(), c.lines.size() + 1);
    }
    EXPECT_EQ(got, c.lines);
    line.Assign(u"untouched");
    EXPECT_EQ(stream.ReadLine(line), 0);
    EXPECT_EQ(std::u16string(line.Text()), u"untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Lines,
    ::testing::Values(LineCase{"CrLfThenLf", "ab\r\ncd\n", {u"ab", u"cd"}},
                      LineCase{"NoBreak", "abc", {u"abc"}}, LineCase{"LoneLf", "\n", {u""}},
                      LineCase{"TrailingCr", "a\r", {u"a"}}, LineCase{"Empty", "", {}},
                      LineCase{"BlankLines", "a\n\n\nb\n", {u"a", u"", u"", u"b"}},
                      LineCase{"LoneCrKeepsTheNextCharacter", "a\rb\n", {u"a", u"b"}},
                      LineCase{"LoneCrBeforeTheLastCharacter", "a\rb", {u"a", u"b"}},
                      LineCase{"CrCr", "a\r\rb", {u"a", u"", u"b"}},
                      LineCase{"CrLfCrLf", "a\r\n\r\nb", {u"a", u"", u"b"}},
                      LineCase{"Latin1Bytes", "caf\xE9\n\xFF", {u"caf\u00e9", u"\u00ff"}},
                      LineCase{"Utf16WithMark", "\xFF\xFE\x61\0\n\0"s, {u"\uFEFFa"}},
                      LineCase{
                          "Utf16CrLf", "\xFF\xFE\x61\0\r\0\n\0\x42\x26"s, {u"\uFEFFa", u"\u2642"}},
                      LineCase{"Utf16OddLastByte", "\xFF\xFE\x61\0b"s, {u"\uFEFFab"}},
                      // The first line grows the buffer to the most a line may take.
                      LineCase{"UpToTheBufferLimit",
                               std::string(6666, 'a') + "\n" + std::string(9999, 'b') + "\n",
                               {std::u16string(6666, u'a'), std::u16string(9999, u'b')}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TextDeath, LongLines) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string(6667, 'a') + "\n", "^\\[ok\\] unable to allocate string buffer\n$"},
        {std::string(100001, 'h') + "\nnext line\n",
         "^\\[ok\\] text line too long\n\\[ok\\] unable to allocate string buffer\n$"}};
    for (const auto& [content, expected] : cases) {
        WriteBytes(path, content);
        ExpectContractEnd(
            [&] {
                CFileStream stream;
                stream.Open(U16(path), CFileStream::ModeRead);
                CTextBuffer line;
                stream.ReadLine(line);
            },
            expected);
    }
}

TEST_F(ReadChar, SingleByteAndUtf16) {
    WriteBytes(path, "A\x80");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
    EXPECT_EQ(stream.ReadChar(), u'A');
    EXPECT_EQ(stream.ReadChar(), u'\u0080');
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(stream.ReadChar(), 0);
    WriteBytes(path, std::string("\xFF\xFE\x3D\xD8\x12\xDE", 6));
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
    EXPECT_EQ(stream.ReadChar(), u'\uFEFF');
    EXPECT_EQ(stream.ReadChar(), char16_t{0xD83D});
    EXPECT_EQ(stream.ReadChar(), char16_t{0xDE12});
    EXPECT_TRUE(stream.IsAtEnd());
}

// ---- SetPosition

TEST_F(SetPosition, TheCurrentPositionKeepsHeldBytesAnotherPassesThem) {
    auto log = std::make_shared<FileLog>();
    auto stream = LoggedStream(log);
    WriteBytes(path, "");  // written in place, so the file shows each piece as it lands
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeReadWrite), 1);
    stream->Write("abcdef", 6);
    stream->SetPosition(6, CFileStream::OriginBegin);
    EXPECT_TRUE(log->writes.empty());
    stream->SetPosition(2, CFileStream::OriginBegin);
    EXPECT_EQ(log->writes, std::vector<std::int32_t>{6});
    EXPECT_EQ(ReadString(path), "abcdef");
    EXPECT_EQ(stream->GetLength(), 6u);
    stream->Write("XY", 2);
    stream->SetPosition(0, CFileStream::OriginBegin);
    char buf[6];
    ASSERT_EQ(stream->Read(buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "abXYef");
}

using PositionDeath = FileTest;

TEST_F(PositionDeath, BadPositionsEndTheProcess) {
    WriteBytes(path, Pattern(40));
    struct Case {
        std::int64_t offset;
        std::int32_t origin;
        const char* message;
    };
    const Case cases[] = {
        {-1, CFileStream::OriginBegin, "attempt to set a negative file position"},
        {-41, CFileStream::OriginEnd, "attempt to set a negative file position"},
        {41, CFileStream::OriginBegin, "attempt to set file position past the end-of-file"},
        {1, CFileStream::OriginEnd, "attempt to set file position past the end-of-file"},
        {INT64_MAX, CFileStream::OriginEnd, "attempt to set file position past the end-of-file"},
    };
    for (const Case& c : cases) {
        ExpectContractEnd(
            [&] {
                CFileStream stream;
                stream.Open(U16(path), CFileStream::ModeRead);
                stream.SetPosition(c.offset, c.origin);
            },
            std::string("^\\[ok\\] ") + c.message + "\n$");
    }
    ExpectContractEnd([] { CFileStream().SetPosition(0, CFileStream::OriginBegin); },
                      "^\\[ok\\] file not opened \\(set position\\)\n$");
}

}  // namespace

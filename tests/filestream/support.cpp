#include "support.h"

#include <cstdio>

#include "filestream/text_convert.h"

void ExpectContractEnd(const std::function<void()>& body, const std::string& pattern) {
    static struct : IMessagePresenter {
        void Present(std::u16string_view text, MessageButtons buttons) override {
            const std::string line =
                std::string(buttons == MessageButtons::Ok ? "[ok] " : "[ok-cancel] ") +
                Utf16ToUtf8(text) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        }
    } presenter;
    EXPECT_EXIT((SetMessagePresenter(&presenter), body()), ::testing::ExitedWithCode(0), pattern);
}

std::u16string RefusalOf(const std::u16string& path, std::int32_t mode) {
    RecordingPresenter presenter;
    CFileStream stream;
    if (stream.Open(path, mode) != 0 || stream.IsOpen() || presenter.shown.size() != 1) return u"";
    EXPECT_EQ(presenter.shown[0].buttons, MessageButtons::OkCancel);
    return presenter.shown[0].text;
}

std::u16string SharingViolation(const std::string& path) {
    return u"File could not be opened: A sharing violation occurred while accessing " +
           Utf8ToUtf16(path) + u".";
}

std::u16string U16(const std::string& utf8) {
    return Utf8ToUtf16(utf8);
}
std::string U8(const std::u16string& utf16) {
    return Utf16ToUtf8(utf16);
}

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return s;
}

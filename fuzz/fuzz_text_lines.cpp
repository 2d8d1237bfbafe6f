// ReadLine and ReadChar over arbitrary bytes in both text encodings, with arbitrary preferred
// buffer sizes (so that refills fall anywhere, inside a character or a line break included):
// the characters and lines must be exactly those a direct reading of the bytes gives.
//
// Input: one flag byte, one buffer-size byte, then the file's bytes.
//   flag bit 0: the file starts with the UTF-16 byte-order mark FF FE (the body may also bring
//               one itself);
//   flag bit 1: read character by character with ReadChar instead of line by line.
//   buffer-size byte: 0 leaves the stream's own sizing, any other value is the preferred size.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filestream/file_stream.h"
#include "filestream/notify.h"
#include "filestream/text_buffer.h"
#include "fuzz_support.h"
#include "support/files.h"

namespace {

// Lines longer than this would outgrow the line's text buffer, which ends the process by design.
constexpr std::size_t kMaxBody = 6000;

class SilentPresenter : public IMessagePresenter {
  public:
    void Present(std::u16string_view text, MessageButtons) override { messages.emplace_back(text); }
    std::vector<std::u16string> messages;
};

// The characters of the file: little-endian pairs after a leading FF FE (the mark itself is the
// first character; a final odd byte is a character of its own value), else one per byte.
std::u16string Characters(const std::string& bytes, bool utf16) {
    std::u16string chars;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (utf16) {
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            const unsigned high = i + 1 < bytes.size() ? byte(i + 1) : 0;
            chars.push_back(static_cast<char16_t>(byte(i) | (high << 8)));
        }
    } else {
        for (std::size_t i = 0; i < bytes.size(); ++i) chars.push_back(byte(i));
    }
    return chars;
}

// The lines: LF, CR and CR LF each end a line; a last line without a break still counts, an
// empty one after the last break does not. A line is a terminated text, so it ends at a zero
// character.
std::vector<std::u16string> Lines(const std::u16string& chars) {
    std::vector<std::u16string> lines;
    std::u16string line;
    bool open = false;
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const char16_t c = chars[i];
        if (c == u'\n' || c == u'\r') {
            if (c == u'\r' && i + 1 < chars.size() && chars[i + 1] == u'\n') ++i;
            lines.push_back(line);
            line.clear();
            open = false;
            continue;
        }
        line.push_back(c);
        open = true;
    }
    if (open) lines.push_back(line);
    for (std::u16string& l : lines) {
        const std::size_t zero = l.find(u'\0');
        if (zero != std::u16string::npos) l.resize(zero);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size - 2 > kMaxBody) return 0;
    static const ScratchDir folder;
    const std::string path = folder.File("text");

    const bool withMark = (data[0] & 1) != 0;
    const bool byCharacter = (data[0] & 2) != 0;
    const std::int32_t bufferSize = data[1];
    std::string bytes = withMark ? std::string("\xFF\xFE") : std::string();
    bytes.append(reinterpret_cast<const char*>(data + 2), size - 2);
    WriteBytes(path, bytes);

    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    const std::u16string chars = Characters(bytes, utf16);

    SilentPresenter presenter;
    SetMessagePresenter(&presenter);
    {
        CFileStream stream;
        FUZZ_CHECK(stream.Open(fuzz::Widen(path), CFileStream::ModeRead) == 1, "open failed");
        FUZZ_CHECK(stream.GetTextEncoding() ==
                       (utf16 ? CFileStream::TextUtf16 : CFileStream::TextSingleByte),
                   "the text encoding probe");
        FUZZ_CHECK(stream.GetLength() == bytes.size(), "the length after open");
        if (bufferSize != 0) stream.SetBufferSize(bufferSize);

        if (byCharacter) {
            std::u16string got;
            while (!stream.IsAtEnd()) {
                FUZZ_CHECK(got.size() < chars.size(), "ReadChar went past the last character");
                got.push_back(stream.ReadChar());
            }
            FUZZ_CHECK(got == chars, "ReadChar delivered other characters");
        } else {
            const std::vector<std::u16string> expected = Lines(chars);
            CTextBuffer line;
            std::size_t count = 0;
            while (stream.ReadLine(line) == 1) {
                FUZZ_CHECK(count < expected.size(), "ReadLine delivered too many lines");
                FUZZ_CHECK(std::u16string(line.Text()) == expected[count], "a line differs");
                ++count;
            }
            FUZZ_CHECK(count == expected.size(), "ReadLine delivered too few lines");
            FUZZ_CHECK(stream.ReadLine(line) == 0, "a stream at its end delivered a line");
        }
        FUZZ_CHECK(stream.GetPosition() == bytes.size(), "the position at the end");
        stream.Close();
    }
    SetMessagePresenter(nullptr);
    FUZZ_CHECK(presenter.messages.empty(), "the stream complained about a readable file");
    ::unlink(path.c_str());
    return 0;
}

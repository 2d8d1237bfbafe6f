#include "filestream/text_convert.h"

namespace {

// The lone surrogates U+DC80 to U+DCFF carry the bytes 0x80 to 0xFF of a path that are not part
// of valid UTF-8; bytes below 0x80 are always valid.
constexpr char16_t kCarriedBytesBase = 0xDC00;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsCarriedByte(char32_t c) {
    return c >= kCarriedBytesBase + 0x80u && c <= kCarriedBytesBase + 0xFFu;
}

void AppendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// What becomes of a lone surrogate.
enum class LoneSurrogate { Refuse, Replace, CarryByte };

// Converts text; false when a lone surrogate is refused.
bool Convert(std::u16string_view text, std::string& out, LoneSurrogate lone) {
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (lone == LoneSurrogate::CarryByte && IsCarriedByte(c)) {
            out.push_back(static_cast<char>(c - kCarriedBytesBase));
            continue;
        } else if (IsSurrogate(c)) {
            if (lone != LoneSurrogate::Replace) return false;
            c = 0xFFFD;
        }
        AppendCodePoint(out, c);
    }
    return true;
}

// Decodes UTF-8; each byte that does not start a valid sequence becomes invalid(byte), and the
// decoding goes on with the next byte.
template <typename Invalid>
std::u16string Decode(std::string_view text, Invalid&& invalid) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            out.push_back(invalid(b0));
            ++i;
            continue;
        }
        bool ok = i + extra < text.size() + (extra ? 0 : 1);
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || IsSurrogate(cp)) {
            out.push_back(invalid(b0));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return out;
}

}  // namespace

std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view text) {
    std::string out;
    if (!Convert(text, out, LoneSurrogate::Refuse)) return std::nullopt;
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    Convert(text, out, LoneSurrogate::Replace);
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    return Decode(text, [](unsigned char) { return u'\uFFFD'; });
}

std::u16string PathFromOsBytes(std::string_view bytes) {
    return Decode(
        bytes, [](unsigned char byte) { return static_cast<char16_t>(kCarriedBytesBase + byte); });
}

std::optional<std::string> PathToOsBytes(std::u16string_view path) {
    std::string out;
    if (!Convert(path, out, LoneSurrogate::CarryByte)) return std::nullopt;
    // Carried bytes that join into valid UTF-8 would read back as other characters, and so would
    // be the spelling of another path: a path must be exactly what its bytes decode to.
    if (PathFromOsBytes(out) != path) return std::nullopt;
    return out;
}

std::u16string ShownText(std::u16string_view text) {
    return Utf8ToUtf16(Utf16ToUtf8(text));
}

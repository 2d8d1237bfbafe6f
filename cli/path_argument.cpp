#include "cli/path_argument.h"

#include <cstddef>
#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence starting at bytes[i] and its code point, or 0 when the
// byte there starts none (a stray continuation, an overlong form, a surrogate, beyond U+10FFFF, or
// a sequence cut short).
std::size_t ValidSequence(std::string_view bytes, std::size_t i, char32_t& codePoint) {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[i + k]); };
    const std::uint8_t lead = at(0);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (at(k) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    codePoint = value;
    return length;
}

}  // namespace

std::u16string PathFromArgument(std::string_view bytes) {
    std::u16string path;
    path.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t codePoint = 0;
        const std::size_t length = ValidSequence(bytes, i, codePoint);
        if (length == 0) {
            path.push_back(static_cast<char16_t>(0xDC00 + static_cast<std::uint8_t>(bytes[i])));
            ++i;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            path.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            path.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            path.push_back(static_cast<char16_t>(codePoint));
        }
        i += length;
    }
    return path;
}

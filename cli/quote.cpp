#include "cli/quote.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the valid, printable UTF-8 character at text[at], or 0 when the byte there is a
// control character, not UTF-8, or a character that is not printable.
std::size_t PrintableLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x20 || lead == 0x7F) return 0;
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const bool valid = code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    const bool control = code >= 0x80 && code <= 0x9F;
    return valid && !control ? length : 0;
}

// Characters that a shell would take for something else, anywhere in a name.
bool ShellSpecial(char c) {
    static constexpr std::string_view kSpecial = " !\"$&'()*;<=>?[\\^`|";
    return kSpecial.find(c) != std::string_view::npos;
}

std::string Escape(unsigned char byte) {
    switch (byte) {
        case '\a':
            return "\\a";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        case '\v':
            return "\\v";
        default: {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            return octal;
        }
    }
}

}  // namespace

std::string QuoteName(std::string_view name) {
    if (name.empty()) return "''";
    bool special = (name.size() == 1 && (name[0] == '{' || name[0] == '}')) || name[0] == '#' ||
                   name[0] == '~';
    bool unprintable = false;
    bool singleQuote = false;
    bool doubleQuoteSpecial = false;  // special inside double quotes too
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = PrintableLength(name, i);
        if (length == 0) {
            unprintable = true;
            ++i;
            continue;
        }
        const char c = name[i];
        special = special || ShellSpecial(c);
        singleQuote = singleQuote || c == '\'';
        doubleQuoteSpecial =
            doubleQuoteSpecial || c == '"' || c == '$' || c == '`' || c == '\\' || c == '!';
        i += length;
    }
    if (!special && !unprintable) return std::string(name);
    if (!unprintable && singleQuote && !doubleQuoteSpecial) {
        std::string quoted(1, '"');
        quoted.append(name).push_back('"');
        return quoted;
    }

    std::string shown = "'";
    bool endsInEscape = false;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = PrintableLength(name, i);
        endsInEscape = length == 0;
        if (length == 0) {
            shown += "'$'" + Escape(static_cast<unsigned char>(name[i])) + "''";
            ++i;
            continue;
        }
        if (name[i] == '\'') {
            shown += "'\\''";
        } else {
            shown.append(name.substr(i, length));
        }
        i += length;
    }
    // An escape at the end needs no empty pair of quotes after it.
    if (endsInEscape) {
        shown.pop_back();
    } else {
        shown += "'";
    }
    return shown;
}

std::string WithoutControls(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return shown;
}

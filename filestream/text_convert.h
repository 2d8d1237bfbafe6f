#pragma once
// UTF-16 <-> UTF-8 for messages and for handing paths to the operating system.

#include <optional>
#include <string>
#include <string_view>

// Strict conversion: nullopt when the text holds a lone surrogate.
std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view text);
// Lenient conversion: a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

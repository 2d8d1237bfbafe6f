#pragma once
// UTF-16 <-> UTF-8 for messages, and paths between the operating system's bytes and UTF-16.

#include <optional>
#include <string>
#include <string_view>

// Strict conversion: nullopt when the text holds a lone surrogate.
std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view text);
// Lenient conversion: a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Paths as the operating system spells them: bytes, mostly but not always UTF-8 (names from old
// archives are often Latin-1). PathFromOsBytes decodes valid UTF-8 and carries each byte that is
// not part of it as one lone surrogate, U+DC80 to U+DCFF for bytes 0x80 to 0xFF.
std::u16string PathFromOsBytes(std::string_view bytes);
// The exact bytes PathFromOsBytes was given: UTF-8 with every carried byte put back. nullopt for
// a path that no bytes decode to, which would otherwise name another file: a lone surrogate
// outside U+DC80..U+DCFF, or carried bytes that read as valid UTF-8.
std::optional<std::string> PathToOsBytes(std::u16string_view path);
// Text for showing to the user: every lone surrogate (a carried byte among them) becomes U+FFFD.
std::u16string ShownText(std::u16string_view text);

// Key text judging on arbitrary UTF-16 text: the verdict and the digits must agree with a direct
// reading of the nineteen positions, nothing after the nineteenth character may matter, and an
// accepted key must give the state the cipher tests' plain model derives from its digits.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cipher/cipher.h"
#include "fuzz_support.h"
#include "tests/cipher/reference_cipher.h"

namespace {

constexpr std::size_t kKeyLength = 19;

int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return -1;
}

// The verdict and digits read straight from the positions, one at a time.
KeyParseResult Expected(const std::u16string& text) {
    KeyParseResult expected;
    if (text.empty()) return expected;
    expected.verdict = KeyVerdict::KeyMalformed;
    if (text.size() < kKeyLength) return expected;
    KeyDigits digits{};
    std::size_t next = 0;
    for (std::size_t position = 0; position < kKeyLength; ++position) {
        const bool separator = position == 4 || position == 9 || position == 14;
        if (separator) {
            if (text[position] != u'.') return expected;
            continue;
        }
        const int value = DigitValue(text[position]);
        if (value < 0) return expected;
        digits[next++] = static_cast<std::uint8_t>(value);
    }
    expected.verdict = KeyVerdict::KeyAccepted;
    expected.digits = digits;
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string text = fuzz::DecodeUtf16(data, size);
    const KeyParseResult result = ParseKeyText(text);
    const KeyParseResult expected = Expected(text);

    FUZZ_CHECK(result.verdict == expected.verdict, "verdict differs from the direct reading");
    if (result.verdict != KeyVerdict::KeyAccepted) return 0;
    FUZZ_CHECK(result.digits == expected.digits, "digits differ from the direct reading");

    if (text.size() > kKeyLength) {
        const KeyParseResult head = ParseKeyText(std::u16string_view(text).substr(0, kKeyLength));
        FUZZ_CHECK(head.verdict == KeyVerdict::KeyAccepted && head.digits == result.digits,
                   "characters after the nineteenth changed the result");
    }

    FUZZ_CHECK(
        InitCipherState(result.digits) == reference::AsCipherState(reference::Init(result.digits)),
        "the state an accepted key gives differs from the plain model's");
    return 0;
}

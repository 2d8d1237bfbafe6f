// Key text judging on arbitrary UTF-16 text: the verdict and the digits must agree with a direct
// reading of the nineteen positions, and nothing after the nineteenth character may matter.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cipher/cipher.h"
#include "fuzz_support.h"

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

std::uint64_t Fold(const KeyDigits& digits, std::size_t first) {
    std::uint64_t folded = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        folded |= std::uint64_t(digits[first + i] | digits[first + i + 4]) << (8 * i);
    }
    return folded;
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

    // The state an accepted key gives: both words are the squares of the folded halves, and the
    // key bytes are their little-endian bytes.
    const CipherState state = InitCipherState(result.digits);
    const std::uint64_t p = Fold(result.digits, 0);
    const std::uint64_t q = Fold(result.digits, 8);
    FUZZ_CHECK(state.wordA == p * p && state.wordB == q * q, "mask words are not the squares");
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        FUZZ_CHECK(state.keyBytes[i] == std::uint8_t(state.wordA >> (8 * i)), "key byte 0..7");
        FUZZ_CHECK(state.keyBytes[8 + i] == std::uint8_t(state.wordB >> (8 * i)), "key byte 8..15");
        sum += state.keyBytes[i];
    }
    FUZZ_CHECK(state.blockCounter == sum && state.counter1 == 0 && state.counter2 == 0 &&
                   state.counter3 == 0,
               "initial counters");
    return 0;
}

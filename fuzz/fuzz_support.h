#pragma once
// Shared pieces of the fuzz targets: a check that stops the run with a readable reason (libFuzzer
// then keeps the input as a crash file), the decoding of raw fuzz bytes into UTF-16 text, and
// the widening of scratch paths.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                            \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, what, \
                         #condition);                                                          \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

namespace fuzz {

// Two bytes per code unit, little-endian; a trailing odd byte is dropped. Any value, lone
// surrogates and zero included, can appear.
inline std::u16string DecodeUtf16(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

// The path's bytes as code units, for the ASCII paths of the scratch folder.
inline std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace fuzz

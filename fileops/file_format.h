#pragma once
// The encrypted file: the two marker bytes, then the plaintext's bytes transformed in blocks of
// 16 from its start, the last block shorter when the length is no multiple of 16, and nothing
// else. No length field and no padding: an encrypted file is always exactly the marker's two
// bytes longer than its plaintext, and its length alone tells how long the last block is.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Every encrypted file begins with these two bytes.
inline constexpr std::array<std::uint8_t, 2> EncryptedFileMarker = {0x7E, 0xF9};

// The bytes of a full block, in the plaintext and in the body alike.
inline constexpr std::int32_t kBlockSize = 16;

// The length of the encrypted file for a plaintext of plainLength bytes.
constexpr std::uint64_t EncryptedLength(std::uint64_t plainLength) {
    return plainLength + EncryptedFileMarker.size();
}

// How decryption takes a file, judged on its first bytes (or all of them, when fewer).
enum class EncryptedInput {
    Empty,         // no byte at all: warned about, then taken as the marker with an empty body
    Marked,        // the marker: the rest is the body, and the plaintext is two bytes shorter
    NotEncrypted,  // refused before the output is opened
};

constexpr EncryptedInput JudgeEncryptedInput(std::span<const std::uint8_t> start) {
    if (start.empty()) return EncryptedInput::Empty;
    if (start.size() < EncryptedFileMarker.size() || start[0] != EncryptedFileMarker[0] ||
        start[1] != EncryptedFileMarker[1]) {
        return EncryptedInput::NotEncrypted;
    }
    return EncryptedInput::Marked;
}

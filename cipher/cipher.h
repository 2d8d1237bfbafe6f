#pragma once
// The cipher: key text, cipher state, the block transform in both directions, key generation.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum class KeyVerdict { KeyEmpty, KeyMalformed, KeyAccepted };

// The sixteen values 0..35 of an accepted key text, in text order.
using KeyDigits = std::array<std::uint8_t, 16>;

struct KeyParseResult {
    KeyVerdict verdict = KeyVerdict::KeyEmpty;
    KeyDigits digits{};  // meaningful only with KeyAccepted
};

// Judges a key text; characters after the nineteenth play no part.
KeyParseResult ParseKeyText(std::u16string_view text);

struct CipherState {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    std::uint64_t blockCounter = 0;
    std::uint64_t counter1 = 0;
    std::uint64_t counter2 = 0;
    std::uint64_t counter3 = 0;
};

CipherState InitCipherState(const KeyDigits& digits);
void AdvanceCipherState(CipherState& state);
std::uint64_t RotateLeft64(std::uint64_t value, std::int32_t count);
std::uint8_t RotateLeft8(std::uint8_t value, std::int32_t count);
std::array<std::uint8_t, 16> BlockMask(const CipherState& state);
// Writes the positions 0..n-1 in emission order into order[0..n-1]; 1 <= n <= 16.
void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order);
// Advances the state and writes the n transformed bytes of block to out; 1 <= n <= 16.
void EncryptBlock(CipherState& state, const std::uint8_t* block, int n, std::uint8_t* out);
// Advances the state and restores the n stored bytes into restoreArea[0..n-1].
void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea);

// A fresh key text of 19 characters from the operating system's random source.
std::string GenerateKeyText();
std::uint8_t NextKeyByte();

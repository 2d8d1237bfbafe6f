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

namespace cipher_detail {
// The words and key bytes rotated left by one amount, with the full-block emission order of
// those key bytes and its inverse (for each position, the index of the stored byte that lands
// there).
struct StateRow {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    std::array<std::uint8_t, 16> emissionOrder{};
    std::array<std::uint8_t, 16> placementOrder{};
};

using StateRows = std::array<StateRow, 64>;

// The rows of all-zero words and key bytes.
constexpr StateRows ZeroStateRows() {
    StateRows rows{};
    for (auto& row : rows) {
        for (std::uint8_t i = 0; i < 16; ++i) row.emissionOrder[i] = row.placementOrder[i] = i;
    }
    return rows;
}
}  // namespace cipher_detail

struct CipherState {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    std::uint64_t blockCounter = 0;
    std::uint64_t counter1 = 0;
    std::uint64_t counter2 = 0;
    std::uint64_t counter3 = 0;

    // Precomputed rotations. The words and key bytes only ever rotate, the key bytes by the
    // words' amount modulo 8, so after any number of steps they are those of row
    // orderRotation % 64: row j holds the words the rows were built from rotated left by j, and
    // the key bytes rotated left by j % 8. The defaults match all-zero words and key bytes.
    // Words or key bytes changed by hand are noticed by the next step, which rebuilds the rows;
    // the rows themselves are derived and never to be written by hand.
    std::uint8_t orderRotation = 0;
    alignas(16) cipher_detail::StateRows rows = cipher_detail::ZeroStateRows();

    // The quick step. While counter2 equals quickCounter2 (never a multiple of 37) and counter1
    // after the step lies in the run of quickCounter1Span values ending at quickCounter1Last (none
    // a multiple of 23), a step changes only blockCounter and counter1. Every other step takes the
    // full way and starts a new run. The test reads the counters as they are, so counters set by
    // hand are honoured. Derived like the rows above; never to be written by hand.
    std::uint64_t quickCounter1Last = 0;
    std::uint64_t quickCounter1Span = 0;
    std::uint64_t quickCounter2 = 1;
};

CipherState InitCipherState(const KeyDigits& digits);
void AdvanceCipherState(CipherState& state);
std::uint64_t RotateLeft64(std::uint64_t value, std::int32_t count);
std::uint8_t RotateLeft8(std::uint8_t value, std::int32_t count);
std::array<std::uint8_t, 16> BlockMask(const CipherState& state);
// Writes the positions 0..n-1 in emission order into order[0..n-1]; 1 <= n <= 16.
// The three functions taking n throw std::out_of_range for any other n.
void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order);
// Advances the state and writes the n transformed bytes of block to out; 1 <= n <= 16.
void EncryptBlock(CipherState& state, const std::uint8_t* block, int n, std::uint8_t* out);
// Advances the state and restores the n stored bytes into restoreArea[0..n-1]. All sixteen
// positions are unmasked; positions n..15 keep their earlier content (now masked) and play no
// part in the result.
void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea);

// Rebuilds the precomputed rows from the current words and key bytes. The next step does this by
// itself when it finds them changed; calling it directly is only needed by code that reads the
// rows.
void RebuildOrderTables(CipherState& state);

// Chooses how full blocks are shuffled: with the processor's byte-shuffle instruction when wanted
// and available, else with a portable loop; both give identical results. The instruction is
// chosen by itself at start-up. Returns whether it is now in use.
bool UseVectorShuffle(bool wanted);

// A fresh key text of 19 characters from the operating system's random source. Throws
// std::system_error when the random source fails; it never returns a weak key.
std::string GenerateKeyText();
// One byte from the operating system's random source; throws std::system_error on failure.
std::uint8_t NextKeyByte();
// The key text of eight bytes: two capital hexadecimal characters per byte, low half first,
// "." after every fourth character (byte 0x3C is written "C3").
std::string FormatKeyText(const std::array<std::uint8_t, 8>& bytes);

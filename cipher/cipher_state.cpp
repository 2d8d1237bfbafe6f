// The key text, the cipher state and its step, the key rules, and the plain block functions on a
// CipherState (the fast runs are CipherRun's).

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "cipher/bytes.h"
#include "cipher/cipher.h"
#include "cipher/step.h"

namespace {

constexpr int kKeyTextLength = 19;

constexpr bool IsSeparatorPosition(int position) {
    return position == 4 || position == 9 || position == 14;
}

// The value 0..35 of a key character, or -1 for anything else (lower case included).
constexpr int KeyCharacterValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return -1;
}

// Folds eight digits into 32 bits: byte i is digit i OR digit i + 4.
std::uint64_t FoldDigits(const std::uint8_t* digits) {
    std::uint64_t folded = 0;
    for (int i = 0; i < 4; ++i) {
        folded |= std::uint64_t(digits[i] | digits[i + 4]) << (8 * i);
    }
    return folded;
}

// Over the 64 rotations, each of the eight byte places sees every run of eight cyclically
// adjacent bits of the word once. Bit p of the OR below is clear exactly when the run starting at
// bit p is all zero.
int ZeroMaskBytesOfWord(std::uint64_t word) {
    std::uint64_t covered = 0;
    for (int shift = 0; shift < 8; ++shift) covered |= std::rotr(word, shift);
    return 8 * (64 - std::popcount(covered));
}

// The emission order of the state's key bytes for a full block.
std::array<std::uint8_t, 16> FullOrder(const CipherState& state) {
    std::array<std::uint8_t, 16> order{};
    EmissionOrder(state.keyBytes, 16, order);
    return order;
}

}  // namespace

KeyParseResult ParseKeyText(std::u16string_view text) {
    KeyParseResult result;
    if (text.empty()) return result;

    result.verdict = KeyVerdict::KeyMalformed;
    if (text.size() < std::size_t(kKeyTextLength)) return result;

    // Every position is judged; the verdict does not depend on which one fails first.
    bool wellFormed = true;
    KeyDigits digits{};
    int digit = 0;
    for (int position = 0; position < kKeyTextLength; ++position) {
        const char16_t c = text[std::size_t(position)];
        if (IsSeparatorPosition(position)) {
            wellFormed = wellFormed && c == u'.';
            continue;
        }
        const int value = KeyCharacterValue(c);
        wellFormed = wellFormed && value >= 0;
        digits[std::size_t(digit++)] = std::uint8_t(value < 0 ? 0 : value);
    }
    if (wellFormed) {
        result.verdict = KeyVerdict::KeyAccepted;
        result.digits = digits;
    }
    return result;
}

CipherState InitCipherState(const KeyDigits& digits) {
    CipherState state;
    const std::uint64_t p = FoldDigits(digits.data());
    const std::uint64_t q = FoldDigits(digits.data() + 8);
    state.wordA = p * p;
    state.wordB = q * q;
    state.keyBytes = BlockMask(state);
    std::uint64_t sum = 0;
    for (int i = 0; i < 8; ++i) sum += state.keyBytes[std::size_t(i)];
    state.blockCounter = sum;
    return state;
}

int ZeroMaskBytes(std::uint64_t wordA, std::uint64_t wordB) {
    return ZeroMaskBytesOfWord(wordA) + ZeroMaskBytesOfWord(wordB);
}

bool LeavesDataInClear(const CipherState& state) {
    constexpr int kMaskBytes = 2 * 64 * 8;
    return 4 * ZeroMaskBytes(state.wordA, state.wordB) >= kMaskBytes;
}

std::uint64_t RotateLeft64(std::uint64_t value, std::int32_t count) {
    if (count <= 0) return value;
    return std::rotl(value, count % 64);
}

std::uint8_t RotateLeft8(std::uint8_t value, std::int32_t count) {
    if (count <= 0) return value;
    return std::rotl(value, count % 8);
}

void AdvanceCipherState(CipherState& state) {
    const std::uint32_t rotation = cipher_detail::StepCounters(state);
    state.wordA = std::rotl(state.wordA, int(rotation & 63u));
    state.wordB = std::rotl(state.wordB, int(rotation & 63u));
    for (auto& k : state.keyBytes) k = std::rotl(k, int(rotation & 7u));
}

std::array<std::uint8_t, 16> BlockMask(const CipherState& state) {
    std::array<std::uint8_t, 16> mask{};
    cipher_detail::StoreLittleEndian(state.wordA, mask.data());
    cipher_detail::StoreLittleEndian(state.wordB, mask.data() + 8);
    return mask;
}

void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order) {
    cipher_detail::CheckBlockLength(n);
    // Stable insertion sort by descending key byte: equal bytes keep ascending positions.
    for (int i = 0; i < n; ++i) {
        const auto position = std::uint8_t(i);
        int k = i;
        while (k > 0 && keyBytes[order[std::size_t(k - 1)]] < keyBytes[position]) {
            order[std::size_t(k)] = order[std::size_t(k - 1)];
            --k;
        }
        order[std::size_t(k)] = position;
    }
}

void EncryptBlock(CipherState& state, const std::uint8_t* block, int n, std::uint8_t* out) {
    cipher_detail::CheckBlockLength(n);
    AdvanceCipherState(state);
    cipher_detail::EncryptBytes(FullOrder(state).data(), BlockMask(state).data(), block, n, out);
}

void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea) {
    cipher_detail::CheckBlockLength(n);
    AdvanceCipherState(state);
    cipher_detail::DecryptBytes(FullOrder(state).data(), BlockMask(state).data(), stored, n,
                                restoreArea.data());
}

namespace cipher_detail {

void CheckBlockLength(int n) {
    if (n < 1 || n > 16) throw std::out_of_range("cipher block length outside 1..16");
}

void EncryptBytes(const std::uint8_t* order, const std::uint8_t* mask, const std::uint8_t* block,
                  int n, std::uint8_t* out) {
    std::uint8_t masked[16];
    for (int i = 0; i < n; ++i) masked[i] = std::uint8_t(block[i] ^ mask[i]);
    // A short block keeps the full order's sequence among its own positions (the sort is
    // stable, so dropping the positions from n on leaves the order of the rest unchanged).
    int k = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t position = order[i];
        if (position < n) out[k++] = masked[position];
    }
}

void DecryptBytes(const std::uint8_t* order, const std::uint8_t* mask, const std::uint8_t* stored,
                  int n, std::uint8_t* area) {
    int k = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t position = order[i];
        if (position < n) area[position] = stored[k++];
    }
    // All sixteen positions are unmasked; those from n on are never part of the result.
    for (int i = 0; i < 16; ++i) area[i] = std::uint8_t(area[i] ^ mask[i]);
}

}  // namespace cipher_detail

#include "cipher/cipher.h"

#include <bit>
#include <cstring>

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

// Loads eight bytes so that byte 0 in memory is the least significant byte of the result.
std::uint64_t LoadLittleEndian(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        std::uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i) swapped |= std::uint64_t(bytes[i]) << (8 * i);
        value = swapped;
    }
    return value;
}

void StoreLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(value >> (8 * i));
    } else {
        std::memcpy(bytes, &value, sizeof value);
    }
}

bool SameBytes(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&a1, a.data() + 8, 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&b1, b.data() + 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Rotates each of the sixteen bytes left by count (0..7).
std::array<std::uint8_t, 16> RotateKeyBytes(const std::array<std::uint8_t, 16>& bytes,
                                            unsigned count) {
    std::array<std::uint8_t, 16> rotated{};
    for (int i = 0; i < 16; ++i) rotated[i] = std::rotl(bytes[i], int(count));
    return rotated;
}

// The mask applied to a block, as two little-endian halves.
struct MaskWords {
    std::uint64_t low;
    std::uint64_t high;
};

MaskWords CurrentMask(const CipherState& state) {
    return {state.wordA, state.wordB};
}

void MaskedBlock(const CipherState& state, const std::uint8_t* block, int n, std::uint8_t* masked) {
    const MaskWords mask = CurrentMask(state);
    if (n == 16) {
        StoreLittleEndian(LoadLittleEndian(block) ^ mask.low, masked);
        StoreLittleEndian(LoadLittleEndian(block + 8) ^ mask.high, masked + 8);
        return;
    }
    for (int i = 0; i < n; ++i) {
        const std::uint64_t word = i < 8 ? mask.low : mask.high;
        masked[i] = std::uint8_t(block[i] ^ std::uint8_t(word >> (8 * (i & 7))));
    }
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
    std::uint64_t sum = 0;
    for (int i = 0; i < 8; ++i) {
        state.keyBytes[std::size_t(i)] = std::uint8_t(state.wordA >> (8 * i));
        state.keyBytes[std::size_t(8 + i)] = std::uint8_t(state.wordB >> (8 * i));
        sum += state.keyBytes[std::size_t(i)];
    }
    state.blockCounter = sum;
    RebuildOrderTables(state);
    return state;
}

void RebuildOrderTables(CipherState& state) {
    state.orderRotation = 0;
    for (unsigned j = 0; j < 8; ++j) {
        const std::array<std::uint8_t, 16> keys = RotateKeyBytes(state.keyBytes, j);
        state.orderKeyBytes[j] = keys;
        std::array<std::uint8_t, 16>& order = state.emissionOrders[j];
        EmissionOrder(keys, 16, order);
        for (std::uint8_t k = 0; k < 16; ++k) state.placementOrders[j][order[k]] = k;
    }
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
    // Each counter is tested on every step, not only when the one below it changed.
    state.blockCounter += 1;
    if (state.blockCounter % 7 == 0) state.counter1 += 1;
    if (state.counter1 % 23 == 0) state.counter2 += 1;
    if (state.counter2 % 37 == 0) state.counter3 += 1;

    const auto sum = std::int32_t(
        std::uint32_t(state.blockCounter + state.counter1 + state.counter2 + state.counter3));
    // A negative sum gives negative (or zero) remainders, which rotate nothing. For a positive
    // sum the word rotation by (sum % 128) % 64 is a rotation by sum % 64.
    const std::uint32_t amount = sum > 0 ? std::uint32_t(sum) : 0u;

    state.wordA = std::rotl(state.wordA, int(amount & 63));
    state.wordB = std::rotl(state.wordB, int(amount & 63));

    // Key bytes set by hand since the last step no longer match the rows: rebuild them.
    if (!SameBytes(state.keyBytes, state.orderKeyBytes[state.orderRotation])) {
        RebuildOrderTables(state);
    }
    state.orderRotation = std::uint8_t((state.orderRotation + amount) & 7);
    state.keyBytes = state.orderKeyBytes[state.orderRotation];
}

std::array<std::uint8_t, 16> BlockMask(const CipherState& state) {
    std::array<std::uint8_t, 16> mask{};
    StoreLittleEndian(state.wordA, mask.data());
    StoreLittleEndian(state.wordB, mask.data() + 8);
    return mask;
}

void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order) {
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
    AdvanceCipherState(state);
    std::uint8_t masked[16];
    MaskedBlock(state, block, n, masked);
    const std::array<std::uint8_t, 16>& order = state.emissionOrders[state.orderRotation];
    if (n == 16) {
        for (int k = 0; k < 16; ++k) out[k] = masked[order[std::size_t(k)]];
        return;
    }
    // A short block keeps the full order's sequence among its own positions (the sort is
    // stable, so dropping the positions from n on leaves the order of the rest unchanged).
    int k = 0;
    for (std::uint8_t position : order) {
        if (position < n) out[k++] = masked[position];
    }
}

void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea) {
    AdvanceCipherState(state);
    const std::size_t row = state.orderRotation;
    if (n == 16) {
        const std::array<std::uint8_t, 16>& placement = state.placementOrders[row];
        std::uint8_t placed[16];
        for (int p = 0; p < 16; ++p) placed[p] = stored[placement[std::size_t(p)]];
        const MaskWords mask = CurrentMask(state);
        StoreLittleEndian(LoadLittleEndian(placed) ^ mask.low, restoreArea.data());
        StoreLittleEndian(LoadLittleEndian(placed + 8) ^ mask.high, restoreArea.data() + 8);
        return;
    }
    int k = 0;
    for (std::uint8_t position : state.emissionOrders[row]) {
        if (position < n) restoreArea[position] = stored[k++];
    }
    // All sixteen positions are unmasked; those from n on are never part of the result.
    const MaskWords mask = CurrentMask(state);
    StoreLittleEndian(LoadLittleEndian(restoreArea.data()) ^ mask.low, restoreArea.data());
    StoreLittleEndian(LoadLittleEndian(restoreArea.data() + 8) ^ mask.high, restoreArea.data() + 8);
}

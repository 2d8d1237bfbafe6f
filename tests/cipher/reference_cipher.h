#pragma once
// A deliberately plain model of the cipher, written from the rules alone: one-bit rotation
// loops, the threshold scan for the byte order, the placement scan for decryption. The library's
// fast paths are checked against it.

#include <array>
#include <cstdint>

#include "cipher/cipher.h"

namespace reference {

struct State {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    std::uint64_t blockCounter = 0;
    std::uint64_t counter1 = 0;
    std::uint64_t counter2 = 0;
    std::uint64_t counter3 = 0;
};

inline std::uint64_t Rotate64(std::uint64_t value, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) value = (value << 1) | (value >> 63);
    return value;
}

inline std::uint8_t Rotate8(std::uint8_t value, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        value = std::uint8_t((value << 1) | (value >> 7));
    }
    return value;
}

inline State Init(const std::array<std::uint8_t, 16>& digits) {
    std::uint32_t p = 0;
    std::uint32_t q = 0;
    for (int i = 0; i < 4; ++i) {
        p |= std::uint32_t(digits[i] | digits[i + 4]) << (8 * i);
        q |= std::uint32_t(digits[8 + i] | digits[12 + i]) << (8 * i);
    }
    State s;
    s.wordA = std::uint64_t(p) * p;
    s.wordB = std::uint64_t(q) * q;
    for (int i = 0; i < 8; ++i) {
        s.keyBytes[i] = std::uint8_t((s.wordA >> (8 * i)) & 0xFF);
        s.keyBytes[8 + i] = std::uint8_t((s.wordB >> (8 * i)) & 0xFF);
        s.blockCounter += s.keyBytes[i];
    }
    return s;
}

// Returns the signed sum the step used.
inline std::int32_t Advance(State& s) {
    s.blockCounter += 1;
    if (s.blockCounter % 7 == 0) s.counter1 += 1;
    if (s.counter1 % 23 == 0) s.counter2 += 1;
    if (s.counter2 % 37 == 0) s.counter3 += 1;
    const std::uint32_t low = std::uint32_t(s.blockCounter + s.counter1 + s.counter2 + s.counter3);
    const std::int32_t sum =
        low < 0x80000000u ? std::int32_t(low) : -std::int32_t(~low) - 1;  // two's complement
    const std::int32_t bigR = sum % 128;
    const std::int32_t smallR = sum % 8;
    s.wordA = Rotate64(s.wordA, bigR);
    s.wordB = Rotate64(s.wordB, bigR);
    for (auto& k : s.keyBytes) k = Rotate8(k, smallR);
    return sum;
}

inline std::uint8_t MaskByte(const State& s, int i) {
    const std::uint64_t word = i < 8 ? s.wordA : s.wordB;
    return std::uint8_t((word >> (8 * (i % 8))) & 0xFF);
}

// The threshold scan: emits positions whose key byte reaches a falling threshold.
inline std::array<std::uint8_t, 16> Order(const std::array<std::uint8_t, 16>& keys, int n) {
    std::array<std::uint8_t, 16> order{};
    bool emitted[16] = {};
    int count = 0;
    for (int threshold = 255; count < n; --threshold) {
        for (int j = 0; j < n; ++j) {
            if (!emitted[j] && keys[j] >= threshold) {
                emitted[j] = true;
                order[count++] = std::uint8_t(j);
            }
        }
    }
    return order;
}

inline void Encrypt(State& s, const std::uint8_t* block, int n, std::uint8_t* out) {
    Advance(s);
    std::uint8_t masked[16];
    for (int i = 0; i < n; ++i) masked[i] = std::uint8_t(block[i] ^ MaskByte(s, i));
    const auto order = Order(s.keyBytes, n);
    for (int k = 0; k < n; ++k) out[k] = masked[order[k]];
}

inline void Decrypt(State& s, const std::uint8_t* stored, int n,
                    std::array<std::uint8_t, 16>& area) {
    Advance(s);
    bool placed[16] = {};
    int next = 0;
    for (int threshold = 255; next < n; --threshold) {
        for (int j = 0; j < n; ++j) {
            if (!placed[j] && s.keyBytes[j] >= threshold) {
                placed[j] = true;
                area[j] = stored[next++];
            }
        }
    }
    for (int i = 0; i < 16; ++i) area[i] = std::uint8_t(area[i] ^ MaskByte(s, i));
}

// The model's state as the library holds it, to compare the two whole, and the other way round.
inline CipherState AsCipherState(const State& s) {
    return {s.wordA, s.wordB, s.keyBytes, s.blockCounter, s.counter1, s.counter2, s.counter3};
}
inline State FromCipherState(const CipherState& s) {
    return {s.wordA, s.wordB, s.keyBytes, s.blockCounter, s.counter1, s.counter2, s.counter3};
}

}  // namespace reference

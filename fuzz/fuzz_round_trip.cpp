// Encrypt-then-decrypt of arbitrary data with arbitrary accepted keys: every block must come back
// exactly, both directions must evolve the state identically, and each encrypted block must match
// a plain, loop-by-loop model of the transform (the library uses precomputed orders and word-wide
// masking, which the model does not).
//
// Input: one flag byte, sixteen key digit bytes (taken modulo 36), then
//   flag bit 0: 32 bytes of starting counters (four little-endian 64-bit values), so that blocks
//               far into a file (a negative counter sum included) are reached;
//   flag bit 1: every block is preceded by a byte giving its length (1..16), so short blocks
//               appear anywhere, not only at the end;
// and the rest is the plaintext.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cipher/cipher.h"
#include "fuzz_support.h"
#include "tests/cipher/reference_cipher.h"

namespace {

std::uint64_t LoadWord(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t(bytes[i]) << (8 * i);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 17) return 0;
    const std::uint8_t flags = data[0];
    const bool setCounters = (flags & 1) != 0;
    const bool lengthPrefixed = (flags & 2) != 0;

    // How key texts become digits is fuzz_key_text's.
    KeyDigits digits{};
    for (std::size_t i = 0; i < 16; ++i) digits[i] = static_cast<std::uint8_t>(data[1 + i] % 36);
    std::size_t offset = 17;

    CipherState encryptor = InitCipherState(digits);
    if (setCounters) {
        if (size < offset + 32) return 0;
        encryptor.blockCounter = LoadWord(data + offset);
        encryptor.counter1 = LoadWord(data + offset + 8);
        encryptor.counter2 = LoadWord(data + offset + 16);
        encryptor.counter3 = LoadWord(data + offset + 24);
        offset += 32;
    }
    CipherState decryptor = encryptor;
    reference::State model = reference::FromCipherState(encryptor);

    std::array<std::uint8_t, 16> restoreArea{};
    while (offset < size) {
        int n = 16;
        if (lengthPrefixed) {
            n = data[offset++] % 16 + 1;
            if (offset >= size) break;
        }
        n = static_cast<int>(std::min<std::size_t>(std::size_t(n), size - offset));
        const std::uint8_t* block = data + offset;
        offset += std::size_t(n);

        std::array<std::uint8_t, 16> stored{};
        std::array<std::uint8_t, 16> expected{};
        EncryptBlock(encryptor, block, n, stored.data());
        reference::Encrypt(model, block, n, expected.data());
        FUZZ_CHECK(encryptor == reference::AsCipherState(model),
                   "state evolution differs from the model");
        FUZZ_CHECK(std::memcmp(stored.data(), expected.data(), std::size_t(n)) == 0,
                   "encrypted block differs from the model");

        DecryptBlock(decryptor, stored.data(), n, restoreArea);
        FUZZ_CHECK(encryptor == decryptor, "the two directions evolved differently");
        FUZZ_CHECK(std::memcmp(restoreArea.data(), block, std::size_t(n)) == 0,
                   "decryption did not restore the block");
    }
    return 0;
}

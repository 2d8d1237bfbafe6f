#pragma once
// One step of the cipher state, and the transform of one block with the mask and order of its
// step. Shared by the plain functions on a CipherState and by the runs of a CipherRun.

#include <cstdint>

namespace cipher_detail {

// The rotation a step adds, from the low 32 bits of the counters' sum: a negative (or zero) sum
// rotates nothing, a positive one rotates the words by sum % 64 and the key bytes by sum % 8.
[[gnu::always_inline]] inline std::uint32_t StepRotation(std::uint32_t sum) {
    return std::int32_t(sum) > 0 ? sum : 0u;
}

// Steps the four counters of state (a CipherState or a run's position) and returns the rotation
// the step adds. Each counter is tested on every step, not only when the one below it changed.
template <typename Counters>
[[gnu::always_inline]] inline std::uint32_t StepCounters(Counters& state) {
    state.blockCounter += 1;
    state.counter1 += state.blockCounter % 7 == 0 ? 1 : 0;
    state.counter2 += state.counter1 % 23 == 0 ? 1 : 0;
    state.counter3 += state.counter2 % 37 == 0 ? 1 : 0;
    return StepRotation(
        std::uint32_t(state.blockCounter + state.counter1 + state.counter2 + state.counter3));
}

// A block has 1 to 16 bytes; anything else is a caller's fault that must not touch memory.
// Throws std::out_of_range.
void CheckBlockLength(int n);

// One block of n bytes (1..16), with the full emission order and the mask (in position order)
// of its step. Decryption restores into area[0..n-1] and unmasks all sixteen positions.
void EncryptBytes(const std::uint8_t* order, const std::uint8_t* mask, const std::uint8_t* block,
                  int n, std::uint8_t* out);
void DecryptBytes(const std::uint8_t* order, const std::uint8_t* mask, const std::uint8_t* stored,
                  int n, std::uint8_t* area);

}  // namespace cipher_detail

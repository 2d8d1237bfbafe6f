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

// The remainders of the counters by 7, 23 and 37 that a step tests, found after each counter
// moves. Exact ones divide the counter itself, and so stay right where a counter wraps.
struct ExactRemainders {
    static unsigned After7(std::uint64_t blockCounter) { return unsigned(blockCounter % 7); }
    static unsigned After23(std::uint64_t counter1, bool) { return unsigned(counter1 % 23); }
    static unsigned After37(std::uint64_t counter2, bool) { return unsigned(counter2 % 37); }
};

// Tracked ones are counted along, without a division, from the counters' remainders at the start
// of a run in which no counter can wrap.
struct TrackedRemainders {
    unsigned r7, r23, r37;
    unsigned After7(std::uint64_t) { return r7 = r7 == 6 ? 0 : r7 + 1; }
    unsigned After23(std::uint64_t, bool moved) {
        if (moved) r23 = r23 == 22 ? 0 : r23 + 1;
        return r23;
    }
    unsigned After37(std::uint64_t, bool moved) {
        if (moved) r37 = r37 == 36 ? 0 : r37 + 1;
        return r37;
    }
};

// Steps the four counters of state (a CipherState or a run's position) and returns the rotation
// the step adds. Each counter is tested on every step, not only when the one below it changed.
template <typename Counters, typename Remainders = ExactRemainders>
[[gnu::always_inline]] inline std::uint32_t StepCounters(Counters& state,
                                                         Remainders&& remainders = {}) {
    state.blockCounter += 1;
    const bool grow1 = remainders.After7(state.blockCounter) == 0;
    state.counter1 += grow1 ? 1 : 0;
    const bool grow2 = remainders.After23(state.counter1, grow1) == 0;
    state.counter2 += grow2 ? 1 : 0;
    const bool grow3 = remainders.After37(state.counter2, grow2) == 0;
    state.counter3 += grow3 ? 1 : 0;
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

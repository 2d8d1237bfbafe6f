#include "cipher/run_plan.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cipher/step.h"

// Over a run the words only rotate and the key bytes with them, so each block's mask and order
// is the run table's entry for the total rotation so far; planning a block is finding that
// rotation. Up to the step where blockCounter reaches the next multiple of 7, counter1 stays as it
// is; when it is not a multiple of 23, counter2 stays as well, and counter3 grows on every one of
// those quiet steps or on none. Each step of such a quiet stretch (at most six) adds the sum of
// the one before plus a fixed increase, so the stretch is planned at once, with no step waiting
// for the one before. The step that ends the stretch moves counter1 on; where that does not make
// it a multiple of 23, nothing above it moves either, and a whole cycle of seven steps is planned
// at once the same way. Every other step goes one at a time, as one block steps.

namespace cipher_detail {
namespace {

// Plans steps 1..8 from rotation base and sum, as a cycle goes from a multiple of 7 (the caller
// keeps those it needs). Steps 1..6 are quiet: step k adds sum + k * increase, where increase is
// 1 + grow3, so the rotation after it is base + k * sum + increase * k * (k + 1) / 2. Step 7 adds
// 1 more, for counter1, and step 8 (the next cycle's first) 1 more again. Only the rotation mod 64
// counts, so the products may wrap, and sixteen bits are plenty: on x86-64 the eight steps go in
// eight 16-bit lanes, each shifted left by six, where its rotation mod 64 is the entry's offset.
#if defined(__SSE2__)
[[gnu::always_inline]] inline __m128i StepLanes(std::uint32_t base, std::uint32_t sum,
                                                std::uint32_t grow3) {
    const __m128i steps = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
    const __m128i triangles = _mm_setr_epi16(1, 3, 6, 10, 15, 21, 28, 36);
    const __m128i counter1 = _mm_setr_epi16(0, 0, 0, 0, 0, 0, 1, 2);
    __m128i after = _mm_mullo_epi16(_mm_set1_epi16(std::int16_t(sum)), steps);
    after = _mm_add_epi16(after, _mm_add_epi16(_mm_set1_epi16(std::int16_t(base)), counter1));
    after = _mm_add_epi16(after, _mm_sll_epi16(triangles, _mm_cvtsi32_si128(int(grow3))));
    return _mm_slli_epi16(after, 6);
}

[[gnu::always_inline]] inline void StoreOffsets(__m128i lanes, PlanEntry* plan) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(plan),
                     _mm_and_si128(lanes, _mm_set1_epi16(63 << 6)));
}
#endif

[[gnu::always_inline]] inline void PlanSteps(std::uint32_t base, std::uint32_t sum,
                                             std::uint32_t grow3, PlanEntry* plan) {
#if defined(__SSE2__)
    StoreOffsets(StepLanes(base, sum, grow3), plan);
#else
    const std::uint32_t increase = 1 + grow3;
    for (std::uint32_t k = 1; k <= 8; ++k) {
        const std::uint32_t counter1 = k > 6 ? k - 6 : 0;
        plan[k - 1] = EntryOffset(base + k * sum + increase * (k * (k + 1) / 2) + counter1);
    }
#endif
}

// Plans whole cycles from a multiple of 7: cycles times the eight steps of PlanSteps, each
// cycle's from where the one before left the rotation and the sum. Over the cycles, step k of a
// cycle differs from step k of the cycle before by 7 * sum + 28 * increase + 1 + k * growth
// (growth = 8 + 7 * grow3, what the cycle adds to the sum), and that difference grows by
// 7 * growth from cycle to cycle: two additions per cycle, no step waiting for another.
[[gnu::always_inline]] inline void PlanCycles(std::uint32_t base, std::uint32_t sum,
                                              std::uint32_t grow3, std::size_t cycles,
                                              PlanEntry* plan) {
#if defined(__SSE2__)
    const std::uint32_t growth = 8 + 7 * grow3;
    __m128i after = StepLanes(base, sum, grow3);
    __m128i difference = _mm_mullo_epi16(_mm_set1_epi16(std::int16_t(growth)),
                                         _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8));
    difference =
        _mm_add_epi16(difference, _mm_set1_epi16(std::int16_t(7 * sum + 28 * (1 + grow3) + 1)));
    difference = _mm_slli_epi16(difference, 6);  // in the lanes' units, as the steps
    const __m128i growing = _mm_set1_epi16(std::int16_t((7 * growth) << 6));
    for (std::size_t c = 0; c < cycles; ++c, plan += 7) {
        StoreOffsets(after, plan);
        after = _mm_add_epi16(after, difference);
        difference = _mm_add_epi16(difference, growing);
    }
#else
    const std::uint32_t growth = 8 + 7 * grow3;
    for (std::size_t c = 0; c < cycles; ++c, plan += 7) {
        PlanSteps(base, sum, grow3, plan);
        base = (base + 7 * sum + (1 + grow3) * 28 + 1) & 63u;
        sum += growth;
    }
#endif
}

void PlanRunOn(RunPosition& p, std::size_t blocks, PlanEntry* plan) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    if (std::max(std::max(p.blockCounter, p.counter1), std::max(p.counter2, p.counter3)) >
        kMax - blocks) {
        // A counter may wrap in this run: step by step, with remainders from the counters.
        for (std::size_t i = 0; i < blocks; ++i) {
            p.rotation = (p.rotation + StepCounters(p)) & 63u;
            plan[i] = EntryOffset(p.rotation);
        }
        return;
    }
    TrackedRemainders r{unsigned(p.blockCounter % 7), unsigned(p.counter1 % 23),
                        unsigned(p.counter2 % 37)};
    // Sums below this stay positive over a cycle (at most seven steps of at most three).
    constexpr std::uint32_t kLastStretchStart = 0x7FFFFFFFu - 7 * 4;
    std::size_t i = 0;
    while (i < blocks) {
        const auto sum = std::uint32_t(p.blockCounter + p.counter1 + p.counter2 + p.counter3);
        if (r.r7 == 0 && r.r23 != 0 && r.r23 != 22 && sum - 1 < kLastStretchStart &&
            blocks - i >= 7) {
            // Whole cycles: six quiet steps, then counter1 moves to a value that is no multiple
            // of 23, until it would move to one. Each adds 8 to the sum, or 15 with counter3.
            const std::uint32_t grow3 = r.r37 == 0 ? 1 : 0;
            const std::uint32_t growth = 8 + 7 * grow3;
            const std::size_t cycles =
                std::min<std::size_t>(std::min<std::size_t>(22 - r.r23, (blocks - i) / 7),
                                      (kLastStretchStart - sum) / 15 + 1);
            PlanCycles(p.rotation, sum, grow3, cycles, plan + i);
            i += 7 * cycles;
            // Each cycle adds 7 * its sum + 28 * increase + 1, and the sum grows by growth.
            const auto n = std::uint32_t(cycles);
            p.rotation = (p.rotation + n * (7 * sum + 28 * (1 + grow3) + 1) +
                          7 * growth * (n * (n - 1) / 2)) &
                         63u;
            r.r23 += unsigned(cycles);
            p.blockCounter += 7 * cycles;
            p.counter1 += cycles;
            p.counter3 += 7 * cycles * grow3;
            continue;
        }
        if (r.r7 != 6 && r.r23 != 0 && sum - 1 < kLastStretchStart) {
            const std::uint32_t grow3 = r.r37 == 0 ? 1 : 0;
            PlanSteps(p.rotation, sum, grow3, plan + i);
            const auto quiet = std::uint32_t(std::min<std::size_t>(blocks - i, 6 - r.r7));
            i += quiet;
            r.r7 += quiet;
            p.blockCounter += quiet;
            p.counter3 += grow3 * quiet;
            p.rotation = (p.rotation + quiet * sum + (1 + grow3) * (quiet * (quiet + 1) / 2)) & 63u;
            if (i == blocks) break;
        }
        p.rotation = (p.rotation + StepCounters(p, r)) & 63u;
        plan[i++] = EntryOffset(p.rotation);
    }
}

}  // namespace

void PlanRun(RunPosition& position, std::size_t blocks, PlanEntry* plan) {
    // Planned on a copy, which stays in registers: the caller's may be anywhere in memory, and
    // storing each step to it would make the next step wait for the store.
    RunPosition p = position;
    PlanRunOn(p, blocks, plan);
    position = p;
}

}  // namespace cipher_detail

#include "cipher/run_plan.h"

#include <algorithm>

#include "cipher/step.h"

// Over a run the words only rotate and the key bytes with them, so each block's mask and order
// is the run table's entry for the total rotation so far; planning a block is finding that
// rotation. Up to the step where blockCounter reaches the next multiple of 7, counter1 stays as it
// is; when it is not a multiple of 23, counter2 stays as well, and counter3 grows on every one of
// those quiet steps or on none. Each step of such a quiet stretch (at most six) adds the sum of
// the one before plus a fixed increase, so the stretch is planned at once, with no step waiting
// for the one before. Every other step goes one at a time, as one block steps.

namespace cipher_detail {
namespace {

// Plans quiet steps 1..8 from rotation base and sum (the caller keeps those it needs). Step k adds
// sum + k * increase, so the rotation after it is base + k * sum + increase * k * (k + 1) / 2.
// Only the rotation mod 64 counts, so the products may wrap.
[[gnu::always_inline]] inline void PlanQuietSteps(std::uint32_t base, std::uint32_t sum,
                                                  std::uint32_t increase, PlanEntry* plan) {
    for (std::uint32_t k = 1; k <= 8; ++k) {
        plan[k - 1] = EntryOffset(base + k * sum + increase * (k * (k + 1) / 2));
    }
}

}  // namespace

void PlanRun(RunPosition& p, std::size_t blocks, PlanEntry* plan) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    // Quiet stretches rely on the remainders moving one by one: no counter may wrap in the run.
    const bool quietAllowed = std::max(std::max(p.blockCounter, p.counter1),
                                       std::max(p.counter2, p.counter3)) <= kMax - blocks;
    // Sums below this stay positive over a quiet stretch (at most six steps of at most two).
    constexpr std::uint32_t kLastStretchStart = 0x7FFFFFFFu - 7 * 4;
    std::size_t i = 0;
    while (i < blocks) {
        const auto quietSteps = unsigned(6 - p.blockCounter % 7);
        const auto sum = std::uint32_t(p.blockCounter + p.counter1 + p.counter2 + p.counter3);
        if (quietAllowed && quietSteps != 0 && p.counter1 % 23 != 0 &&
            sum - 1 < kLastStretchStart) {
            const std::uint32_t grow3 = p.counter2 % 37 == 0 ? 1 : 0;
            const std::uint32_t increase = 1 + grow3;
            PlanQuietSteps(p.rotation, sum, increase, plan + i);
            const auto quiet = std::uint32_t(std::min<std::size_t>(blocks - i, quietSteps));
            i += quiet;
            p.blockCounter += quiet;
            p.counter3 += grow3 * quiet;
            p.rotation = (p.rotation + quiet * sum + increase * (quiet * (quiet + 1) / 2)) & 63u;
            if (i == blocks) break;
        }
        p.rotation = (p.rotation + StepCounters(p)) & 63u;
        plan[i++] = EntryOffset(p.rotation);
    }
}

}  // namespace cipher_detail

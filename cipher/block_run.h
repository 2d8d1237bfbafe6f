#pragma once
// The run loop over full blocks, shared by every block kernel. A kernel is a type with
//   static void Block(const RunTableEntry& entry, const std::uint8_t* in, std::uint8_t* out);
// that transforms one block with its entry. Each kernel's file instantiates the loop itself, so
// that the loop is compiled with the instructions its kernel needs.

#include <cstddef>
#include <cstdint>

#include "cipher/cipher.h"
#include "cipher/run_plan.h"

namespace cipher_detail {

// Blocks planned per stretch: the plan stays in the first level cache next to the table.
constexpr std::size_t kPlanBlocks = 256;

template <typename Kernel>
void RunBlocks(const RunTable& table, RunPosition& position, const std::uint8_t* in,
               std::size_t blocks, std::uint8_t* out) {
    const auto* entries = reinterpret_cast<const unsigned char*>(table.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun(position, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, in += 16, out += 16) {
            Kernel::Block(EntryAt(entries, plan[i]), in, out);
        }
        blocks -= stretch;
    }
}

using RunFunction = void (*)(const RunTable&, RunPosition&, const std::uint8_t*, std::size_t,
                             std::uint8_t*);

struct RunKernels {
    RunFunction encrypt;
    RunFunction decrypt;
};

// The portable kernels, usable on any processor.
extern const RunKernels kPortableKernels;
// The kernels with the SSSE3 byte shuffle, or null where this build has none. The caller checks
// that the processor has the instruction.
const RunKernels* Ssse3Kernels();

}  // namespace cipher_detail

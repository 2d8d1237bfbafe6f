#pragma once
// The run loop over full blocks, shared by every block kernel. A kernel is a function
//   void Kernel(const std::uint8_t* shuffle, const std::uint8_t* mask, const std::uint8_t* in,
//               std::uint8_t* out);
// that writes the block at in, shuffled by the sixteen indexes at shuffle and then xor-ed with the
// sixteen bytes at mask, to out (both parts of a 64-byte aligned table entry). Each kernel's file
// instantiates the loop itself, so that the loop is compiled with the instructions its kernel
// needs.

#include <cstddef>
#include <cstdint>

#include "cipher/cipher.h"
#include "cipher/run_plan.h"

namespace cipher_detail {

// Blocks planned per stretch: the plan stays in the first level cache next to the table.
constexpr std::size_t kPlanBlocks = 256;

template <auto Kernel, bool kEncrypt>
void RunBlocks(const RunTable& table, RunPosition& position, const std::uint8_t* in,
               std::size_t blocks, std::uint8_t* out) {
    const auto* entries = reinterpret_cast<const unsigned char*>(table.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun(position, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, in += 16, out += 16) {
            const RunTableEntry& entry = EntryAt(entries, plan[i]);
            // Encryption masks after the shuffle, with the mask in emission order (the mask goes
            // with the bytes); decryption puts the bytes back in place and unmasks them.
            if constexpr (kEncrypt) {
                Kernel(entry.order.data(), entry.shuffledMask.data(), in, out);
            } else {
                Kernel(entry.placement.data(), entry.mask.data(), in, out);
            }
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

template <auto Kernel>
constexpr RunKernels KernelRuns() {
    return {RunBlocks<Kernel, true>, RunBlocks<Kernel, false>};
}

// The portable kernels, usable on any processor.
extern const RunKernels kPortableKernels;
// The kernels with the SSSE3 byte shuffle, or null where this build has none. The caller checks
// that the processor has the instruction.
const RunKernels* Ssse3Kernels();

}  // namespace cipher_detail

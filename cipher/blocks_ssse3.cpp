// The block kernel with the processor's byte-shuffle instruction (SSSE3). This file is compiled
// for SSSE3 as a whole, so that the run loop instantiated here inlines the kernel; its code runs
// only when the processor was found to have the instruction at start-up.

#include "cipher/block_run.h"

#if defined(__SSSE3__)
#include <immintrin.h>

namespace cipher_detail {
namespace {

[[gnu::always_inline]] inline void ShuffleThenMask(const std::uint8_t* shuffle,
                                                   const std::uint8_t* mask, const std::uint8_t* in,
                                                   std::uint8_t* out) {
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(shuffle));
    const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_xor_si128(_mm_shuffle_epi8(block, order), bytes));
}

constexpr RunKernels kSsse3Kernels = KernelRuns<ShuffleThenMask>();

}  // namespace

const RunKernels* Ssse3Kernels() {
    return &kSsse3Kernels;
}

}  // namespace cipher_detail

#else

const cipher_detail::RunKernels* cipher_detail::Ssse3Kernels() {
    return nullptr;
}

#endif

// The portable block kernel: the byte shuffle as gathers of bytes into words.

#include "cipher/block_run.h"
#include "cipher/bytes.h"

namespace cipher_detail {
namespace {

[[gnu::always_inline]] inline void GatherThenMask(const std::uint8_t* shuffle,
                                                  const std::uint8_t* mask, const std::uint8_t* in,
                                                  std::uint8_t* out) {
    const std::uint64_t low = GatherWord(in, shuffle) ^ LoadLittleEndian(mask);
    const std::uint64_t high = GatherWord(in, shuffle + 8) ^ LoadLittleEndian(mask + 8);
    StoreLittleEndian(low, out);
    StoreLittleEndian(high, out + 8);
}

}  // namespace

const RunKernels kPortableKernels = KernelRuns<GatherThenMask>();

}  // namespace cipher_detail

// The portable block kernels: the byte shuffle as gathers of bytes into words.

#include "cipher/block_run.h"
#include "cipher/bytes.h"

namespace cipher_detail {
namespace {

// block gathered by the 16 indexes at shuffle, then xor-ed with the 16 bytes at mask.
[[gnu::always_inline]] inline void GatherThenMask(const std::uint8_t* shuffle,
                                                  const std::uint8_t* mask, const std::uint8_t* in,
                                                  std::uint8_t* out) {
    const std::uint64_t low = GatherWord(in, shuffle) ^ LoadLittleEndian(mask);
    const std::uint64_t high = GatherWord(in, shuffle + 8) ^ LoadLittleEndian(mask + 8);
    StoreLittleEndian(low, out);
    StoreLittleEndian(high, out + 8);
}

struct EncryptPortable {
    // The mask goes with the bytes, so it may as well be applied after the shuffle.
    [[gnu::always_inline]] static void Block(const RunTableEntry& entry, const std::uint8_t* in,
                                             std::uint8_t* out) {
        GatherThenMask(entry.order.data(), entry.shuffledMask.data(), in, out);
    }
};

struct DecryptPortable {
    [[gnu::always_inline]] static void Block(const RunTableEntry& entry, const std::uint8_t* in,
                                             std::uint8_t* out) {
        GatherThenMask(entry.placement.data(), entry.mask.data(), in, out);
    }
};

}  // namespace

const RunKernels kPortableKernels = {RunBlocks<EncryptPortable>, RunBlocks<DecryptPortable>};

}  // namespace cipher_detail

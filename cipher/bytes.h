#pragma once
// Byte helpers of the block code: little-endian words and gathers of bytes into a word.

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace cipher_detail {

// Loads eight bytes so that byte 0 in memory is the least significant byte of the result.
[[gnu::always_inline]] inline std::uint64_t LoadLittleEndian(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < 8; ++i) value |= std::uint64_t(bytes[i]) << (8 * i);
    } else {
        std::memcpy(&value, bytes, sizeof value);
    }
    return value;
}

[[gnu::always_inline]] inline void StoreLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(value >> (8 * i));
    } else {
        std::memcpy(bytes, &value, sizeof value);
    }
}

// The little-endian word of the eight bytes source[index[0]], ..., source[index[7]], assembled in
// a register (bytes stored one by one and read back as a word would stall the processor).
template <std::size_t... K>
[[gnu::always_inline]] inline std::uint64_t GatherWord(const std::uint8_t* source,
                                                       const std::uint8_t* index,
                                                       std::index_sequence<K...>) {
    return ((std::uint64_t(source[index[K]]) << (8 * K)) | ...);
}

[[gnu::always_inline]] inline std::uint64_t GatherWord(const std::uint8_t* source,
                                                       const std::uint8_t* index) {
    return GatherWord(source, index, std::make_index_sequence<8>());
}

}  // namespace cipher_detail

#pragma once
// Run planning: the counter steps of a stretch of full blocks, as each block's entry in the run
// table.

#include <cstddef>
#include <cstdint>

#include "cipher/cipher.h"

namespace cipher_detail {

// A block's plan: the byte offset of its entry in the run table, for the total rotation r.
using PlanEntry = std::uint16_t;
static_assert(sizeof(RunTableEntry) == 64);

// Room a plan needs after its last block: a quiet stretch writes eight entries.
constexpr std::size_t kPlanSlack = 8;

[[gnu::always_inline]] inline PlanEntry EntryOffset(std::uint32_t rotation) {
    return PlanEntry((rotation & 63u) << 6);
}

[[gnu::always_inline]] inline const RunTableEntry& EntryAt(const unsigned char* table,
                                                           PlanEntry offset) {
    return *reinterpret_cast<const RunTableEntry*>(table + offset);
}

// Plans the next blocks steps from position into plan[0..blocks-1] and moves position past them,
// exactly as one step per block would. plan has room for kPlanSlack entries more.
void PlanRun(RunPosition& position, std::size_t blocks, PlanEntry* plan);

}  // namespace cipher_detail

#include "cipher/cipher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VYX_X86_SHUFFLE 1
#include <immintrin.h>
#else
#define VYX_X86_SHUFFLE 0
#endif

namespace {

constexpr int kKeyTextLength = 19;

constexpr bool IsSeparatorPosition(int position) {
    return position == 4 || position == 9 || position == 14;
}

// The value 0..35 of a key character, or -1 for anything else (lower case included).
constexpr int KeyCharacterValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return -1;
}

// Folds eight digits into 32 bits: byte i is digit i OR digit i + 4.
std::uint64_t FoldDigits(const std::uint8_t* digits) {
    std::uint64_t folded = 0;
    for (int i = 0; i < 4; ++i) {
        folded |= std::uint64_t(digits[i] | digits[i + 4]) << (8 * i);
    }
    return folded;
}

// Loads eight bytes so that byte 0 in memory is the least significant byte of the result.
std::uint64_t LoadLittleEndian(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        std::uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i) swapped |= std::uint64_t(bytes[i]) << (8 * i);
        value = swapped;
    }
    return value;
}

void StoreLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(value >> (8 * i));
    } else {
        std::memcpy(bytes, &value, sizeof value);
    }
}

bool SameBytes(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b) {
    std::uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&a1, a.data() + 8, 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&b1, b.data() + 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Copied as two words, so that the next comparison (SameBytes) reads what was stored: a single
// wide store read back as two halves would stall the processor.
[[gnu::always_inline]] inline void CopyKeyBytes(const std::array<std::uint8_t, 16>& from,
                                                std::array<std::uint8_t, 16>& to) {
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, from.data(), 8);
    std::memcpy(&high, from.data() + 8, 8);
    std::memcpy(to.data(), &low, 8);
    std::memcpy(to.data() + 8, &high, 8);
}

// Rotates each of the sixteen bytes left by count (0..7).
std::array<std::uint8_t, 16> RotateKeyBytes(const std::array<std::uint8_t, 16>& bytes,
                                            unsigned count) {
    std::array<std::uint8_t, 16> rotated{};
    for (int i = 0; i < 16; ++i) rotated[i] = std::rotl(bytes[i], int(count));
    return rotated;
}

// Whether the key bytes are still those of the order rows (they are unless set by hand).
[[gnu::always_inline]] inline bool RowsMatchKeyBytes(const CipherState& state) {
    return SameBytes(state.keyBytes, state.orderKeyBytes[state.orderRotation & 7u]);
}

void EnsureRowsMatchKeyBytes(CipherState& state) {
    if (!RowsMatchKeyBytes(state)) RebuildOrderTables(state);
}

using FullBlockFunction = void (*)(CipherState&, const std::uint8_t*, std::uint8_t*);

// The rare way into a full-block function: rebuild the rows, then take the usual way. Kept out of
// line so that the usual way needs no stack frame.
template <FullBlockFunction Usual>
[[gnu::noinline]] void RebuildRowsThen(CipherState& state, const std::uint8_t* in,
                                       std::uint8_t* out) {
    RebuildOrderTables(state);
    Usual(state, in, out);
}

struct StepResult {
    std::uint64_t wordA;
    std::uint64_t wordB;
    const std::uint8_t* order;      // the full-block emission order for the advanced key bytes
    const std::uint8_t* placement;  // its inverse
};

// One step of the state, leaving in registers what the block transform needs next. The rows must
// match the key bytes.
[[gnu::always_inline]] inline StepResult StepState(CipherState& state) {
    // Each counter is tested on every step, not only when the one below it changed.
    const std::uint64_t blockCounter = state.blockCounter + 1;
    const std::uint64_t counter1 = state.counter1 + (blockCounter % 7 == 0 ? 1 : 0);
    const std::uint64_t counter2 = state.counter2 + (counter1 % 23 == 0 ? 1 : 0);
    const std::uint64_t counter3 = state.counter3 + (counter2 % 37 == 0 ? 1 : 0);
    state.blockCounter = blockCounter;
    state.counter1 = counter1;
    state.counter2 = counter2;
    state.counter3 = counter3;

    const auto sum = std::int32_t(std::uint32_t(blockCounter + counter1 + counter2 + counter3));
    // A negative sum gives negative (or zero) remainders, which rotate nothing. For a positive
    // sum the word rotation by (sum % 128) % 64 is a rotation by sum % 64.
    const std::uint32_t amount = sum > 0 ? std::uint32_t(sum) : 0u;

    const std::uint64_t wordA = std::rotl(state.wordA, int(amount & 63));
    const std::uint64_t wordB = std::rotl(state.wordB, int(amount & 63));
    state.wordA = wordA;
    state.wordB = wordB;
    // Keeps the run table's rotation in step, so that runs after single blocks can still use it.
    state.runRotation = std::uint8_t((state.runRotation + amount) & 63u);

    const std::size_t row = (state.orderRotation + amount) & 7u;
    state.orderRotation = std::uint8_t(row);
    CopyKeyBytes(state.orderKeyBytes[row], state.keyBytes);
    return {wordA, wordB, state.emissionOrders[row].data(), state.placementOrders[row].data()};
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

void EncryptFullPortable(CipherState& state, const std::uint8_t* block, std::uint8_t* out) {
    if (!RowsMatchKeyBytes(state)) [[unlikely]] {
        return RebuildRowsThen<EncryptFullPortable>(state, block, out);
    }
    const StepResult step = StepState(state);
    std::uint8_t masked[16];
    StoreLittleEndian(LoadLittleEndian(block) ^ step.wordA, masked);
    StoreLittleEndian(LoadLittleEndian(block + 8) ^ step.wordB, masked + 8);
    StoreLittleEndian(GatherWord(masked, step.order), out);
    StoreLittleEndian(GatherWord(masked, step.order + 8), out + 8);
}

void DecryptFullPortable(CipherState& state, const std::uint8_t* stored, std::uint8_t* area) {
    if (!RowsMatchKeyBytes(state)) [[unlikely]] {
        return RebuildRowsThen<DecryptFullPortable>(state, stored, area);
    }
    const StepResult step = StepState(state);
    StoreLittleEndian(GatherWord(stored, step.placement) ^ step.wordA, area);
    StoreLittleEndian(GatherWord(stored, step.placement + 8) ^ step.wordB, area + 8);
}

#if VYX_X86_SHUFFLE
// The byte shuffle as one SSSE3 instruction, chosen at start-up when the processor has it.
[[gnu::target("ssse3")]] void EncryptFullSsse3(CipherState& state, const std::uint8_t* block,
                                               std::uint8_t* out) {
    if (!RowsMatchKeyBytes(state)) [[unlikely]] {
        return RebuildRowsThen<EncryptFullSsse3>(state, block, out);
    }
    const StepResult step = StepState(state);
    const __m128i mask = _mm_set_epi64x(std::int64_t(step.wordB), std::int64_t(step.wordA));
    const __m128i masked =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), mask);
    const __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.order));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(masked, order));
}

[[gnu::target("ssse3")]] void DecryptFullSsse3(CipherState& state, const std::uint8_t* stored,
                                               std::uint8_t* area) {
    if (!RowsMatchKeyBytes(state)) [[unlikely]] {
        return RebuildRowsThen<DecryptFullSsse3>(state, stored, area);
    }
    const StepResult step = StepState(state);
    const __m128i mask = _mm_set_epi64x(std::int64_t(step.wordB), std::int64_t(step.wordA));
    const __m128i placement = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.placement));
    const __m128i placed =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(stored)), placement);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(area), _mm_xor_si128(placed, mask));
}
#endif

// Runs of full blocks. Over a run the words only rotate and the order row moves with them, so
// each block's mask and order is the run table's entry for the total rotation so far. A run first
// plans a stretch of blocks (the counter steps, giving each block's entry), then transforms them;
// the counters, words and key bytes are stored once at the end, as one step per block leaves them.

// The four counters and the total rotation of the words since the run table was built.
struct RunCounters {
    std::uint64_t blockCounter, counter1, counter2, counter3;
    unsigned rotation;  // 0..63
};

// The rotation a step adds, from the low 32 bits of the counters' sum: a negative (or zero) sum
// rotates nothing, a positive one rotates the words by sum % 64 and the row by sum % 8.
[[gnu::always_inline]] inline unsigned StepRotation(std::uint32_t sum) {
    return std::int32_t(sum) > 0 ? sum : 0u;
}

// A block's plan: the byte offset of its entry in the run table, for the total rotation r.
using PlanEntry = std::uint16_t;
static_assert(sizeof(cipher_detail::RunTableEntry) == 64);

[[gnu::always_inline]] inline PlanEntry EntryOffset(std::uint32_t rotation) {
    return PlanEntry((rotation & 63u) << 6);
}

[[gnu::always_inline]] inline const cipher_detail::RunTableEntry& EntryAt(
    const unsigned char* table, PlanEntry offset) {
    return *reinterpret_cast<const cipher_detail::RunTableEntry*>(table + offset);
}

// Steps exactly as one block does, with the modulos; for counters that may wrap during the run.
void PlanExactSteps(RunCounters& c, std::size_t blocks, PlanEntry* plan) {
    for (std::size_t i = 0; i < blocks; ++i) {
        c.blockCounter += 1;
        c.counter1 += c.blockCounter % 7 == 0 ? 1 : 0;
        c.counter2 += c.counter1 % 23 == 0 ? 1 : 0;
        c.counter3 += c.counter2 % 37 == 0 ? 1 : 0;
        const auto sum = std::uint32_t(c.blockCounter + c.counter1 + c.counter2 + c.counter3);
        c.rotation = (c.rotation + StepRotation(sum)) & 63u;
        plan[i] = EntryOffset(c.rotation);
    }
}

// Room a plan needs after its last block: a quiet stretch writes eight entries.
constexpr std::size_t kPlanSlack = 8;

// Plans quiet steps 1..8 from rotation base and sum (the caller keeps those it needs). Step k adds
// sum + k * increase, so the rotation after it is base + k * sum + increase * k * (k + 1) / 2:
// no step waits for the one before. Sixteen bits are plenty, as only the rotation mod 64 counts.
// With kVector, in eight 16-bit lanes (SSE2 is part of every x86-64 processor); the portable runs
// take the scalar loop, so that it is checked on these processors too.
// extra is added to step 7 (and so to its rotation and the next one's).
template <bool kVector>
[[gnu::always_inline]] inline void PlanQuietSteps(std::uint32_t base, std::uint32_t sum,
                                                  std::uint32_t grow3, std::uint32_t extra,
                                                  PlanEntry* plan) {
#if VYX_X86_SHUFFLE && defined(__SSE2__)
    if constexpr (kVector) {
        const __m128i steps = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
        const __m128i triangles = _mm_setr_epi16(1, 3, 6, 10, 15, 21, 28, 36);
        __m128i after = _mm_mullo_epi16(_mm_set1_epi16(std::int16_t(sum)), steps);
        after = _mm_add_epi16(after, _mm_set1_epi16(std::int16_t(base)));
        after = _mm_add_epi16(after, _mm_sll_epi16(triangles, _mm_cvtsi32_si128(int(grow3))));
        after = _mm_add_epi16(after, _mm_insert_epi16(_mm_setzero_si128(), int(extra), 6));
        after = _mm_and_si128(_mm_slli_epi16(after, 6), _mm_set1_epi16(63 << 6));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(plan), after);
        return;
    }
#endif
    const std::uint32_t increase = 1 + grow3;
    for (std::uint32_t k = 1; k <= 8; ++k) {
        plan[k - 1] =
            EntryOffset(base + k * sum + increase * (k * (k + 1) / 2) + (k == 7 ? extra : 0));
    }
}

// The same steps with the three remainders kept as the counters move. Up to the step where
// blockCounter reaches the next multiple of 7, counter1 stays as it is; when it is not a multiple
// of 23, counter2 stays as well, and counter3 grows on every one of those quiet steps or on none.
// The quiet steps (at most six) are then planned at once, and only the step after them tests the
// remainders; a whole week (six quiet steps from a multiple of 7 and the step that reaches the
// next one) is planned in one go. Other steps (counter1 a multiple of 23, sums near the sign
// boundary) go one at a time. Counters must not wrap in the run; plan has room for kPlanSlack
// entries after blocks.
template <bool kVector>
void PlanSteps(RunCounters& c, std::size_t blocks, PlanEntry* plan) {
    std::uint64_t blockCounter = c.blockCounter;
    std::uint64_t counter1 = c.counter1;
    std::uint64_t counter2 = c.counter2;
    std::uint64_t counter3 = c.counter3;
    unsigned r7 = unsigned(blockCounter % 7);
    unsigned r23 = unsigned(counter1 % 23);
    unsigned r37 = unsigned(counter2 % 37);
    auto sum = std::uint32_t(blockCounter + counter1 + counter2 + counter3);
    std::uint32_t rotation = c.rotation;
    // Sums from here on stay positive over the quiet steps and the one after (at most four each).
    constexpr std::uint32_t kLastStretchStart = 0x7FFFFFFFu - 7 * 4;
    std::size_t i = 0;
    while (i < blocks) {
        if (r7 == 0 && r23 != 0 && blocks - i >= 7 && sum - 1 < kLastStretchStart) {
            // A whole week: six quiet steps, then the step where blockCounter reaches the next
            // multiple of 7, which adds extra over what an eighth quiet step would.
            const std::uint32_t grow3 = r37 == 0 ? 1 : 0;
            const std::uint32_t increase = 1 + grow3;
            r23 = r23 == 22 ? 0 : r23 + 1;
            const std::uint32_t grow2 = r23 == 0 ? 1 : 0;
            if (grow2 != 0) r37 = r37 == 36 ? 0 : r37 + 1;
            const std::uint32_t lastGrow3 = r37 == 0 ? 1 : 0;
            const std::uint32_t extra = 2 + grow2 + lastGrow3 - increase;
            PlanQuietSteps<kVector>(rotation, sum, grow3, extra, plan + i);
            rotation += 7 * sum + 28 * increase + extra;
            sum += 7 * increase + extra;
            blockCounter += 7;
            counter1 += 1;
            counter2 += grow2;
            counter3 += 6 * grow3 + lastGrow3;
            i += 7;
            continue;
        }
        if (r23 != 0 && sum - 1 < kLastStretchStart) {
            const std::uint32_t grow3 = r37 == 0 ? 1 : 0;
            const std::uint32_t increase = 1 + grow3;
            const std::uint32_t base = rotation;
            PlanQuietSteps<kVector>(base, sum, grow3, 0, plan + i);
            const std::size_t left = blocks - i;
            const auto quiet = std::uint32_t(left < 6 - r7 ? left : 6 - r7);
            i += quiet;
            r7 += quiet;
            blockCounter += quiet;
            counter3 += std::uint64_t(grow3 * quiet);
            rotation = base + quiet * sum + increase * (quiet * (quiet + 1) / 2);
            sum += quiet * increase;
            if (i == blocks) break;
        }
        blockCounter += 1;
        r7 = r7 == 6 ? 0 : r7 + 1;
        const std::uint32_t grow1 = r7 == 0 ? 1 : 0;
        counter1 += grow1;
        if (grow1 != 0) r23 = r23 == 22 ? 0 : r23 + 1;
        const std::uint32_t grow2 = r23 == 0 ? 1 : 0;
        counter2 += grow2;
        if (grow2 != 0) r37 = r37 == 36 ? 0 : r37 + 1;
        const std::uint32_t grow3 = r37 == 0 ? 1 : 0;
        counter3 += grow3;
        sum += 1 + grow1 + grow2 + grow3;
        rotation += StepRotation(sum);
        plan[i++] = EntryOffset(rotation);
    }
    c.blockCounter = blockCounter;
    c.counter1 = counter1;
    c.counter2 = counter2;
    c.counter3 = counter3;
    c.rotation = rotation & 63u;
}

// Out of line: inlined, its wide copy of the words would make every run read them as one
// 16-byte load, which cannot be served from the two 8-byte stores the previous run left.
[[gnu::noinline, gnu::cold]] void BuildRunTable(CipherState& state) {
    state.runWordA = state.wordA;
    state.runWordB = state.wordB;
    state.runRow = std::uint8_t(state.orderRotation & 7u);
    state.runRotation = 0;
    state.runKeyBytes = state.orderKeyBytes[0];
    for (unsigned r = 0; r < 64; ++r) {
        cipher_detail::RunTableEntry& entry = state.runTable[r];
        const std::size_t row = (state.runRow + r) & 7u;
        StoreLittleEndian(std::rotl(state.wordA, int(r)), entry.mask.data());
        StoreLittleEndian(std::rotl(state.wordB, int(r)), entry.mask.data() + 8);
        entry.order = state.emissionOrders[row];
        entry.placement = state.placementOrders[row];
        for (std::size_t i = 0; i < 16; ++i) entry.shuffledMask[i] = entry.mask[entry.order[i]];
    }
    state.runTableBuilt = true;
}

// Makes the rows and the run table fit the current state and returns the planning state.
RunCounters PrepareRun(CipherState& state) {
    EnsureRowsMatchKeyBytes(state);
    const unsigned rotation = state.runRotation & 63u;
    const bool fits = state.runTableBuilt &&
                      std::rotl(state.runWordA, int(rotation)) == state.wordA &&
                      std::rotl(state.runWordB, int(rotation)) == state.wordB &&
                      ((state.runRow + rotation) & 7u) == (state.orderRotation & 7u) &&
                      SameBytes(state.runKeyBytes, state.orderKeyBytes[0]);
    if (!fits) BuildRunTable(state);
    return {state.blockCounter, state.counter1, state.counter2, state.counter3,
            state.runRotation & 63u};
}

template <bool kVector>
void PlanRun(RunCounters& c, std::size_t blocks, PlanEntry* plan) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    const std::uint64_t highest =
        std::max(std::max(c.blockCounter, c.counter1), std::max(c.counter2, c.counter3));
    if (highest <= kMax - blocks) {
        PlanSteps<kVector>(c, blocks, plan);
    } else {
        PlanExactSteps(c, blocks, plan);
    }
}

void FinishRun(CipherState& state, const RunCounters& c) {
    state.blockCounter = c.blockCounter;
    state.counter1 = c.counter1;
    state.counter2 = c.counter2;
    state.counter3 = c.counter3;
    state.runRotation = std::uint8_t(c.rotation);
    state.wordA = std::rotl(state.runWordA, int(c.rotation));
    state.wordB = std::rotl(state.runWordB, int(c.rotation));
    const std::size_t row = (state.runRow + c.rotation) & 7u;
    state.orderRotation = std::uint8_t(row);
    CopyKeyBytes(state.orderKeyBytes[row], state.keyBytes);
}

// Blocks planned per stretch: the plan stays in the first level cache next to the table.
constexpr std::size_t kPlanBlocks = 256;

using BlockRunFunction = void (*)(CipherState&, const std::uint8_t*, std::size_t, std::uint8_t*);

void EncryptRunPortable(CipherState& state, const std::uint8_t* in, std::size_t blocks,
                        std::uint8_t* out) {
    RunCounters counters = PrepareRun(state);
    const auto* table = reinterpret_cast<const unsigned char*>(state.runTable.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun<false>(counters, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, in += 16, out += 16) {
            const cipher_detail::RunTableEntry& entry = EntryAt(table, plan[i]);
            // The mask goes with the bytes, so it may as well be applied after the shuffle.
            const std::uint64_t low =
                GatherWord(in, entry.order.data()) ^ LoadLittleEndian(entry.shuffledMask.data());
            const std::uint64_t high = GatherWord(in, entry.order.data() + 8) ^
                                       LoadLittleEndian(entry.shuffledMask.data() + 8);
            StoreLittleEndian(low, out);
            StoreLittleEndian(high, out + 8);
        }
        blocks -= stretch;
    }
    FinishRun(state, counters);
}

void DecryptRunPortable(CipherState& state, const std::uint8_t* stored, std::size_t blocks,
                        std::uint8_t* out) {
    RunCounters counters = PrepareRun(state);
    const auto* table = reinterpret_cast<const unsigned char*>(state.runTable.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun<false>(counters, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, stored += 16, out += 16) {
            const cipher_detail::RunTableEntry& entry = EntryAt(table, plan[i]);
            const std::uint64_t low =
                GatherWord(stored, entry.placement.data()) ^ LoadLittleEndian(entry.mask.data());
            const std::uint64_t high = GatherWord(stored, entry.placement.data() + 8) ^
                                       LoadLittleEndian(entry.mask.data() + 8);
            StoreLittleEndian(low, out);
            StoreLittleEndian(high, out + 8);
        }
        blocks -= stretch;
    }
    FinishRun(state, counters);
}

#if VYX_X86_SHUFFLE
[[gnu::target("ssse3")]] void EncryptRunSsse3(CipherState& state, const std::uint8_t* in,
                                              std::size_t blocks, std::uint8_t* out) {
    RunCounters counters = PrepareRun(state);
    const auto* table = reinterpret_cast<const unsigned char*>(state.runTable.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun<true>(counters, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, in += 16, out += 16) {
            const cipher_detail::RunTableEntry& entry = EntryAt(table, plan[i]);
            const __m128i order =
                _mm_load_si128(reinterpret_cast<const __m128i*>(entry.order.data()));
            const __m128i mask =
                _mm_load_si128(reinterpret_cast<const __m128i*>(entry.shuffledMask.data()));
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_xor_si128(_mm_shuffle_epi8(block, order), mask));
        }
        blocks -= stretch;
    }
    FinishRun(state, counters);
}

[[gnu::target("ssse3")]] void DecryptRunSsse3(CipherState& state, const std::uint8_t* stored,
                                              std::size_t blocks, std::uint8_t* out) {
    RunCounters counters = PrepareRun(state);
    const auto* table = reinterpret_cast<const unsigned char*>(state.runTable.data());
    PlanEntry plan[kPlanBlocks + kPlanSlack];
    while (blocks > 0) {
        const std::size_t stretch = blocks < kPlanBlocks ? blocks : kPlanBlocks;
        PlanRun<true>(counters, stretch, plan);
#pragma GCC unroll 4
        for (std::size_t i = 0; i < stretch; ++i, stored += 16, out += 16) {
            const cipher_detail::RunTableEntry& entry = EntryAt(table, plan[i]);
            const __m128i placement =
                _mm_load_si128(reinterpret_cast<const __m128i*>(entry.placement.data()));
            const __m128i mask =
                _mm_load_si128(reinterpret_cast<const __m128i*>(entry.mask.data()));
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_xor_si128(_mm_shuffle_epi8(block, placement), mask));
        }
        blocks -= stretch;
    }
    FinishRun(state, counters);
}
#endif

// A block has 1 to 16 bytes; anything else is a caller's fault that must not touch memory.
void CheckBlockLength(int n) {
    if (n < 1 || n > 16) throw std::out_of_range("cipher block length outside 1..16");
}

// Kept out of line so that the full-block calls stay short.
[[gnu::noinline]] void EncryptShortBlock(CipherState& state, const std::uint8_t* block, int n,
                                         std::uint8_t* out) {
    CheckBlockLength(n);
    EnsureRowsMatchKeyBytes(state);
    const StepResult step = StepState(state);
    std::uint8_t masked[16];
    for (int i = 0; i < n; ++i) {
        const std::uint64_t word = i < 8 ? step.wordA : step.wordB;
        masked[i] = std::uint8_t(block[i] ^ std::uint8_t(word >> (8 * (i & 7))));
    }
    // A short block keeps the full order's sequence among its own positions (the sort is
    // stable, so dropping the positions from n on leaves the order of the rest unchanged).
    int k = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t position = step.order[i];
        if (position < n) out[k++] = masked[position];
    }
}

[[gnu::noinline]] void DecryptShortBlock(CipherState& state, const std::uint8_t* stored, int n,
                                         std::uint8_t* area) {
    CheckBlockLength(n);
    EnsureRowsMatchKeyBytes(state);
    const StepResult step = StepState(state);
    int k = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t position = step.order[i];
        if (position < n) area[position] = stored[k++];
    }
    // All sixteen positions are unmasked; those from n on are never part of the result.
    StoreLittleEndian(LoadLittleEndian(area) ^ step.wordA, area);
    StoreLittleEndian(LoadLittleEndian(area + 8) ^ step.wordB, area + 8);
}

struct FullBlockPaths {
    FullBlockFunction encrypt;
    FullBlockFunction decrypt;
    BlockRunFunction encryptRun;
    BlockRunFunction decryptRun;
};

constexpr FullBlockPaths PortablePaths() {
    return {EncryptFullPortable, DecryptFullPortable, EncryptRunPortable, DecryptRunPortable};
}

bool VectorShuffleAvailable() {
#if VYX_X86_SHUFFLE
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

FullBlockPaths VectorPaths() {
#if VYX_X86_SHUFFLE
    return {EncryptFullSsse3, DecryptFullSsse3, EncryptRunSsse3, DecryptRunSsse3};
#else
    return PortablePaths();
#endif
}

// Usable before any start-up code has run; upgraded to the vector shuffle at start-up.
constinit FullBlockPaths gFullBlockPaths = PortablePaths();

}  // namespace

KeyParseResult ParseKeyText(std::u16string_view text) {
    KeyParseResult result;
    if (text.empty()) return result;

    result.verdict = KeyVerdict::KeyMalformed;
    if (text.size() < std::size_t(kKeyTextLength)) return result;

    // Every position is judged; the verdict does not depend on which one fails first.
    bool wellFormed = true;
    KeyDigits digits{};
    int digit = 0;
    for (int position = 0; position < kKeyTextLength; ++position) {
        const char16_t c = text[std::size_t(position)];
        if (IsSeparatorPosition(position)) {
            wellFormed = wellFormed && c == u'.';
            continue;
        }
        const int value = KeyCharacterValue(c);
        wellFormed = wellFormed && value >= 0;
        digits[std::size_t(digit++)] = std::uint8_t(value < 0 ? 0 : value);
    }
    if (wellFormed) {
        result.verdict = KeyVerdict::KeyAccepted;
        result.digits = digits;
    }
    return result;
}

CipherState InitCipherState(const KeyDigits& digits) {
    CipherState state;
    const std::uint64_t p = FoldDigits(digits.data());
    const std::uint64_t q = FoldDigits(digits.data() + 8);
    state.wordA = p * p;
    state.wordB = q * q;
    std::uint64_t sum = 0;
    for (int i = 0; i < 8; ++i) {
        state.keyBytes[std::size_t(i)] = std::uint8_t(state.wordA >> (8 * i));
        state.keyBytes[8 + std::size_t(i)] = std::uint8_t(state.wordB >> (8 * i));
        sum += state.keyBytes[std::size_t(i)];
    }
    state.blockCounter = sum;
    RebuildOrderTables(state);
    return state;
}

namespace {
// Over the 64 rotations, each of the eight byte places sees every run of eight cyclically
// adjacent bits of the word once. Bit p of the OR below is clear exactly when the run starting at
// bit p is all zero.
int ZeroMaskBytesOfWord(std::uint64_t word) {
    std::uint64_t covered = 0;
    for (int shift = 0; shift < 8; ++shift) covered |= std::rotr(word, shift);
    return 8 * (64 - std::popcount(covered));
}
}  // namespace

int ZeroMaskBytes(std::uint64_t wordA, std::uint64_t wordB) {
    return ZeroMaskBytesOfWord(wordA) + ZeroMaskBytesOfWord(wordB);
}

bool LeavesDataInClear(const CipherState& state) {
    constexpr int kMaskBytes = 2 * 64 * 8;
    return 4 * ZeroMaskBytes(state.wordA, state.wordB) >= kMaskBytes;
}

void RebuildOrderTables(CipherState& state) {
    state.orderRotation = 0;
    for (unsigned j = 0; j < 8; ++j) {
        const std::array<std::uint8_t, 16> keys = RotateKeyBytes(state.keyBytes, j);
        state.orderKeyBytes[j] = keys;
        std::array<std::uint8_t, 16>& order = state.emissionOrders[j];
        EmissionOrder(keys, 16, order);
        for (std::uint8_t k = 0; k < 16; ++k) state.placementOrders[j][order[k]] = k;
    }
}

std::uint64_t RotateLeft64(std::uint64_t value, std::int32_t count) {
    if (count <= 0) return value;
    return std::rotl(value, count % 64);
}

std::uint8_t RotateLeft8(std::uint8_t value, std::int32_t count) {
    if (count <= 0) return value;
    return std::rotl(value, count % 8);
}

void AdvanceCipherState(CipherState& state) {
    EnsureRowsMatchKeyBytes(state);
    StepState(state);
}

std::array<std::uint8_t, 16> BlockMask(const CipherState& state) {
    std::array<std::uint8_t, 16> mask{};
    StoreLittleEndian(state.wordA, mask.data());
    StoreLittleEndian(state.wordB, mask.data() + 8);
    return mask;
}

void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order) {
    CheckBlockLength(n);
    // Stable insertion sort by descending key byte: equal bytes keep ascending positions.
    for (int i = 0; i < n; ++i) {
        const auto position = std::uint8_t(i);
        int k = i;
        while (k > 0 && keyBytes[order[std::size_t(k - 1)]] < keyBytes[position]) {
            order[std::size_t(k)] = order[std::size_t(k - 1)];
            --k;
        }
        order[std::size_t(k)] = position;
    }
}

void EncryptBlock(CipherState& state, const std::uint8_t* block, int n, std::uint8_t* out) {
    if (n == 16) {
        gFullBlockPaths.encrypt(state, block, out);
    } else {
        EncryptShortBlock(state, block, n, out);
    }
}

void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea) {
    if (n == 16) {
        gFullBlockPaths.decrypt(state, stored, restoreArea.data());
    } else {
        DecryptShortBlock(state, stored, n, restoreArea.data());
    }
}

void EncryptBlocks(CipherState& state, const std::uint8_t* blocks, std::size_t count,
                   std::uint8_t* out) {
    if (count > 0) gFullBlockPaths.encryptRun(state, blocks, count, out);
}

void DecryptBlocks(CipherState& state, const std::uint8_t* stored, std::size_t count,
                   std::uint8_t* out) {
    if (count > 0) gFullBlockPaths.decryptRun(state, stored, count, out);
}

bool UseVectorShuffle(bool wanted) {
    const bool use = wanted && VectorShuffleAvailable();
    gFullBlockPaths = use ? VectorPaths() : PortablePaths();
    return use;
}

namespace {
const bool gVectorShuffleChosen = UseVectorShuffle(true);
}  // namespace

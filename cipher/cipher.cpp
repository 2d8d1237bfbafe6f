#include "cipher/cipher.h"

#include <bit>
#include <cstddef>
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
constexpr std::uint64_t kLargestValue = ~std::uint64_t(0);

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
    std::uint64_t value;
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

// Rotates each of the sixteen bytes left by count (0..7).
std::array<std::uint8_t, 16> RotateKeyBytes(const std::array<std::uint8_t, 16>& bytes,
                                            unsigned count) {
    std::array<std::uint8_t, 16> rotated{};
    for (int i = 0; i < 16; ++i) rotated[i] = std::rotl(bytes[i], int(count));
    return rotated;
}

// The two halves of sixteen bytes as words.
[[gnu::always_inline]] inline std::uint64_t LowHalf(const std::array<std::uint8_t, 16>& bytes) {
    std::uint64_t half;
    std::memcpy(&half, bytes.data(), 8);
    return half;
}

[[gnu::always_inline]] inline std::uint64_t HighHalf(const std::array<std::uint8_t, 16>& bytes) {
    std::uint64_t half;
    std::memcpy(&half, bytes.data() + 8, 8);
    return half;
}

// Whether the words and key bytes are still those of the current row (they are unless set by
// hand).
[[gnu::always_inline]] inline bool RowMatchesState(const CipherState& state) {
    const cipher_detail::StateRow& row = state.rows[state.orderRotation & 63u];
    return ((state.wordA ^ row.wordA) | (state.wordB ^ row.wordB) |
            (LowHalf(state.keyBytes) ^ LowHalf(row.keyBytes)) |
            (HighHalf(state.keyBytes) ^ HighHalf(row.keyBytes))) == 0;
}

void EnsureRowMatchesState(CipherState& state) {
    if (!RowMatchesState(state)) RebuildOrderTables(state);
}

// The last of the values from `from` on that are not multiples of `modulus`, `from` itself not
// being one; the run ends before the next multiple or at the largest value.
std::uint64_t RunEnd(std::uint64_t from, std::uint64_t modulus) {
    const std::uint64_t room = modulus - 1 - from % modulus;
    return from > kLargestValue - room ? kLargestValue : from + room;
}

// Sets up the quick step for the counters as they now are.
[[gnu::noinline]] void StartQuickRun(CipherState& state) {
    state.quickCounter1Span = 0;
    if (state.counter2 % 37 == 0) return;
    state.quickCounter2 = state.counter2;
    // counter1 after the next step is itself or one more; the run starts at the first of those
    // that is not a multiple of 23.
    std::uint64_t first = state.counter1;
    if (first % 23 == 0) {
        if (first == kLargestValue) return;
        ++first;
    }
    state.quickCounter1Last = RunEnd(first, 23);
    state.quickCounter1Span = state.quickCounter1Last - first + 1;
}

static_assert(offsetof(CipherState, wordB) == offsetof(CipherState, wordA) + 8);
static_assert(offsetof(cipher_detail::StateRow, wordB) ==
              offsetof(cipher_detail::StateRow, wordA) + 8);

struct StepResult {
    std::uint64_t wordA;
    std::uint64_t wordB;
    const std::uint8_t* order;      // the full-block emission order for the advanced key bytes
    const std::uint8_t* placement;  // its inverse
};

// The end of every step, once the counters are stored: their sum rotates the words and the key
// bytes, which means moving on to another row. Leaves in registers what the block transform
// needs next. The row must match the words and key bytes.
[[gnu::always_inline]] inline StepResult RotateBySum(CipherState& state, std::uint64_t sum64) {
    const auto sum = std::int32_t(std::uint32_t(sum64));
    // A negative sum gives negative (or zero) remainders, which rotate nothing. For a positive
    // sum the word rotation by (sum % 128) % 64 is a rotation by sum % 64, and the key bytes
    // rotate by sum % 8.
    const std::uint32_t amount = sum > 0 ? std::uint32_t(sum) : 0u;
    // The stored rotation counts modulo 256, a multiple of the 64 rows.
    const auto rotation = std::uint8_t(state.orderRotation + amount);
    state.orderRotation = rotation;
    const cipher_detail::StateRow& row = state.rows[rotation & 63u];
    state.wordA = row.wordA;
    state.wordB = row.wordB;
    state.keyBytes = row.keyBytes;
    return {row.wordA, row.wordB, row.emissionOrder.data(), row.placementOrder.data()};
}

// counter1 as the next step leaves it.
[[gnu::always_inline]] inline std::uint64_t NextCounter1(const CipherState& state) {
    return state.counter1 + ((state.blockCounter + 1) % 7 == 0 ? 1 : 0);
}

// Whether the counters allow a quick step next: only blockCounter and counter1 change.
[[gnu::always_inline]] inline bool CountersAllowQuickStep(const CipherState& state) {
    return state.counter2 == state.quickCounter2 &&
           state.quickCounter1Last - NextCounter1(state) < state.quickCounter1Span;
}

// Whether the next step may be a quick one: nothing was set by hand that the rows or the quick
// run do not cover.
[[gnu::always_inline]] inline bool ReadyForQuickStep(const CipherState& state) {
    return RowMatchesState(state) && CountersAllowQuickStep(state);
}

// A step that ReadyForQuickStep admitted.
[[gnu::always_inline]] inline StepResult QuickStep(CipherState& state) {
    const std::uint64_t counter1 = NextCounter1(state);
    const std::uint64_t blockCounter = state.blockCounter + 1;
    state.blockCounter = blockCounter;
    state.counter1 = counter1;
    return RotateBySum(state, blockCounter + counter1 + state.counter2 + state.counter3);
}

// Any step; the row must match the words and key bytes.
[[gnu::always_inline]] inline StepResult FullStep(CipherState& state) {
    // Each counter is tested on every step, not only when the one below it changed.
    const std::uint64_t blockCounter = state.blockCounter + 1;
    const std::uint64_t counter1 = state.counter1 + (blockCounter % 7 == 0 ? 1 : 0);
    const std::uint64_t counter2 = state.counter2 + (counter1 % 23 == 0 ? 1 : 0);
    const std::uint64_t counter3 = state.counter3 + (counter2 % 37 == 0 ? 1 : 0);
    state.blockCounter = blockCounter;
    state.counter1 = counter1;
    state.counter2 = counter2;
    state.counter3 = counter3;
    StartQuickRun(state);
    return RotateBySum(state, blockCounter + counter1 + counter2 + counter3);
}

// Any step, whatever was set by hand.
StepResult CheckedStep(CipherState& state) {
    if (ReadyForQuickStep(state)) return QuickStep(state);
    EnsureRowMatchesState(state);
    return FullStep(state);
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

// Each full-block function takes the quick step when it may, and otherwise leaves the rare full
// step to a function of its own, kept out of line so that the usual way needs no stack frame.
[[gnu::always_inline]] inline void EncryptPortable(const StepResult& step,
                                                   const std::uint8_t* block, std::uint8_t* out) {
    std::uint8_t masked[16];
    StoreLittleEndian(LoadLittleEndian(block) ^ step.wordA, masked);
    StoreLittleEndian(LoadLittleEndian(block + 8) ^ step.wordB, masked + 8);
    StoreLittleEndian(GatherWord(masked, step.order), out);
    StoreLittleEndian(GatherWord(masked, step.order + 8), out + 8);
}

[[gnu::noinline]] void EncryptFullPortableSlow(CipherState& state, const std::uint8_t* block,
                                               std::uint8_t* out) {
    EnsureRowMatchesState(state);
    EncryptPortable(FullStep(state), block, out);
}

void EncryptFullPortable(CipherState& state, const std::uint8_t* block, std::uint8_t* out) {
    if (!ReadyForQuickStep(state)) [[unlikely]] {
        return EncryptFullPortableSlow(state, block, out);
    }
    EncryptPortable(QuickStep(state), block, out);
}

[[gnu::always_inline]] inline void DecryptPortable(const StepResult& step,
                                                   const std::uint8_t* stored, std::uint8_t* area) {
    StoreLittleEndian(GatherWord(stored, step.placement) ^ step.wordA, area);
    StoreLittleEndian(GatherWord(stored, step.placement + 8) ^ step.wordB, area + 8);
}

[[gnu::noinline]] void DecryptFullPortableSlow(CipherState& state, const std::uint8_t* stored,
                                               std::uint8_t* area) {
    EnsureRowMatchesState(state);
    DecryptPortable(FullStep(state), stored, area);
}

void DecryptFullPortable(CipherState& state, const std::uint8_t* stored, std::uint8_t* area) {
    if (!ReadyForQuickStep(state)) [[unlikely]] {
        return DecryptFullPortableSlow(state, stored, area);
    }
    DecryptPortable(QuickStep(state), stored, area);
}

#if VYX_X86_SHUFFLE
// The byte shuffle as one SSSE3 instruction, chosen at start-up when the processor has it.
[[gnu::target("ssse3"), gnu::always_inline]] inline void EncryptSsse3(const StepResult& step,
                                                                      const std::uint8_t* block,
                                                                      std::uint8_t* out) {
    const __m128i mask = _mm_set_epi64x(std::int64_t(step.wordB), std::int64_t(step.wordA));
    const __m128i masked =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), mask);
    const __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.order));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(masked, order));
}

[[gnu::target("ssse3"), gnu::noinline]] void EncryptFullSsse3Slow(CipherState& state,
                                                                  const std::uint8_t* block,
                                                                  std::uint8_t* out) {
    EnsureRowMatchesState(state);
    EncryptSsse3(FullStep(state), block, out);
}

// RowMatchesState with two vector comparisons.
[[gnu::target("ssse3"), gnu::always_inline]] inline bool RowMatchesStateSsse3(
    const CipherState& state) {
    const cipher_detail::StateRow& row = state.rows[state.orderRotation & 63u];
    const auto load = [](const void* bytes) {
        return _mm_loadu_si128(static_cast<const __m128i*>(bytes));
    };
    // The words are side by side in both, the key bytes follow them.
    const __m128i words = _mm_cmpeq_epi8(load(&state.wordA), load(&row.wordA));
    const __m128i keys = _mm_cmpeq_epi8(load(state.keyBytes.data()), load(row.keyBytes.data()));
    return _mm_movemask_epi8(_mm_and_si128(words, keys)) == 0xFFFF;
}

[[gnu::target("ssse3"), gnu::always_inline]] inline bool ReadyForQuickStepSsse3(
    const CipherState& state) {
    return RowMatchesStateSsse3(state) && CountersAllowQuickStep(state);
}

[[gnu::target("ssse3")]] void EncryptFullSsse3(CipherState& state, const std::uint8_t* block,
                                               std::uint8_t* out) {
    if (!ReadyForQuickStepSsse3(state)) [[unlikely]] {
        return EncryptFullSsse3Slow(state, block, out);
    }
    EncryptSsse3(QuickStep(state), block, out);
}

[[gnu::target("ssse3"), gnu::always_inline]] inline void DecryptSsse3(const StepResult& step,
                                                                      const std::uint8_t* stored,
                                                                      std::uint8_t* area) {
    const __m128i mask = _mm_set_epi64x(std::int64_t(step.wordB), std::int64_t(step.wordA));
    const __m128i placement = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.placement));
    const __m128i placed =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(stored)), placement);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(area), _mm_xor_si128(placed, mask));
}

[[gnu::target("ssse3"), gnu::noinline]] void DecryptFullSsse3Slow(CipherState& state,
                                                                  const std::uint8_t* stored,
                                                                  std::uint8_t* area) {
    EnsureRowMatchesState(state);
    DecryptSsse3(FullStep(state), stored, area);
}

[[gnu::target("ssse3")]] void DecryptFullSsse3(CipherState& state, const std::uint8_t* stored,
                                               std::uint8_t* area) {
    if (!ReadyForQuickStepSsse3(state)) [[unlikely]] {
        return DecryptFullSsse3Slow(state, stored, area);
    }
    DecryptSsse3(QuickStep(state), stored, area);
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
    const StepResult step = CheckedStep(state);
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
    const StepResult step = CheckedStep(state);
    int k = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t position = step.order[i];
        if (position < n) area[position] = stored[k++];
    }
    // All sixteen positions are unmasked; those from n on are never part of the result.
    StoreLittleEndian(LoadLittleEndian(area) ^ step.wordA, area);
    StoreLittleEndian(LoadLittleEndian(area + 8) ^ step.wordB, area + 8);
}

using FullBlockFunction = void (*)(CipherState&, const std::uint8_t*, std::uint8_t*);

struct FullBlockPaths {
    FullBlockFunction encrypt;
    FullBlockFunction decrypt;
};

constexpr FullBlockPaths PortablePaths() {
    return {EncryptFullPortable, DecryptFullPortable};
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
    return {EncryptFullSsse3, DecryptFullSsse3};
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
        state.keyBytes[std::size_t(8 + i)] = std::uint8_t(state.wordB >> (8 * i));
        sum += state.keyBytes[std::size_t(i)];
    }
    state.blockCounter = sum;
    RebuildOrderTables(state);
    return state;
}

void RebuildOrderTables(CipherState& state) {
    state.orderRotation = 0;
    for (unsigned j = 0; j < 64; ++j) {
        cipher_detail::StateRow& row = state.rows[j];
        row.wordA = std::rotl(state.wordA, int(j));
        row.wordB = std::rotl(state.wordB, int(j));
        if (j < 8) {
            row.keyBytes = RotateKeyBytes(state.keyBytes, j);
            EmissionOrder(row.keyBytes, 16, row.emissionOrder);
            for (std::uint8_t k = 0; k < 16; ++k) row.placementOrder[row.emissionOrder[k]] = k;
        } else {
            const cipher_detail::StateRow& same = state.rows[j % 8];
            row.keyBytes = same.keyBytes;
            row.emissionOrder = same.emissionOrder;
            row.placementOrder = same.placementOrder;
        }
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
    CheckedStep(state);
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

bool UseVectorShuffle(bool wanted) {
    const bool use = wanted && VectorShuffleAvailable();
    gFullBlockPaths = use ? VectorPaths() : PortablePaths();
    return use;
}

namespace {
const bool gVectorShuffleChosen = UseVectorShuffle(true);
}  // namespace

// CipherRun: a state with its run table, and the choice of block kernels made at start-up.

#include <bit>
#include <memory>

#include "cipher/block_run.h"
#include "cipher/bytes.h"
#include "cipher/cipher.h"
#include "cipher/step.h"

namespace {

using cipher_detail::RunKernels;

// Rotates each of the sixteen bytes left by count (0..7).
std::array<std::uint8_t, 16> RotateKeyBytes(const std::array<std::uint8_t, 16>& bytes,
                                            unsigned count) {
    std::array<std::uint8_t, 16> rotated{};
    for (std::size_t i = 0; i < 16; ++i) rotated[i] = std::rotl(bytes[i], int(count));
    return rotated;
}

bool VectorShuffleAvailable() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") && cipher_detail::Ssse3Kernels() != nullptr;
#else
    return false;
#endif
}

// Usable before any start-up code has run; upgraded to the vector shuffle at start-up. Only the
// address of the portable kernels is taken here, which constinit makes a constant: no order of
// initialisation is involved.
// NOLINTNEXTLINE(cppcoreguidelines-interfaces-global-init)
constinit const RunKernels* gKernels = &cipher_detail::kPortableKernels;

// The table of the last state a run started from on this thread, with the words and key bytes
// it was built from: a batch runs file after file from the same key, and the table costs more
// to build than a small file's blocks take to run.
struct BuiltTable {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    cipher_detail::RunTable table;
};
thread_local std::unique_ptr<BuiltTable> tLastTable;

}  // namespace

CipherRun::CipherRun(const CipherState& state)
    : startKeyBytes_(state.keyBytes),
      position_{state.blockCounter, state.counter1, state.counter2, state.counter3, 0} {
    BuiltTable* last = tLastTable.get();
    if (last != nullptr && last->wordA == state.wordA && last->wordB == state.wordB &&
        last->keyBytes == state.keyBytes) {
        table_ = last->table;
        return;
    }
    // The key bytes only rotate, by the total rotation mod 8: one order row per rotation.
    std::array<std::uint8_t, 16> orders[8];
    std::array<std::uint8_t, 16> placements[8];
    for (unsigned row = 0; row < 8; ++row) {
        EmissionOrder(RotateKeyBytes(state.keyBytes, row), 16, orders[row]);
        for (std::uint8_t k = 0; k < 16; ++k) placements[row][orders[row][k]] = k;
    }
    for (unsigned r = 0; r < 64; ++r) {
        cipher_detail::RunTableEntry& entry = table_[r];
        cipher_detail::StoreLittleEndian(std::rotl(state.wordA, int(r)), entry.mask.data());
        cipher_detail::StoreLittleEndian(std::rotl(state.wordB, int(r)), entry.mask.data() + 8);
        entry.order = orders[r & 7u];
        entry.placement = placements[r & 7u];
        for (std::size_t i = 0; i < 16; ++i) entry.shuffledMask[i] = entry.mask[entry.order[i]];
    }
    if (last == nullptr) {
        tLastTable = std::make_unique<BuiltTable>();
        last = tLastTable.get();
    }
    *last = {state.wordA, state.wordB, state.keyBytes, table_};
}

CipherState CipherRun::State() const {
    const cipher_detail::RunTableEntry& entry = table_[position_.rotation];
    CipherState state;
    state.wordA = cipher_detail::LoadLittleEndian(entry.mask.data());
    state.wordB = cipher_detail::LoadLittleEndian(entry.mask.data() + 8);
    state.keyBytes = RotateKeyBytes(startKeyBytes_, position_.rotation & 7u);
    state.blockCounter = position_.blockCounter;
    state.counter1 = position_.counter1;
    state.counter2 = position_.counter2;
    state.counter3 = position_.counter3;
    return state;
}

const cipher_detail::RunTableEntry& CipherRun::Step() {
    position_.rotation = (position_.rotation + cipher_detail::StepCounters(position_)) & 63u;
    return table_[position_.rotation];
}

void CipherRun::EncryptBlock(const std::uint8_t* block, int n, std::uint8_t* out) {
    if (n == 16) return EncryptBlocks(block, 1, out);
    cipher_detail::CheckBlockLength(n);
    const cipher_detail::RunTableEntry& entry = Step();
    cipher_detail::EncryptBytes(entry.order.data(), entry.mask.data(), block, n, out);
}

void CipherRun::DecryptBlock(const std::uint8_t* stored, int n,
                             std::array<std::uint8_t, 16>& restoreArea) {
    if (n == 16) return DecryptBlocks(stored, 1, restoreArea.data());
    cipher_detail::CheckBlockLength(n);
    const cipher_detail::RunTableEntry& entry = Step();
    cipher_detail::DecryptBytes(entry.order.data(), entry.mask.data(), stored, n,
                                restoreArea.data());
}

void CipherRun::EncryptBlocks(const std::uint8_t* blocks, std::size_t count, std::uint8_t* out) {
    gKernels->encrypt(table_, position_, blocks, count, out);
}

void CipherRun::DecryptBlocks(const std::uint8_t* stored, std::size_t count, std::uint8_t* out) {
    gKernels->decrypt(table_, position_, stored, count, out);
}

namespace {

// A run of count blocks on a plain state, through a CipherRun made for it.
template <void (CipherRun::*Blocks)(const std::uint8_t*, std::size_t, std::uint8_t*)>
void RunOnState(CipherState& state, const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    if (count == 0) return;
    CipherRun run(state);
    (run.*Blocks)(in, count, out);
    state = run.State();
}

}  // namespace

void EncryptBlocks(CipherState& state, const std::uint8_t* blocks, std::size_t count,
                   std::uint8_t* out) {
    RunOnState<&CipherRun::EncryptBlocks>(state, blocks, count, out);
}

void DecryptBlocks(CipherState& state, const std::uint8_t* stored, std::size_t count,
                   std::uint8_t* out) {
    RunOnState<&CipherRun::DecryptBlocks>(state, stored, count, out);
}

bool UseVectorShuffle(bool wanted) {
    const bool use = wanted && VectorShuffleAvailable();
    gKernels = use ? cipher_detail::Ssse3Kernels() : &cipher_detail::kPortableKernels;
    return use;
}

namespace {
const bool gVectorShuffleChosen = UseVectorShuffle(true);
}  // namespace

#pragma once
// The cipher: key text, cipher state, the block transform in both directions, key generation.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class KeyVerdict { KeyEmpty, KeyMalformed, KeyAccepted };

// The sixteen values 0..35 of an accepted key text, in text order.
using KeyDigits = std::array<std::uint8_t, 16>;

struct KeyParseResult {
    KeyVerdict verdict = KeyVerdict::KeyEmpty;
    KeyDigits digits{};  // meaningful only with KeyAccepted
};

// Judges a key text; characters after the nineteenth play no part.
KeyParseResult ParseKeyText(std::u16string_view text);

// The state a key starts and every block advances: two 64-bit words that only ever rotate, the
// sixteen key bytes that only ever rotate, and four counters.
struct CipherState {
    std::uint64_t wordA = 0;
    std::uint64_t wordB = 0;
    std::array<std::uint8_t, 16> keyBytes{};
    std::uint64_t blockCounter = 0;
    std::uint64_t counter1 = 0;
    std::uint64_t counter2 = 0;
    std::uint64_t counter3 = 0;

    bool operator==(const CipherState&) const = default;
};

CipherState InitCipherState(const KeyDigits& digits);

// The rule that keeps a key from storing data in the clear. Each block is masked with the bytes of
// the two words after that block's rotation, and the words only ever rotate, so a key is judged on
// the 2 x 64 x 8 mask bytes of both words over all 64 rotations. ZeroMaskBytes counts the zero ones
// (0 to 1024; a zero word alone gives 512). LeavesDataInClear holds when at least a quarter of them
// are zero: encryption refuses such a key and key generation never makes one; decryption takes
// every well-formed key, so that files written with one stay readable.
int ZeroMaskBytes(std::uint64_t wordA, std::uint64_t wordB);
bool LeavesDataInClear(const CipherState& state);

void AdvanceCipherState(CipherState& state);
std::uint64_t RotateLeft64(std::uint64_t value, std::int32_t count);
std::uint8_t RotateLeft8(std::uint8_t value, std::int32_t count);
std::array<std::uint8_t, 16> BlockMask(const CipherState& state);
// Writes the positions 0..n-1 in emission order into order[0..n-1]; 1 <= n <= 16.
// The three functions taking n throw std::out_of_range for any other n.
void EmissionOrder(const std::array<std::uint8_t, 16>& keyBytes, int n,
                   std::array<std::uint8_t, 16>& order);
// Advances the state and writes the n transformed bytes of block to out; 1 <= n <= 16.
void EncryptBlock(CipherState& state, const std::uint8_t* block, int n, std::uint8_t* out);
// Advances the state and restores the n stored bytes into restoreArea[0..n-1]. All sixteen
// positions are unmasked; positions n..15 keep their earlier content (now masked) and play no
// part in the result.
void DecryptBlock(CipherState& state, const std::uint8_t* stored, int n,
                  std::array<std::uint8_t, 16>& restoreArea);

// Runs of full 16-byte blocks, count of them one after the other from blocks (or stored) to
// out: the same state steps and the same bytes as count calls of EncryptBlock (or DecryptBlock)
// with n = 16, one per block. The input and output ranges must not overlap, except that they
// may be the same range. Each call builds a CipherRun; code that runs many blocks keeps one.
void EncryptBlocks(CipherState& state, const std::uint8_t* blocks, std::size_t count,
                   std::uint8_t* out);
void DecryptBlocks(CipherState& state, const std::uint8_t* stored, std::size_t count,
                   std::uint8_t* out);

namespace cipher_detail {
// One entry of a run table: for the words rotated left by some total r (0..63) and the order row
// that goes with it, the emission order and its inverse, the mask, and the mask in emission order.
struct alignas(64) RunTableEntry {
    std::array<std::uint8_t, 16> order{};
    std::array<std::uint8_t, 16> shuffledMask{};
    std::array<std::uint8_t, 16> placement{};
    std::array<std::uint8_t, 16> mask{};
};
using RunTable = std::array<RunTableEntry, 64>;

// The four counters, and the total rotation (0..63) of the words since the table was built.
struct RunPosition {
    std::uint64_t blockCounter, counter1, counter2, counter3;
    unsigned rotation;
};
}  // namespace cipher_detail

// A state with the tables that make its blocks fast. Over any number of steps the words only
// rotate, and the key bytes rotate with them, so every block's mask and order is one of 64
// entries built once from the starting state. The blocks give the same bytes and the same state
// steps as the functions above on a CipherState.
class CipherRun {
  public:
    explicit CipherRun(const CipherState& state);

    // The state as the blocks so far have left it.
    CipherState State() const;

    void EncryptBlock(const std::uint8_t* block, int n, std::uint8_t* out);
    void DecryptBlock(const std::uint8_t* stored, int n, std::array<std::uint8_t, 16>& restoreArea);
    void EncryptBlocks(const std::uint8_t* blocks, std::size_t count, std::uint8_t* out);
    void DecryptBlocks(const std::uint8_t* stored, std::size_t count, std::uint8_t* out);

  private:
    // One step of the counters; returns the entry of the block it starts.
    const cipher_detail::RunTableEntry& Step();

    cipher_detail::RunTable table_;
    std::array<std::uint8_t, 16> startKeyBytes_;
    cipher_detail::RunPosition position_;
};

// Chooses how full blocks are shuffled: with the processor's byte-shuffle instruction when wanted
// and available, else with a portable loop; both give identical results. The instruction is
// chosen by itself at start-up. Returns whether it is now in use.
bool UseVectorShuffle(bool wanted);

// A fresh key text of 19 characters from the operating system's random source. Throws
// std::system_error when the random source fails; it never returns a weak key.
std::string GenerateKeyText();
// One byte from the operating system's random source; throws std::system_error on failure.
std::uint8_t NextKeyByte();
// The key text of eight bytes: two capital hexadecimal characters per byte, low half first,
// "." after every fourth character (byte 0x3C is written "C3").
std::string FormatKeyText(const std::array<std::uint8_t, 8>& bytes);

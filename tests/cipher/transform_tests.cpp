#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cipher/cipher.h"
#include "reference_cipher.h"
#include "support/files.h"

namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

// Counters drawn where the signed sum changes behaviour: small, just below and above 2^31 and
// 2^32 (low 32 bits negative, zero, positive again), and anywhere.
std::uint64_t InterestingCounter(std::mt19937_64& random) {
    const std::uint64_t near[] = {0, 1ull << 31, 1ull << 32, 3ull << 31, ~0ull - 100};
    switch (random() % 4) {
        case 0:
            return random() % 5000;
        case 1:
            return near[random() % 5] + (random() % 64) - 32;
        case 2:
            return random() % 3000000000ull;
        default:
            return random();
    }
}

// A state as a key gives it, with the counters then set to interesting values (the counters
// never influence the orders, so the state stays consistent).
CipherState RandomState(std::mt19937_64& random) {
    KeyDigits digits{};
    for (auto& d : digits) d = std::uint8_t(random() % 36);
    CipherState state = InitCipherState(digits);
    if (random() % 4 != 0) {
        state.blockCounter = InterestingCounter(random);
        state.counter1 = InterestingCounter(random);
        state.counter2 = InterestingCounter(random) % 1000;
        state.counter3 = InterestingCounter(random) % 1000;
    }
    return state;
}

struct Counters {
    std::uint64_t blockCounter, counter1, counter2, counter3;
};

// The state the key text gives, with the counters set by hand.
CipherState WithCounters(std::u16string_view key, const Counters& c) {
    CipherState state = InitCipherState(ParseKeyText(key).digits);
    state.blockCounter = c.blockCounter;
    state.counter1 = c.counter1;
    state.counter2 = c.counter2;
    state.counter3 = c.counter3;
    return state;
}

TEST(Rotate, MatchesOneBitLoops) {
    const std::uint64_t values64[] = {1, 0x8000000000000001ull, 0x0123456789ABCDEFull, ~0ull};
    for (std::int32_t count = -70; count <= 200; ++count) {
        for (std::uint64_t v : values64) {
            EXPECT_EQ(RotateLeft64(v, count), reference::Rotate64(v, count)) << count;
        }
        for (int v = 0; v < 256; v += 37) {
            EXPECT_EQ(RotateLeft8(std::uint8_t(v), count),
                      reference::Rotate8(std::uint8_t(v), count))
                << count;
        }
    }
    // A count below zero turns nothing, as the loops do not run, however far below.
    EXPECT_EQ(RotateLeft64(1, std::numeric_limits<std::int32_t>::min()), 1u);
    EXPECT_EQ(RotateLeft8(0x81, std::numeric_limits<std::int32_t>::min()), 0x81);
}

struct CounterCase {
    int steps;
    std::uint64_t blockCounter, counter1, counter2, counter3;
    std::int32_t sum;
};

void PrintTo(const CounterCase& c, std::ostream* os) {
    *os << c.steps << " steps";
}

class CounterCheckTest : public testing::TestWithParam<CounterCase> {};

TEST_P(CounterCheckTest, CascadeFromFive) {
    const CounterCase& c = GetParam();
    CipherState state;
    state.blockCounter = 5;
    for (int i = 1; i < c.steps; ++i) AdvanceCipherState(state);
    // The last step's sum shows in the rotation of a word holding bit 0 and of the key bytes.
    state.wordA = 1;
    state.wordB = 0x8000000000000000ull;
    state.keyBytes.fill(1);
    AdvanceCipherState(state);
    EXPECT_EQ(state.blockCounter, c.blockCounter);
    EXPECT_EQ(state.counter1, c.counter1);
    EXPECT_EQ(state.counter2, c.counter2);
    EXPECT_EQ(state.counter3, c.counter3);
    EXPECT_EQ(state.wordA, 1ull << (c.sum % 64));
    EXPECT_EQ(state.wordB, std::rotl(0x8000000000000000ull, c.sum % 64));
    Bytes16 keys;
    keys.fill(std::uint8_t(1u << (c.sum % 8)));
    EXPECT_EQ(state.keyBytes, keys);
}

INSTANTIATE_TEST_SUITE_P(
    CheckTable, CounterCheckTest,
    testing::Values(CounterCase{1, 6, 0, 1, 0, 7}, CounterCase{2, 7, 1, 1, 0, 9},
                    CounterCase{7, 12, 1, 1, 0, 14}, CounterCase{161, 166, 23, 7, 0, 196},
                    CounterCase{162, 167, 23, 8, 0, 198}, CounterCase{961, 966, 138, 37, 1, 1142},
                    CounterCase{10000, 10005, 1429, 435, 319, 12188}),
    [](const testing::TestParamInfo<CounterCase>& info) {
        return "Steps" + std::to_string(info.param.steps);
    });

// Sum 64 (R = 64, r = 0) and a sum with negative low 32 bits both leave words and key bytes alone.
TEST(Advance, StepsThatRotateNothing) {
    const Counters starts[] = {
        {60, 2, 1, 0},              // sum 61 + 2 + 1 + 0 = 64
        {187, 3, 1, 0},             // sum 188 + 3 + 1 = 192: R = 64
        {0x7FFFFFFFull, 1, 1, 0},   // low 32 bits 0x80000002: negative
        {0xFFFFFFFDull, 1, 1, 0},   // low 32 bits wrap to 0
        {0x17FFFFFFFull, 1, 1, 0},  // negative again above 2^32
    };
    for (const Counters& s : starts) {
        CipherState state = WithCounters(u"1A2B.3C4D.5E6F.7G8H", s);
        const CipherState before = state;
        reference::State model = reference::FromCipherState(state);
        const std::int32_t sum = reference::Advance(model);
        EXPECT_TRUE(sum <= 0 || sum % 64 == 0) << sum;
        AdvanceCipherState(state);
        EXPECT_EQ(state.blockCounter, s.blockCounter + 1);
        EXPECT_EQ(state.wordA, before.wordA);
        EXPECT_EQ(state.wordB, before.wordB);
        EXPECT_EQ(state.keyBytes, before.keyBytes);
    }
}

TEST(Order, MatchesThresholdScan) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 3000; ++round) {
        Bytes16 keys;
        // Few distinct values make ties common (one value: all tie); bytes past n play no part.
        const unsigned spread = round % 3 == 0 ? 256 : round % 3 == 1 ? 4 : 1;
        for (auto& k : keys) k = std::uint8_t(random() % spread * (256 / spread));
        for (int n = 1; n <= 16; ++n) {
            Bytes16 order{};
            EmissionOrder(keys, n, order);
            const Bytes16 expected = reference::Order(keys, n);
            for (int k = 0; k < n; ++k) ASSERT_EQ(order[k], expected[k]) << n;
        }
    }
}

TEST(Mask, BytesAreLittleEndianWords) {
    CipherState state;
    state.wordA = 0x0706050403020100ull;
    state.wordB = 0x0F0E0D0C0B0A0908ull;
    const Bytes16 mask = BlockMask(state);
    for (std::uint8_t i = 0; i < 16; ++i) EXPECT_EQ(mask[i], i);
}

// The library's block functions against the plain model, for every block length, over many
// states and long runs of steps from each, including counters where the signed sum is negative or
// wraps: the whole state must follow the model's after every block. The restore area carries the
// earlier blocks' bytes, which a short block must leave to the model's unmasking alone.
TEST(Transform, MatchesPlainModelInBothDirections) {
    std::mt19937_64 random(2024);
    for (int round = 0; round < 400; ++round) {
        CipherState encryptState = RandomState(random);
        CipherState decryptState = encryptState;
        reference::State encryptModel = reference::FromCipherState(encryptState);
        reference::State decryptModel = encryptModel;
        Bytes16 area{};
        Bytes16 modelArea{};
        for (int block = 0; block < 300; ++block) {
            const int n = block < 16 ? block + 1 : int(random() % 16) + 1;
            const Bytes plain = RandomBytes(std::size_t(n), std::uint32_t(random()));
            std::uint8_t out[16];
            std::uint8_t expected[16];
            EncryptBlock(encryptState, plain.data(), n, out);
            reference::Encrypt(encryptModel, plain.data(), n, expected);
            ASSERT_EQ(0, std::memcmp(out, expected, std::size_t(n)));
            ASSERT_EQ(encryptState, reference::AsCipherState(encryptModel));

            DecryptBlock(decryptState, out, n, area);
            reference::Decrypt(decryptModel, out, n, modelArea);
            ASSERT_EQ(area, modelArea);
            ASSERT_EQ(0, std::memcmp(area.data(), plain.data(), std::size_t(n)));
        }
    }
}

// Key bytes set by hand are honoured by the next block (random hand-set states are the run tests'):
// the order example inside a block, where sum 64 keeps the key bytes as set.
TEST(Transform, HandSetStateIsHonoured) {
    CipherState state;
    state.blockCounter = 60;
    state.counter1 = 2;
    state.counter2 = 1;
    state.keyBytes = {17, 200, 17, 255, 0};
    const CipherState start = state;
    const std::uint8_t plain[5] = {10, 11, 12, 13, 14};
    std::uint8_t out[5];
    EncryptBlock(state, plain, 5, out);
    EXPECT_EQ((std::array<std::uint8_t, 5>{out[0], out[1], out[2], out[3], out[4]}),
              (std::array<std::uint8_t, 5>{13, 11, 10, 12, 14}));
    Bytes16 area{};
    state = start;
    DecryptBlock(state, out, 5, area);
    EXPECT_EQ(0, std::memcmp(area.data(), plain, 5));
}

TEST(Transform, LengthOutsideOneToSixteenIsRefused) {
    for (int n : {0, -1, 17, 1000, std::numeric_limits<int>::min()}) {
        CipherState state = InitCipherState(ParseKeyText(u"1A2B.3C4D.5E6F.7G8H").digits);
        const CipherState before = state;
        std::uint8_t data[32] = {};
        Bytes16 area{};
        EXPECT_THROW(EncryptBlock(state, data, n, data + 16), std::out_of_range) << n;
        EXPECT_THROW(DecryptBlock(state, data, n, area), std::out_of_range) << n;
        EXPECT_THROW(EmissionOrder(state.keyBytes, n, area), std::out_of_range) << n;
        EXPECT_EQ(state, before);
    }
}

TEST(Transform, AllZeroKeyLeavesDataUnchanged) {
    std::mt19937_64 random(3);
    CipherState state = InitCipherState(ParseKeyText(u"0000.0000.0000.0000").digits);
    for (int block = 0; block < 2000; ++block) {
        const int n = int(random() % 16) + 1;
        const Bytes plain = RandomBytes(std::size_t(n), std::uint32_t(random()));
        std::uint8_t out[16];
        EncryptBlock(state, plain.data(), n, out);
        ASSERT_EQ(0, std::memcmp(out, plain.data(), std::size_t(n)));
    }
    EXPECT_EQ(state.wordA | state.wordB, 0u);
    EXPECT_EQ(state.keyBytes, Bytes16{});
}

// Runs of full blocks are shuffled either by the processor's byte-shuffle instruction or by a
// portable loop; every run test runs with both. Single blocks always take the portable loop.
class BlockRunTest : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!UseVectorShuffle(GetParam()) && GetParam()) {
            GTEST_SKIP() << "no vector shuffle on this processor";
        }
    }
    void TearDown() override { UseVectorShuffle(true); }
};

INSTANTIATE_TEST_SUITE_P(Shuffles, BlockRunTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Vector" : "Portable";
                         });

// Runs of full blocks in a CipherRun against the plain model: any run length (none included), in
// place or not, from states with interesting counters and with key bytes set by hand, and
// continuing with a block of any length afterwards, as a file's last block. Every third run
// starts from the run before's state with one word, one key byte or only the counters changed.
TEST_P(BlockRunTest, BlockRunsMatchPlainModel) {
    std::mt19937_64 random(77);
    CipherState previous;
    for (int round = 0; round < 300; ++round) {
        CipherState state = RandomState(random);
        if (round % 5 == 0) {
            for (auto& k : state.keyBytes) k = std::uint8_t(random() % 4);
        }
        if (round % 3 == 2) {
            const CipherState fresh = state;
            state = previous;
            switch (round / 3 % 4) {
                case 0:
                    state.wordA = fresh.wordA;
                    break;
                case 1:
                    state.wordB = fresh.wordB;
                    break;
                case 2:
                    state.keyBytes[random() % 16] ^= std::uint8_t(1 + random() % 255);
                    break;
                default:
                    state.blockCounter = fresh.blockCounter;
                    state.counter1 = fresh.counter1;
            }
        }
        previous = state;
        CipherRun run(state);
        CipherRun decryptRun(state);
        reference::State model = reference::FromCipherState(state);
        reference::State decryptModel = model;
        const std::size_t blocks = round < 4 ? std::size_t(round) : random() % 200;
        const bool inPlace = round % 2 == 1;
        const int n = int(random() % 16) + 1;
        const Bytes plain = RandomBytes(blocks * 16 + 16, std::uint32_t(random()));
        std::vector<std::uint8_t> expected(plain.size());
        for (std::size_t b = 0; b <= blocks; ++b) {
            reference::Encrypt(model, plain.data() + 16 * b, b < blocks ? 16 : n,
                               expected.data() + 16 * b);
        }
        std::vector<std::uint8_t> stored = plain;
        run.EncryptBlocks(inPlace ? stored.data() : plain.data(), blocks, stored.data());
        run.EncryptBlock(plain.data() + blocks * 16, n, stored.data() + blocks * 16);
        ASSERT_EQ(0, std::memcmp(stored.data(), expected.data(), blocks * 16 + n)) << round;
        ASSERT_EQ(run.State(), reference::AsCipherState(model));

        std::vector<std::uint8_t> restored =
            inPlace ? stored : std::vector<std::uint8_t>(stored.size());
        decryptRun.DecryptBlocks(stored.data(), blocks, restored.data());
        Bytes16 area{};
        decryptRun.DecryptBlock(stored.data() + blocks * 16, n, area);
        ASSERT_EQ(0, std::memcmp(restored.data(), plain.data(), blocks * 16)) << round;
        ASSERT_EQ(0, std::memcmp(area.data(), plain.data() + blocks * 16, std::size_t(n)));
        for (std::size_t b = 0; b <= blocks; ++b) reference::Advance(decryptModel);
        ASSERT_EQ(decryptRun.State(), reference::AsCipherState(decryptModel));
    }
}

// Encrypts a run with the library and the model from the same state and checks bytes and state;
// then decrypts it from decryptState and checks the plain bytes come back.
void CheckRun(CipherState& state, reference::State& model, CipherState& decryptState,
              std::size_t blocks, std::mt19937_64& random) {
    const Bytes plain = RandomBytes(blocks * 16, std::uint32_t(random()));
    std::vector<std::uint8_t> expected(plain.size());
    for (std::size_t b = 0; b < blocks; ++b) {
        reference::Encrypt(model, plain.data() + 16 * b, 16, expected.data() + 16 * b);
    }
    std::vector<std::uint8_t> stored(plain.size());
    EncryptBlocks(state, plain.data(), blocks, stored.data());
    ASSERT_EQ(stored, expected) << blocks << " blocks";
    ASSERT_EQ(state, reference::AsCipherState(model));
    DecryptBlocks(decryptState, stored.data(), blocks, stored.data());
    ASSERT_EQ(stored, plain) << blocks << " blocks";
    ASSERT_EQ(decryptState, reference::AsCipherState(model));
}

// Runs whose counters cross where the run planning takes other ways: the low 32 bits of the sum
// turning negative and wrapping to zero, counter1 a multiple of 23 and counter2 of 37 (counters
// above them then grow on consecutive steps), blockCounter one step before a multiple of 7, and
// counters wrapping past 2^64. Long runs span several planning stretches.
TEST_P(BlockRunTest, RunsAcrossCounterBoundaries) {
    const Counters starts[] = {
        {0x7FFFFFFFull - 400, 7, 0, 0},       // sum turns negative mid-run
        {0xFFFFFFFFull - 700, 3, 1, 0},       // negative, then wraps to zero and grows again
        {0x17FFFFFFFull - 30, 0, 5, 2},       // the same above 2^32
        {6, 0, 0, 0},                         // counter1 0 and counter2 0: every step grows all
        {13, 23, 36, 4},                      // counter1 % 23 == 0, counter2 one below 37
        {7 * 1000 - 1, 23 * 40, 37 * 9, 77},  // both multiples
        {~0ull - 100, 5, 9, 1},               // blockCounter wraps
        {17, ~0ull - 3, 22, 3},               // counter1 wraps
        {500, 1000, ~0ull - 1, ~0ull},        // counter2 and counter3 wrap
    };
    std::mt19937_64 random(31);
    for (const Counters& s : starts) {
        for (std::size_t blocks : {1u, 6u, 7u, 8u, 64u, 255u, 257u, 1000u}) {
            CipherState state = WithCounters(u"K3Y9.Q2ZA.MM7X.04PD", s);
            CipherState decryptState = state;
            reference::State model = reference::FromCipherState(state);
            CheckRun(state, model, decryptState, blocks, random);
            // The state goes on from there: a second run starts where the first one ended.
            CheckRun(state, model, decryptState, 100, random);
        }
    }
}

// Any public part of the state may change between calls: words (also turned by a multiple of 8,
// which keeps the order row), key bytes (also turned), counters; single blocks come between runs,
// and a copy of the state goes on like the original. Every run must follow the state it is given.
TEST_P(BlockRunTest, RunsFollowStateChangedBetweenCalls) {
    std::mt19937_64 random(4242);
    for (int round = 0; round < 60; ++round) {
        CipherState state = RandomState(random);
        CipherState decryptState = state;
        reference::State model = reference::FromCipherState(state);
        for (int op = 0; op < 40; ++op) {
            switch (random() % 9) {
                case 0:  // a zero word now and then: it looks the same under any rotation
                    state.wordA = decryptState.wordA = model.wordA = random();
                    state.wordB = decryptState.wordB = model.wordB =
                        random() % 4 == 0 ? 0 : random();
                    break;
                case 1: {
                    const int turn = 8 * int(random() % 8 + 1);
                    state.wordA = decryptState.wordA = model.wordA = std::rotl(model.wordA, turn);
                    state.wordB = decryptState.wordB = model.wordB = std::rotl(model.wordB, turn);
                    break;
                }
                case 2:
                    for (auto& k : model.keyBytes) k = std::uint8_t(random() % (op % 2 ? 4 : 256));
                    state.keyBytes = decryptState.keyBytes = model.keyBytes;
                    break;
                case 3:
                    model.blockCounter = InterestingCounter(random);
                    model.counter1 = InterestingCounter(random);
                    state.blockCounter = decryptState.blockCounter = model.blockCounter;
                    state.counter1 = decryptState.counter1 = model.counter1;
                    break;
                case 4: {
                    const int n = int(random() % 16) + 1;
                    const Bytes plain = RandomBytes(16, std::uint32_t(random()));
                    std::uint8_t out[16];
                    std::uint8_t expected[16];
                    EncryptBlock(state, plain.data(), n, out);
                    reference::Encrypt(model, plain.data(), n, expected);
                    ASSERT_EQ(0, std::memcmp(out, expected, std::size_t(n)));
                    Bytes16 area{};
                    DecryptBlock(decryptState, out, n, area);
                    ASSERT_EQ(0, std::memcmp(area.data(), plain.data(), std::size_t(n)));
                    break;
                }
                case 5:
                    state = CipherState(state);
                    break;
                case 6: {
                    // Key bytes turned as steps turn them.
                    const int turn = int(random() % 7) + 1;
                    for (auto& k : model.keyBytes) k = std::rotl(k, turn);
                    state.keyBytes = decryptState.keyBytes = model.keyBytes;
                    break;
                }
                default:
                    CheckRun(state, model, decryptState, random() % 300, random);
                    break;
            }
        }
    }
}

}  // namespace

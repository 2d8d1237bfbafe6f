// The rule against keys whose mask words would leave data in the clear.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cipher/cipher.h"

namespace {

CipherState StateOf(std::u16string_view text) {
    const KeyParseResult parsed = ParseKeyText(text);
    EXPECT_EQ(parsed.verdict, KeyVerdict::KeyAccepted);
    return InitCipherState(parsed.digits);
}

// The rule as written: rotate each word one bit at a time and look at all eight bytes each time.
int ZeroMaskBytesModel(std::uint64_t wordA, std::uint64_t wordB) {
    int zero = 0;
    for (std::uint64_t word : {wordA, wordB}) {
        for (int rotation = 0; rotation < 64; ++rotation) {
            for (int byte = 0; byte < 8; ++byte) zero += ((word >> (8 * byte)) & 0xFF) == 0;
            word = (word << 1) | (word >> 63);
        }
    }
    return zero;
}

TEST(KeyRule, CountMatchesThePlainModel) {
    std::mt19937_64 rng(3);
    // Sparse words, with 0 to 24 bits set, give every range of counts; dense ones give few zeros.
    for (int i = 0; i < 5000; ++i) {
        std::uint64_t words[2] = {};
        for (std::uint64_t& word : words) {
            const int bits = static_cast<int>(rng() % 25);
            for (int b = 0; b < bits; ++b) word |= std::uint64_t{1} << (rng() % 64);
            if (i % 5 == 0) word = rng();
        }
        ASSERT_EQ(ZeroMaskBytes(words[0], words[1]), ZeroMaskBytesModel(words[0], words[1]))
            << std::hex << words[0] << " " << words[1];
    }
}

struct RuleCase {
    const char16_t* key;
    int zeroBytes;  // of 1024
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << std::string(c.key, c.key + 19);
}

class KeyRuleTest : public testing::TestWithParam<RuleCase> {};

TEST_P(KeyRuleTest, RefusesFromAQuarterOfZeroMaskBytes) {
    const CipherState state = StateOf(GetParam().key);
    EXPECT_EQ(ZeroMaskBytes(state.wordA, state.wordB), GetParam().zeroBytes);
    EXPECT_EQ(LeavesDataInClear(state), GetParam().zeroBytes >= 256);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyRuleTest,
    testing::Values(RuleCase{u"0000.0000.0000.0000", 1024},  // both words zero
                    RuleCase{u"0000.0000.4ZBC.PL0D", 520},   // one word zero
                    RuleCase{u"1000.0000.1000.0000", 896},   // both words 1
                    RuleCase{u"0001.0001.0001.0001", 896},   // both words 2^48
                    RuleCase{u"0100.0000.0100.0000", 896}, RuleCase{u"0000.000Z.0000.000Z", 736},
                    RuleCase{u"0300.9210.602A.808B", 256},  // exactly a quarter
                    RuleCase{u"0833.0408.6BE1.3691", 248},  // one run of eight bits short of it
                    RuleCase{u"7K2Q.M9XA.4ZBC.PL0D", 8}));

// Keys typed from all 36 characters stay well below the quarter.
TEST(KeyRule, RandomTypedKeysAreAccepted) {
    static constexpr char16_t kChars[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) {
        std::u16string key = u"0000.0000.0000.0000";
        for (char16_t& c : key) {
            if (c != u'.') c = kChars[rng() % 36];
        }
        ASSERT_FALSE(LeavesDataInClear(StateOf(key))) << std::string(key.begin(), key.end());
    }
}

}  // namespace

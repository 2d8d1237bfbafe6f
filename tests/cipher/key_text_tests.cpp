// Key text: the verdicts, the state a key gives, and the rule against keys whose mask words would
// leave data in the clear.

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <utility>

#include "cipher/cipher.h"
#include "reference_cipher.h"

namespace {

using namespace std::string_literals;

constexpr char16_t kWellFormed[] = u"0123.4567.89AB.CDEF";

std::u16string WithCharacter(std::u16string text, std::size_t position, char16_t c) {
    text[position] = c;
    return text;
}

CipherState StateOf(std::u16string_view text) {
    const KeyParseResult parsed = ParseKeyText(text);
    EXPECT_EQ(parsed.verdict, KeyVerdict::KeyAccepted) << std::string(text.begin(), text.end());
    return InitCipherState(parsed.digits);
}

struct VerdictCase {
    const char* name;
    std::u16string text;
    KeyVerdict verdict;
};

// Keeps the test names readable and stable.
void PrintTo(const VerdictCase& c, std::ostream* os) {
    *os << c.name;
}

class KeyVerdictTest : public testing::TestWithParam<VerdictCase> {};

TEST_P(KeyVerdictTest, JudgesText) {
    EXPECT_EQ(ParseKeyText(GetParam().text).verdict, GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, KeyVerdictTest,
    testing::Values(
        VerdictCase{"Empty", u"", KeyVerdict::KeyEmpty},
        VerdictCase{"SingleSpace", u" ", KeyVerdict::KeyMalformed},
        VerdictCase{"EighteenCharacters", u"0123.4567.89AB.CDE", KeyVerdict::KeyMalformed},
        VerdictCase{"LeadingSpace", u" 0123.4567.89AB.CDEF", KeyVerdict::KeyMalformed},
        VerdictCase{"TrailingLetters", u"0123.4567.89AB.CDEFxyz", KeyVerdict::KeyAccepted},
        VerdictCase{"TrailingSpace", u"0123.4567.89AB.CDEF ", KeyVerdict::KeyAccepted},
        VerdictCase{"NulInside", u"0000.0000.0000.00\u00000"s, KeyVerdict::KeyMalformed}),
    [](const testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

// Every key position refuses the characters just outside the accepted ranges, lower case and
// look-alikes, and takes both ends of each range; every separator position refuses anything but
// ".".
TEST(KeyText, EveryPositionIsJudged) {
    const std::u16string good = kWellFormed;
    for (std::size_t position = 0; position < 19; ++position) {
        const bool separator = position == 4 || position == 9 || position == 14;
        const std::u16string rejected = separator ? u"-, 0A" : u"/:@[`az.\u00C0\u0130\uFF21\u0661";
        for (char16_t c : rejected) {
            EXPECT_EQ(ParseKeyText(WithCharacter(good, position, c)).verdict,
                      KeyVerdict::KeyMalformed)
                << "position " << position << " character " << int(c);
        }
        if (!separator) {
            for (char16_t c : std::u16string(u"09AZ")) {
                EXPECT_EQ(ParseKeyText(WithCharacter(good, position, c)).verdict,
                          KeyVerdict::KeyAccepted)
                    << "position " << position << " character " << int(c);
            }
        }
    }
}

TEST(KeyText, DigitsFollowTextOrder) {
    const KeyParseResult first = ParseKeyText(kWellFormed);
    ASSERT_EQ(first.verdict, KeyVerdict::KeyAccepted);
    for (std::uint8_t i = 0; i < 16; ++i) EXPECT_EQ(first.digits[i], i);

    const KeyParseResult letters = ParseKeyText(u"GHIJ.KLMN.OPQR.STUZ");
    ASSERT_EQ(letters.verdict, KeyVerdict::KeyAccepted);
    for (std::uint8_t i = 0; i < 15; ++i) EXPECT_EQ(letters.digits[i], 16 + i);
    EXPECT_EQ(letters.digits[15], 35);  // "Z" in the last position
}

TEST(KeyText, TextBeyondNineteenCharactersPlaysNoPart) {
    const CipherState alone = StateOf(u"Z1Y2.X3W4.V5U6.T7S8");
    for (std::u16string tail : {u"Q", u" ", u"....", u"\uFFFF\u0000abc"}) {
        EXPECT_EQ(StateOf(u"Z1Y2.X3W4.V5U6.T7S8" + tail), alone);
    }
    // No length limit: a very long text is judged on its first nineteen characters.
    EXPECT_EQ(StateOf(u"Z1Y2.X3W4.V5U6.T7S8" + std::u16string(100000, u'x')), alone);
    EXPECT_EQ(ParseKeyText(u"Z1Y2.X3W4.V5U6.T7s8" + std::u16string(500, u'A')).verdict,
              KeyVerdict::KeyMalformed);
}

// Whole states worked out by hand. The fold uses OR, not addition: digit 3 at text position 0 and
// digit 5 at text position 5 fold to 7, and 7 * 7 = 49. "Z" is 35 = 0x23 everywhere: P = Q =
// 0x23232323, whose square is 0x04D2A06E326496C9. The block counter is the sum of wordA's bytes.
TEST(KeyState, KnownDerivations) {
    constexpr std::uint64_t kZ = 0x04D2A06E326496C9u;
    const std::pair<std::u16string_view, CipherState> cases[] = {
        {u"3000.5000.0000.0000", {49, 0, {49}, 49}},
        {u"0000.0000.0000.0000", {}},
        {u"ZZZZ.ZZZZ.ZZZZ.ZZZZ",
         {kZ,
          kZ,
          {0xC9, 0x96, 0x64, 0x32, 0x6E, 0xA0, 0xD2, 0x04, 0xC9, 0x96, 0x64, 0x32, 0x6E, 0xA0, 0xD2,
           0x04},
          985}},
    };
    for (const auto& [text, state] : cases) {
        EXPECT_EQ(StateOf(text), state) << std::string(text.begin(), text.end());
    }
}

// Keys typed from all 36 characters give the model's state, and stay well below the rule's
// quarter of zero mask bytes.
TEST(KeyState, RandomTypedKeysMatchThePlainModelAndPassTheRule) {
    static constexpr char16_t kChars[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) {
        std::u16string key = u"0000.0000.0000.0000";
        for (char16_t& c : key) {
            if (c != u'.') c = kChars[rng() % 36];
        }
        const KeyParseResult parsed = ParseKeyText(key);
        ASSERT_EQ(parsed.verdict, KeyVerdict::KeyAccepted);
        const CipherState state = InitCipherState(parsed.digits);
        ASSERT_EQ(state, reference::AsCipherState(reference::Init(parsed.digits)));
        ASSERT_FALSE(LeavesDataInClear(state)) << std::string(key.begin(), key.end());
    }
}

// ---- The rule against keys whose mask words would leave data in the clear.

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

}  // namespace

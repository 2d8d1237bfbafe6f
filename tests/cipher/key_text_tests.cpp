#include <gtest/gtest.h>

#include <ostream>
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

TEST(KeyState, MatchesPlainModelForManyTexts) {
    std::uint32_t seed = 12345;
    const char16_t alphabet[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int round = 0; round < 2000; ++round) {
        std::u16string text = u"0000.0000.0000.0000";
        for (std::size_t position = 0; position < 19; ++position) {
            if (position == 4 || position == 9 || position == 14) continue;
            seed = seed * 1103515245u + 12345u;
            text[position] = alphabet[(seed >> 16) % 36];
        }
        const KeyParseResult parsed = ParseKeyText(text);
        ASSERT_EQ(parsed.verdict, KeyVerdict::KeyAccepted);
        const CipherState state = InitCipherState(parsed.digits);
        const reference::State model = reference::Init(parsed.digits);
        ASSERT_EQ(state, reference::AsCipherState(model));
    }
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <set>
#include <system_error>
#include <vector>

#include "cipher/cipher.h"
#include "cipher/random_source.h"

namespace {

struct FormatCase {
    std::array<std::uint8_t, 8> bytes;
    const char* text;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.text;
}

class FormatKeyTextTest : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatKeyTextTest, LowHalfFirst) {
    EXPECT_EQ(FormatKeyText(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    KnownBytes, FormatKeyTextTest,
    testing::Values(
        FormatCase{{0x3C, 0, 0, 0, 0, 0, 0, 0}, "C300.0000.0000.0000"},
        FormatCase{{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, "1032.5476.98BA.DCFE"},
        FormatCase{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "FFFF.FFFF.FFFF.FFFF"},
        FormatCase{{0x80, 0x08, 0, 0, 0, 0, 0, 0x0A}, "0880.0000.0000.00A0"}),
    [](const testing::TestParamInfo<FormatCase>& info) {
        std::string name = info.param.text;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

TEST(GenerateKeyText, SyntaxAndFreshness) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string text = GenerateKeyText();
        EXPECT_THAT(text, testing::MatchesRegex("[0-9A-F]{4}(\\.[0-9A-F]{4}){3}"));
        EXPECT_EQ(ParseKeyText(std::u16string(text.begin(), text.end())).verdict,
                  KeyVerdict::KeyAccepted)
            << text;
        EXPECT_TRUE(seen.insert(text).second) << "repeated key " << text;
    }
}

TEST(NextKeyByte, VariesFromCallToCall) {
    std::set<int> values;
    for (int i = 0; i < 64; ++i) values.insert(NextKeyByte());
    // 64 draws from 256 values: fewer than 16 distinct ones would mean a broken source.
    EXPECT_GE(values.size(), 16u);
}

// A scripted reader: each entry is a count to deliver or a negative errno to fail with. It hands
// out the listed bytes in order, and delivers nothing once they are used up.
std::vector<long> gScript;
std::size_t gCall = 0;
std::vector<std::uint8_t> gBytes;
std::size_t gGiven = 0;

long ScriptedReader(void* buffer, std::size_t count) {
    if (gCall >= gScript.size()) {
        ADD_FAILURE() << "reader called too often";
        errno = EIO;
        return -1;
    }
    const long step = gScript[gCall++];
    if (step < 0) {
        errno = int(-step);
        return -1;
    }
    const std::size_t give = std::min({count, std::size_t(step), gBytes.size() - gGiven});
    std::memcpy(buffer, gBytes.data() + gGiven, give);
    gGiven += give;
    return long(give);
}

void RunScript(std::vector<long> script,
               std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) {
    gScript = std::move(script);
    gCall = 0;
    gBytes = std::move(bytes);
    gGiven = 0;
}

// Every key handed out passes the rule: a key that falls under it is drawn again.
TEST(GenerateKeyText, DrawsAgainUntilTheKeyPasses) {
    RunScript(std::vector<long>(32, 32),
              {0,    0,    0,    0,    0,    0,    0,    0,       // 0000.0000.0000.0000
               0x01, 0,    0,    0,    0x01, 0,    0,    0,       // 1000.0000.1000.0000
               0x30, 0x00, 0x29, 0x01, 0x06, 0xA2, 0x08, 0xB8,    // 0300.9210.602A.808B
               0x80, 0x33, 0x40, 0x80, 0xB6, 0x1E, 0x63, 0x19});  // 0833.0408.6BE1.3691
    EXPECT_EQ(GenerateKeyText(ScriptedReader), "0833.0408.6BE1.3691");
    EXPECT_EQ(gGiven, gBytes.size());
}

TEST(FillRandomBytes, RetriesInterruptsAndShortReads) {
    RunScript({3, -EINTR, 1, -EINTR, -EINTR, 16});
    std::uint8_t bytes[8] = {};
    FillRandomBytes(bytes, sizeof bytes, ScriptedReader);
    for (std::uint8_t i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], i + 1);
    EXPECT_EQ(gCall, 4u + 2u);
}

struct FailureCase {
    const char* name;
    std::vector<long> script;
    int code;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FillRandomFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FillRandomFailureTest, Throws) {
    RunScript(GetParam().script);
    std::uint8_t bytes[8] = {};
    try {
        FillRandomBytes(bytes, sizeof bytes, ScriptedReader);
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), GetParam().code);
    }
}

INSTANTIATE_TEST_SUITE_P(FailingSources, FillRandomFailureTest,
                         testing::Values(FailureCase{"NoSystemCall", {-ENOSYS}, ENOSYS},
                                         FailureCase{"FailsAfterShortRead", {4, -EFAULT}, EFAULT},
                                         FailureCase{"DeliversNothing", {-EINTR, 2, 0}, EIO}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return info.param.name;
                         });

}  // namespace

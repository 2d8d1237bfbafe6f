// Pinned files: plaintexts and their encryptions, made once and never regenerated. Encrypt must
// give each encryption byte for byte and Decrypt must restore each plaintext, so the format
// cannot drift even where the library and the cipher tests' model drift together.
#include <string>

#include "test_support.h"

namespace {

struct KnownAnswer {
    const char* name;  // NN.plain and NN.vyx in tests/data/known_answers
    const char16_t* key;
};

constexpr KnownAnswer kKnownAnswers[] = {
    {"01", u"7K2Q.M9XA.4ZBC.PL0D"}, {"02", u"7K2Q.M9XA.4ZBC.PL0D"},  // 0 and 1 bytes
    {"03", u"H3N8.2RTW.Q5EV.Y1UJ"}, {"04", u"H3N8.2RTW.Q5EV.Y1UJ"},  // 15, 16
    {"05", u"5W0F.JX3K.T8LM.2RQ6"}, {"06", u"5W0F.JX3K.T8LM.2RQ6"},  // 17, 40
    {"07", u"ZZZZ.ZZZZ.ZZZZ.ZZZZ"}, {"08", u"ZZZZ.ZZZZ.ZZZZ.ZZZZ"},  // 100, 10,003
    {"09", u"7K2Q.M9XA.4ZBC.PL0D"}, {"10", u"ZZZZ.ZZZZ.ZZZZ.ZZZZ"},  // 16, 17
    {"11", u"H3N8.2RTW.Q5EV.Y1UJ"}, {"12", u"5W0F.JX3K.T8LM.2RQ6"},  // 100, 10,003
};

class KnownAnswerTest : public OperationTest, public testing::WithParamInterface<KnownAnswer> {
  protected:
    static fs::path Data(const std::string& file) {
        return fs::path(VYX_TEST_DATA) / "known_answers" / file;
    }
};

TEST_P(KnownAnswerTest, EncryptGivesThePinnedFileAndDecryptRestoresThePlaintext) {
    const std::string name = GetParam().name;
    window.SetPage(GetParam().key, Data(name + ".plain"), dir / "enc");
    EncryptFile(window);
    EXPECT_TRUE(ReadBytes(dir / "enc") == ReadBytes(Data(name + ".vyx")));

    window.SetPage(GetParam().key, Data(name + ".vyx"), dir / "back");
    DecryptFile(window);
    EXPECT_TRUE(ReadBytes(dir / "back") == ReadBytes(Data(name + ".plain")));
    EXPECT_EQ(window.MessageTexts(), (std::vector<std::u16string>{kEncryptDone, kDecryptDone}));
}

INSTANTIATE_TEST_SUITE_P(Pinned, KnownAnswerTest, testing::ValuesIn(kKnownAnswers),
                         [](const testing::TestParamInfo<KnownAnswer>& info) {
                             return std::string("File") + info.param.name;
                         });

}  // namespace

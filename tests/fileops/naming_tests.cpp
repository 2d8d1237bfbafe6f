#include <gtest/gtest.h>

#include <string>

#include "fileops/output_name.h"

namespace {

struct NamingCase {
    const char16_t* input;
    const char16_t* expected;
};

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

void PrintTo(const NamingCase& c, std::ostream* os) {
    *os << Utf8(c.input);
}

class ProposeOutputNameTest : public ::testing::TestWithParam<NamingCase> {};

TEST_P(ProposeOutputNameTest, ProposesNameBesideInput) {
    const NamingCase& c = GetParam();
    EXPECT_EQ(Utf8(ProposeOutputName(c.input)), Utf8(c.expected));
}

// The documented examples, with "/" as the separator.
INSTANTIATE_TEST_SUITE_P(
    Examples, ProposeOutputNameTest,
    ::testing::Values(NamingCase{u"/data/report.doc", u"/data/report_encr.doc"},
                      NamingCase{u"/data/report_encr.doc", u"/data/report_decr.doc"},
                      NamingCase{u"/data/report_decr.doc", u"/data/report_decr_encr.doc"},
                      NamingCase{u"/data/archive.tar.gz", u"/data/archive.tar_encr.gz"},
                      NamingCase{u"/data/x_encr.old.doc", u"/data/x_encr.old_encr.doc"},
                      NamingCase{u"/data/REPORT_ENCR.DOC", u"/data/REPORT_ENCR_encr.DOC"},
                      NamingCase{u"/data/notes", u"/data/notes_encr"},
                      NamingCase{u"/data/notes_encr", u"/data/notes_encr_encr"},
                      NamingCase{u"/My.Files/notes", u"/My.Files/notes_encr"},
                      NamingCase{u"/My.Files/photo.jpg", u"/My.Files/photo_encr.jpg"}));

// Inputs at the edges: hidden files, trailing dots, bare names, a folder named "_encr".
INSTANTIATE_TEST_SUITE_P(
    Edges, ProposeOutputNameTest,
    ::testing::Values(NamingCase{u"", u"_encr"}, NamingCase{u"/", u"/_encr"},
                      NamingCase{u"report.doc", u"report_encr.doc"},
                      NamingCase{u"report_encr.doc", u"report_decr.doc"},
                      NamingCase{u"_encr.doc", u"_decr.doc"},
                      NamingCase{u"/home/u/.bashrc", u"/home/u/_encr.bashrc"},
                      NamingCase{u"/home/u/x_encr/.profile", u"/home/u/x_encr/_encr.profile"},
                      NamingCase{u"/home/u/x_encr/notes", u"/home/u/x_encr/notes_encr"},
                      NamingCase{u"/a.b/c_encr.d/e", u"/a.b/c_encr.d/e_encr"},
                      NamingCase{u"/data/x_encr.", u"/data/x_decr."},
                      NamingCase{u"/data/x.", u"/data/x_encr."},
                      NamingCase{u"/data/x_Encr.txt", u"/data/x_Encr_encr.txt"},
                      NamingCase{u"/data/x_encr_encr.txt", u"/data/x_encr_decr.txt"},
                      NamingCase{u"/data/a_encrb.txt", u"/data/a_encrb_encr.txt"},
                      NamingCase{u"/data/dir/", u"/data/dir/_encr"},
                      NamingCase{u"/data/ü ß.tXt", u"/data/ü ß_encr.tXt"}));

// Whatever the input, the proposal differs from it and only its file name changes.
TEST(ProposeOutputName, StaysInFolderAndNeverEqualsInput) {
    const std::u16string alphabet = u"/._encrdx\u00e9";
    // Every string of up to five characters over a small alphabet that favours the special cases.
    std::u16string input;
    auto check = [](const std::u16string& in) {
        const std::u16string out = ProposeOutputName(in);
        const std::size_t sep = in.rfind(u'/');
        const std::size_t folderLength = sep == std::u16string::npos ? 0 : sep + 1;
        ASSERT_GE(out.size(), folderLength);
        EXPECT_EQ(out.substr(0, folderLength), in.substr(0, folderLength)) << Utf8(in);
        EXPECT_EQ(out.find(u'/', folderLength), std::u16string::npos) << Utf8(in);
        EXPECT_EQ(out.size(), in.size() + 5) << Utf8(in);
    };
    std::size_t total = 1;
    for (int length = 0; length <= 5; ++length, total *= alphabet.size()) {
        for (std::size_t index = 0; index < total; ++index) {
            input.clear();
            for (std::size_t rest = index, i = 0; i < static_cast<std::size_t>(length); ++i) {
                input.push_back(alphabet[rest % alphabet.size()]);
                rest /= alphabet.size();
            }
            check(input);
        }
    }
}

// Bytes of a name that are not UTF-8 come as lone surrogates and stay exactly as they came.
TEST(ProposeOutputName, KeepsTheCarriedBytesOfANameThatIsNotUtf8) {
    EXPECT_EQ(ProposeOutputName(u"/d\xDCE9/caf\xDCE9.t\xDCFF"), u"/d\xDCE9/caf\xDCE9_encr.t\xDCFF");
    EXPECT_EQ(ProposeOutputName(u"/d/x\xDCC3_encr"), u"/d/x\xDCC3_encr_encr");
    EXPECT_EQ(ProposeOutputName(u"/d/x\xDCC3_encr.\xDCA9"), u"/d/x\xDCC3_decr.\xDCA9");
}

}  // namespace

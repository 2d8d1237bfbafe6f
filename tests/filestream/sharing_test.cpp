// The sharing rule: while a file is open, others may read it but not write it, whatever spelling
// of its path they use, in this process or another one.

#include <unistd.h>

#include <filesystem>

#include "support.h"
#include "support/child.h"

namespace {

const std::string kContent = "the user's precious input";

// The same file under another name, made in dir for the original at dir/"orig".
struct Spelling {
    const char* name;
    std::string (*make)(const ScratchDir& dir);
};

const Spelling kSpellings[] = {
    {"SamePath", [](const ScratchDir& dir) { return dir.File("orig"); }},
    {"DotAndDotDot",
     [](const ScratchDir& dir) {
         std::filesystem::create_directory(dir.File("sub"));
         return dir.Path().string() + "/./sub/../orig";
     }},
    {"HardLink",
     [](const ScratchDir& dir) {
         std::filesystem::create_hard_link(dir.File("orig"), dir.File("hard"));
         return dir.File("hard");
     }},
    {"Relative",
     [](const ScratchDir& dir) { return std::filesystem::relative(dir.File("orig")).string(); }},
    {"SymbolicLink",
     [](const ScratchDir& dir) {
         std::filesystem::create_symlink(dir.File("orig"), dir.File("soft"));
         return dir.File("soft");
     }},
};

class Sharing : public ::testing::TestWithParam<Spelling> {
  protected:
    void SetUp() override {
        WriteBytes(dir_.File("orig"), kContent);
        other_ = GetParam().make(dir_);
    }
    ScratchDir dir_;
    std::string other_;
};

TEST_P(Sharing, AWriterIsRefusedWhileAReaderHoldsTheFileAndNothingIsEmptied) {
    CFileStream input;
    ASSERT_EQ(input.Open(U16(dir_.File("orig")), CFileStream::ModeRead), 1);
    for (std::int32_t mode : {CFileStream::ModeCreate, CFileStream::ModeReadWrite}) {
        EXPECT_EQ(RefusalOf(U16(other_), mode), SharingViolation(other_));
    }
    EXPECT_EQ(ReadString(dir_.File("orig")), kContent);
    std::string got(kContent.size(), '\0');
    EXPECT_EQ(input.Read(got.data(), static_cast<std::int32_t>(got.size())),
              static_cast<std::int32_t>(kContent.size()));
    EXPECT_EQ(got, kContent);
}

TEST_P(Sharing, ReadersShareAndAWriterIsAloneOnceTheyAreGone) {
    {
        CFileStream first;
        CFileStream second;
        ASSERT_EQ(first.Open(U16(dir_.File("orig")), CFileStream::ModeRead), 1);
        ASSERT_EQ(second.Open(U16(other_), CFileStream::ModeRead), 1);
    }
    CFileStream writer;
    ASSERT_EQ(writer.Open(U16(other_), CFileStream::ModeCreate), 1);
    EXPECT_EQ(RefusalOf(U16(dir_.File("orig")), CFileStream::ModeRead),
              SharingViolation(dir_.File("orig")));
    writer.Close();
    CFileStream reader;
    EXPECT_EQ(reader.Open(U16(dir_.File("orig")), CFileStream::ModeRead), 1);
}

// Held by a reader or by a writer of a whole new file (as a second copy of the program would hold
// it) in another process, the file refuses this process's writer until that process is gone.
TEST_P(Sharing, ThisProcessCannotWriteWhileAnotherOneHoldsTheFile) {
    const std::string orig = dir_.File("orig");
    for (const std::int32_t mode : {CFileStream::ModeRead, CFileStream::ModeCreate}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        int ready[2];
        int release[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t pid = StartInChild([&] {
            CFileStream held;
            const char opened = held.Open(U16(orig), mode) == 1 ? 'y' : 'n';
            (void)!::write(ready[1], &opened, 1);
            char c = 0;
            (void)!::read(release[0], &c, 1);
            held.CloseAndRemove();  // a file that existed stays as it was
            return 0;
        });
        char opened = 0;
        ASSERT_EQ(::read(ready[0], &opened, 1), 1);
        ASSERT_EQ(opened, 'y');
        EXPECT_EQ(RefusalOf(U16(other_), CFileStream::ModeCreate), SharingViolation(other_));
        (void)!::write(release[1], "x", 1);
        EXPECT_EQ(WaitChild(pid), 0);
        for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
        EXPECT_EQ(ReadString(orig), kContent);
    }
    CFileStream output;  // the other process is gone, and its hold with it
    EXPECT_EQ(output.Open(U16(other_), CFileStream::ModeCreate), 1);
}

INSTANTIATE_TEST_SUITE_P(Spellings, Sharing, ::testing::ValuesIn(kSpellings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

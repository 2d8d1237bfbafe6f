// An output that is the input under another spelling is refused before anything is written, even
// where record locks fail (some network file systems) and where the two paths reach the file
// through different mounts (a FUSE passthrough view). The input always survives byte for byte.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/operations.h"
#include "syscall_faults.h"

namespace {

std::vector<std::u16string> Encrypt(const fs::path& input, const fs::path& output) {
    HeadlessWindow window;
    window.SetPage(kKey, input, output);
    RunPresented(Op::Encrypt, window);
    return window.MessageTexts();
}

std::vector<std::u16string> Sharing(const fs::path& path) {
    return {u"File could not be opened: A sharing violation occurred while accessing " +
            path.u16string() + u"."};
}

class LocksFail : public testing::TestWithParam<int> {
  protected:
    void TearDown() override { syscall_faults::FailLocks(0); }
};

TEST_P(LocksFail, EverySpellingOfTheInputIsStillRefused) {
    ScratchDir scratch;
    const fs::path input = scratch / "input";
    WriteBytes(input, RandomBytes(50'000, 9));
    const Bytes before = ReadBytes(input);
    fs::create_directory(scratch / "sub");
    fs::create_hard_link(input, scratch / "hard");
    fs::create_symlink(input, scratch / "soft");
    syscall_faults::FailLocks(GetParam());
    for (const fs::path& output :
         {input, scratch / "sub/../input", scratch / "hard", scratch / "soft"}) {
        EXPECT_EQ(Encrypt(input, output), Sharing(output)) << output;
        EXPECT_TRUE(ReadBytes(input) == before) << output;
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, LocksFail, testing::Values(ENOLCK, EINVAL, EOPNOTSUPP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(strerrorname_np(info.param));
                         });

TEST(PassthroughMount, TheInputSeenThroughASecondViewIsRefused) {
    ScratchDir scratch;
    const fs::path source = scratch / "source";
    const fs::path view = scratch / "view";
    if (const std::string why = MountView(source, view); !why.empty()) GTEST_SKIP() << why;
    WriteBytes(source / "file", RandomBytes(50'000, 4));
    const Bytes before = ReadBytes(source / "file");
    const std::vector<std::pair<fs::path, fs::path>> pairs = {{source / "file", view / "file"},
                                                              {view / "file", source / "file"}};
    for (const auto& [input, output] : pairs) {
        EXPECT_EQ(Encrypt(input, output), Sharing(output)) << input << " -> " << output;
        EXPECT_TRUE(ReadBytes(source / "file") == before);
    }
    // A different file through the view is written as usual, staged beside its name.
    EXPECT_EQ(Encrypt(source / "file", view / "other"), std::vector<std::u16string>{kEncryptDone});
    EXPECT_EQ(fs::file_size(source / "other"), before.size() + 2);
    ::umount2(view.c_str(), MNT_DETACH);
}

// Two files of two fresh tmpfs mounts share inode number, size and times, yet cannot be one file:
// neither is a passthrough view.
TEST(PassthroughMount, TwoLocalFilesThatLookAlikeAreNotTakenForOne) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting tmpfs needs root";
    ScratchDir scratch;
    const fs::path a = scratch / "a";
    const fs::path b = scratch / "b";
    fs::create_directory(a);
    fs::create_directory(b);
    bool alike = false;
    // Both files are made within one tick of the clock the times are taken from, mostly at once.
    for (int attempt = 0; attempt < 50 && !alike; ++attempt) {
        for (const fs::path& at : {a, b}) {
            ::umount2(at.c_str(), MNT_DETACH);
            if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") != 0) {
                GTEST_SKIP() << "cannot mount tmpfs here";
            }
        }
        const Bytes bytes = RandomBytes(1000, 7);
        WriteBytes(a / "file", bytes);
        WriteBytes(b / "file", bytes);
        struct stat sa {};
        struct stat sb {};
        alike = ::stat((a / "file").c_str(), &sa) == 0 && ::stat((b / "file").c_str(), &sb) == 0 &&
                sa.st_ino == sb.st_ino && sa.st_mtim.tv_nsec == sb.st_mtim.tv_nsec &&
                sa.st_mtim.tv_sec == sb.st_mtim.tv_sec && sa.st_ctim.tv_sec == sb.st_ctim.tv_sec &&
                sa.st_ctim.tv_nsec == sb.st_ctim.tv_nsec;
    }
    ASSERT_TRUE(alike) << "could not make two files that look alike";
    EXPECT_EQ(Encrypt(a / "file", b / "file"), std::vector<std::u16string>{kEncryptDone});
    EXPECT_EQ(fs::file_size(b / "file"), 1002u);
    ::umount2(a.c_str(), MNT_DETACH);
    ::umount2(b.c_str(), MNT_DETACH);
}

}  // namespace

// Outputs in folders that several users share, each user a real one (setpriv, numeric ids): a
// replaced output keeps its group where its owner cannot be kept, and a link that another user
// planted in a sticky folder that everyone may write is not followed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness_runner.h"
#include "support/files.h"

namespace {

using namespace robustness;

constexpr unsigned kOwner = 4501;   // whose output it was, or whose link
constexpr unsigned kRunner = 4502;  // who runs
constexpr unsigned kShared = 1234;  // a group both may be in

class SharedFolder : public testing::Test {
  protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "running as other users needs root";
        ::chmod(scratch_.Path().c_str(), 0755);
        WriteBytes(input_, RandomBytes(1000, 11));
        ::chmod(input_.c_str(), 0644);
        if (!NobodyCanReach(scratch_.Path())) {
            GTEST_SKIP() << "other users cannot reach the scratch folder or the harness";
        }
    }

    fs::path Folder(const char* name, unsigned owner, mode_t mode) {
        fs::path folder = scratch_ / name;
        fs::create_directory(folder);
        EXPECT_EQ(::chown(folder.c_str(), owner, owner), 0);
        ::chmod(folder.c_str(), mode);
        return folder;
    }

    HarnessResult Encrypt(const fs::path& output, const RunUser& as) {
        HarnessRun run({"encrypt", kKeyText, input_.string(), output.string(), "--trace"}, as);
        return run.Finish();
    }

    ScratchDir scratch_;
    fs::path input_ = scratch_ / "input";
};

// The output was 4501:1234 0660. A runner in group 1234 keeps that group; one outside it hands
// the group's bits to no group at all.
TEST_F(SharedFolder, AReplacedOutputKeepsItsGroupWhereItsOwnerCannotBeKept) {
    struct GroupCase {
        std::vector<unsigned> groups;
        gid_t gid;
        mode_t mode;
    };
    const GroupCase cases[] = {{{kShared}, kShared, 0660}, {{}, kRunner, 0600}};
    for (const GroupCase& c : cases) {
        const fs::path folder = Folder(c.groups.empty() ? "alone" : "member", kRunner, 0755);
        const fs::path output = folder / "result";
        WriteBytes(output, "old");
        ASSERT_EQ(::chown(output.c_str(), kOwner, kShared), 0);
        ::chmod(output.c_str(), 0660);
        const HarnessResult result = Encrypt(output, {kRunner, kRunner, c.groups});
        EXPECT_EQ(result.exitStatus, 0) << result.out;
        struct stat st {};
        ASSERT_EQ(::stat(output.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 1002);
        EXPECT_EQ(st.st_uid, kRunner);
        EXPECT_EQ(st.st_gid, c.gid);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
}

// A link named "out" that points into a folder anyone may write. Where the folder holding the link
// is sticky and everyone may write it, the link is followed only when it is the runner's or the
// folder owner's, as the kernel rules with fs.protected_symlinks=1.
TEST_F(SharedFolder, ALinkPlantedByAnotherUserInASharedStickyFolderIsNotFollowed) {
    struct LinkCase {
        const char* name;
        unsigned linkOwner;
        unsigned folderOwner;
        mode_t folderMode;
        bool followed;
    };
    const LinkCase cases[] = {
        {"planted", kOwner, 0, 01777, false},           {"own", kRunner, 0, 01777, true},
        {"folder owners", kOwner, kOwner, 01777, true}, {"not sticky", kOwner, 0, 0777, true},
        {"not everyones", kOwner, 0, 01775, true},
    };
    const fs::path victim = Folder("victim", kOwner, 0777);
    int n = 0;
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder =
            Folder(("shared" + std::to_string(++n)).c_str(), c.folderOwner, c.folderMode);
        if (c.folderMode == 01775) {
            ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, kShared), 0);
        }
        const fs::path target = victim / ("file" + std::to_string(n));
        const fs::path link = folder / "out";
        fs::create_symlink(target, link);
        ASSERT_EQ(::lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
        const HarnessResult result = Encrypt(link, {kRunner, kRunner, {kShared}});
        if (c.followed) {
            EXPECT_EQ(result.exitStatus, 0) << result.out;
            EXPECT_TRUE(Exists(target));
        } else {
            EXPECT_EQ(result.messages, std::vector<std::string>{DeniedText(link)});
            EXPECT_FALSE(Exists(target)) << "the plaintext went where the link pointed";
        }
        EXPECT_TRUE(fs::is_symlink(link));
    }
}

}  // namespace

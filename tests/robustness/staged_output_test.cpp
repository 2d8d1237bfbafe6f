// However an Encrypt run ends, and whatever the output path is, the path holds either the complete
// new output or exactly what it held before; nothing staged stays in its folder, the input is
// untouched, and the permission bits are the ones the user expects.

#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filestream/file_error.h"
#include "support/fake_file.h"
#include "support/operations.h"
#include "syscall_faults.h"

namespace {

enum class Kind { New, Existing, Symlink, DanglingSymlink, HardLinked, ReadOnlyFolder };
// The kernel reports a full disk (WriteFails), as a full file system would.
enum class End { Success, Stop, WriteFails, FsyncFails, NamingFails, FolderSyncFails };

struct StagingCase {
    Kind kind;
    End end;
};

const char* const kKindNames[] = {"New",        "Existing",      "Symlink", "DanglingSymlink",
                                  "HardLinked", "ReadOnlyFolder"};
const char* const kEndNames[] = {"Success",    "Stop",        "WriteFails",
                                 "FsyncFails", "NamingFails", "FolderSyncFails"};

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs Encrypt through a headless window, with a fault below the output's second write or its
// other calls, optionally stopped midway.
std::vector<std::u16string> Encrypt(const fs::path& input, const fs::path& output,
                                    std::optional<syscall_faults::Kind> fault = {},
                                    bool stopMidway = false) {
    HeadlessWindow window;
    window.SetPage(kKey, input, output);
    if (stopMidway) {
        window.onPump = [](HeadlessWindow& w) {
            if (w.Fields().complete != u"0 %") w.stopRequested = true;
        };
    }
    FaultPlan plan;
    if (fault) {
        plan.outputOpened = [kind = *fault](int descriptor) {
            syscall_faults::Arm(descriptor, kind, 2);
        };
    }
    syscall_faults::Reset();
    {
        FakeFiles files(std::make_shared<FileLog>(), plan);
        RunPresented(Op::Encrypt, window);
    }
    syscall_faults::Disarm();
    return window.MessageTexts();
}

class Staging : public testing::TestWithParam<StagingCase> {
  protected:
    void SetUp() override {
        const StagingCase c = GetParam();
        if (c.kind == Kind::ReadOnlyFolder && ::geteuid() != 0) {
            GTEST_SKIP() << "mounting a read-only folder needs root";
        }
        oldMask_ = ::umask(022);
        fs::create_directory(folder_);

        WriteBytes(input_, RandomBytes(300'000, 3));
        ::chmod(input_.c_str(), 0600);
        inputBytes_ = ReadBytes(input_);
        Encrypt(input_, scratch_ / "reference");
        reference_ = ReadBytes(scratch_ / "reference");

        const fs::path target = folder_ / "target";
        switch (c.kind) {
            case Kind::New:
                break;
            case Kind::Existing:
            case Kind::ReadOnlyFolder:
                Previous(path_);
                break;
            case Kind::Symlink:
                Previous(target);
                fs::create_symlink("target", path_);
                break;
            case Kind::DanglingSymlink:
                fs::create_symlink("target", path_);
                break;
            case Kind::HardLinked:
                Previous(path_);
                fs::create_hard_link(path_, folder_ / "other");
                break;
        }
        replaced_ = c.kind == Kind::Symlink || c.kind == Kind::DanglingSymlink ? target : path_;
        if (c.kind == Kind::ReadOnlyFolder) {
            Mount(folder_.c_str(), folder_, nullptr, MS_BIND, nullptr);
            Mount(nullptr, folder_, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
        }
        before_ = Names(folder_);
    }

    void TearDown() override {
        for (; mounts_ > 0; --mounts_) ::umount2(folder_.c_str(), MNT_DETACH);
        if (oldMask_) ::umask(*oldMask_);
    }

    void Mount(const char* source, const fs::path& at, const char* type, unsigned long flags,
               const char* options) {
        if (::mount(source, at.c_str(), type, flags, options) != 0) {
            GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
        }
        ++mounts_;
    }

    // Longer than the new output, which must keep nothing of it when it takes the path.
    void Previous(const fs::path& path) {
        previous_ = RandomBytes(400'000, 4);
        WriteBytes(path, *previous_);
        ::chmod(path.c_str(), 0640);
    }

    ScratchDir scratch_;
    fs::path input_ = scratch_ / "input";
    fs::path folder_ = scratch_ / "out";
    fs::path path_ = folder_ / "result";
    fs::path replaced_;
    Bytes inputBytes_;
    Bytes reference_;
    std::optional<Bytes> previous_;
    std::vector<std::string> before_;
    std::optional<mode_t> oldMask_;
    int mounts_ = 0;
};

TEST_P(Staging, ThePathHoldsTheWholeOutputOrWhatItHadBefore) {
    const StagingCase c = GetParam();
    using Below = syscall_faults::Kind;
    std::optional<Below> fault;
    if (c.end == End::WriteFails) fault = Below::ShortWriteThenFull;
    if (c.end == End::FsyncFails) fault = Below::FsyncFails;
    if (c.end == End::NamingFails) fault = Below::NamingFails;
    if (c.end == End::FolderSyncFails) fault = Below::FolderSyncFails;
    const std::vector<std::u16string> messages = Encrypt(input_, path_, fault, c.end == End::Stop);

    const std::u16string path = path_.u16string();
    const bool refused = c.kind == Kind::ReadOnlyFolder;
    const bool success = c.end == End::Success && !refused;
    // The folder's sync fails once the output has its name: the name may not last, so the run
    // fails, though the path already holds the new output.
    const bool named = success || (c.end == End::FolderSyncFails && !refused);
    std::vector<std::u16string> expected;
    if (refused) {
        expected = {u"File could not be opened: Access to " + path + u" was denied."};
    } else if (c.end == End::Success) {
        expected = {kEncryptDone};
    } else if (c.end == End::WriteFails) {
        expected = {FileErrorText(CFileException::DiskFull, path)};
    } else if (c.end != End::Stop) {
        expected = {FileErrorText(CFileException::HardIO, path)};
    }
    EXPECT_EQ(messages, expected);
    if (!refused && fault) {
        EXPECT_EQ(syscall_faults::Fired(), 1);
    }

    if (named) {
        EXPECT_TRUE(ReadBytes(replaced_) == reference_) << "the output is not the whole output";
        EXPECT_EQ(ModeOf(replaced_), previous_ ? 0640u : 0600u);
    } else if (previous_) {
        EXPECT_TRUE(ReadBytes(replaced_) == *previous_) << "the previous output was touched";
        EXPECT_EQ(ModeOf(replaced_), 0640u);
    } else {
        EXPECT_FALSE(fs::exists(replaced_));
    }
    if (c.kind == Kind::Symlink || c.kind == Kind::DanglingSymlink) {
        EXPECT_TRUE(fs::is_symlink(path_));
    }
    if (c.kind == Kind::HardLinked) {
        EXPECT_TRUE(ReadBytes(folder_ / "other") == *previous_);
    }
    std::vector<std::string> names = before_;
    if (named && !previous_) {
        names.push_back(replaced_.filename());
        std::sort(names.begin(), names.end());
    }
    EXPECT_EQ(Names(folder_), names) << "a staged file was left behind";
    EXPECT_TRUE(ReadBytes(input_) == inputBytes_) << "the input changed";
}

std::vector<StagingCase> AllCases() {
    std::vector<StagingCase> cases;
    for (int kind = 0; kind < 6; ++kind) {
        for (int end = 0; end < 6; ++end) {
            // A read-only folder refuses the output at its open, before any run could end.
            if (kind == int(Kind::ReadOnlyFolder) && end != int(End::Success)) continue;
            cases.push_back({static_cast<Kind>(kind), static_cast<End>(end)});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(KindsAndEnds, Staging, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<StagingCase>& info) {
                             return std::string(kKindNames[static_cast<int>(info.param.kind)]) +
                                    kEndNames[static_cast<int>(info.param.end)];
                         });

// The ACL of a file in short text form, "" when it has none beyond its permission bits.
std::string AclOf(const fs::path& path) {
    acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (acl == nullptr) return "(unreadable)";
    std::string text;
    if (::acl_equiv_mode(acl, nullptr) == 1) {
        char* shown = ::acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE);
        text = shown;
        ::acl_free(shown);
    }
    ::acl_free(acl);
    return text;
}

bool SetAcl(const fs::path& path, acl_type_t type, const char* text) {
    acl_t acl = ::acl_from_text(text);
    const bool set = acl != nullptr && ::acl_set_file(path.c_str(), type, acl) == 0;
    if (acl != nullptr) ::acl_free(acl);
    return set;
}

// A replaced output keeps its ACL and its extended attributes; a new one gets the folder's
// default ACL, as a file made there in the usual way does.
TEST(StagingAcls, AReplacedOutputKeepsItsAclAndANewOneInheritsTheFolders) {
    struct AclCase {
        const char* name;
        const char* fileAcl;    // of the old output; nullptr: a new output
        const char* folderAcl;  // the folder's default ACL, or nullptr
    };
    const AclCase cases[] = {
        {"named reader, group shut out", "u::rw,u:4501:r,g::-,m::r,o::-", nullptr},
        {"named group", "u::rw,g::r,g:1234:rw,m::rw,o::-", nullptr},
        {"new, folder default", nullptr, "u::rw,u:4501:rw,g::r,m::rw,o::-"},
        {"replaced, folder default", "u::rw,u:4501:r,g::-,m::r,o::-",
         "u::rw,u:4502:rw,g::r,m::rw,o::r"},
        {"plain, folder default", "u::rw,g::r,o::-", "u::rw,u:4502:rw,g::r,m::rw,o::r"},
    };
    for (const AclCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const fs::path folder = scratch / "out";
        const fs::path output = folder / "result";
        fs::create_directory(folder);
        WriteBytes(scratch / "in", RandomBytes(1000));
        ::chmod((scratch / "in").c_str(), 0644);
        if (c.folderAcl && !SetAcl(folder, ACL_TYPE_DEFAULT, c.folderAcl)) {
            GTEST_SKIP() << "this file system takes no ACLs: " << std::strerror(errno);
        }
        std::string expected;
        if (c.fileAcl) {
            WriteBytes(output, "old");
            ASSERT_TRUE(SetAcl(output, ACL_TYPE_ACCESS, c.fileAcl)) << std::strerror(errno);
            if (::setxattr(output.c_str(), "user.vyx.note", "kept", 4, 0) != 0) {
                GTEST_SKIP() << "this file system takes no user attributes";
            }
            expected = AclOf(output);
        } else {
            // What any program that makes the file with the input's bits gets.
            const int fd = ::open((folder / "made").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ::close(fd);
            expected = AclOf(folder / "made");
        }
        const mode_t before = c.fileAcl ? ModeOf(output) : ModeOf(folder / "made");
        EXPECT_EQ(Encrypt(scratch / "in", output), std::vector<std::u16string>{kEncryptDone});
        EXPECT_EQ(AclOf(output), expected);
        EXPECT_EQ(ModeOf(output), before);
        if (c.fileAcl) {
            char value[16] = {};
            EXPECT_EQ(::getxattr(output.c_str(), "user.vyx.note", value, sizeof value), 4);
            EXPECT_STREQ(value, "kept");
        }
    }
}

// An output named through a link of /proc, as /dev/stdout is, reaches the file it stands for,
// however long that file's path (such a link reports a size of 64 whatever its text).
TEST(StagingLinks, AnOutputNamedThroughProcReachesAFileOfALongPath) {
    ScratchDir scratch;
    const fs::path folder = scratch / std::string(100, 'd');
    fs::create_directory(folder);
    WriteBytes(folder / "out", "old");
    WriteBytes(scratch / "in", RandomBytes(1000));
    const int fd = ::open((folder / "out").c_str(), O_WRONLY | O_CLOEXEC);  // as a redirect
    ASSERT_GE(fd, 0);
    const fs::path link = "/proc/self/fd/" + std::to_string(fd);
    EXPECT_EQ(Encrypt(scratch / "in", link), std::vector<std::u16string>{kEncryptDone});
    ::close(fd);
    EXPECT_EQ(fs::file_size(folder / "out"), 1002u);
}

// Where the system refuses to link a descriptor itself, outputs take their names through /proc;
// the refusal is met once, not by every output.
TEST(StagingLinks, OutputsAreNamedThroughProcWhereTheDirectLinkIsRefused) {
    ScratchDir scratch;
    WriteBytes(scratch / "in", RandomBytes(1000));
    Encrypt(scratch / "in", scratch / "reference");
    syscall_faults::RefuseDirectLinks(true);
    for (const char* name : {"a", "b"}) {
        EXPECT_EQ(Encrypt(scratch / "in", scratch / name),
                  std::vector<std::u16string>{kEncryptDone});
        EXPECT_EQ(ReadBytes(scratch / name), ReadBytes(scratch / "reference")) << name;
    }
    EXPECT_LE(syscall_faults::RefuseDirectLinks(false), 1);
}

// A later run on an output removes what a killed run left staged beside it (where the file system
// has no unnamed files), and nothing else: not another name's, not another user's, not a file
// that a live run holds, not a name that only looks alike.
TEST(StagingLeftovers, ALaterRunRemovesOnlyTheDeadRunsStagedFiles) {
    struct Leftover {
        const char* name;
        bool removed;
        uid_t owner = 0;  // 0: this process's user
        bool held = false;
    };
    const std::vector<Leftover> leftovers = {
        {".result.vyx-0123456789abcdef", true},
        {".result.vyx-fedcba9876543210", false, 0, true},
        {".result.vyx-0123456789abcde", false},
        {".result.vyx-0123456789ABCDEF", false},
        {".result.vyx-0123456789abcdef0", false},
        {".other.vyx-0123456789abcdef", false},
        {".result.vyx-00000000000000ff", false, 4501},
    };
    ScratchDir scratch;
    WriteBytes(scratch / "in", RandomBytes(1000));
    std::vector<int> held;
    for (const Leftover& l : leftovers) {
        const fs::path path = scratch / l.name;
        WriteBytes(path, "cut off");
        if (l.owner != 0 && ::chown(path.c_str(), l.owner, l.owner) != 0) {
            GTEST_SKIP() << "giving a file to another user needs root";
        }
        if (l.held) {
            // A run that is still staging holds its file so.
            held.push_back(::open(path.c_str(), O_RDWR | O_CLOEXEC));
            struct flock lock {};
            lock.l_type = F_WRLCK;
            ASSERT_EQ(::fcntl(held.back(), F_OFD_SETLK, &lock), 0);
        }
    }
    EXPECT_EQ(Encrypt(scratch / "in", scratch / "result"),
              std::vector<std::u16string>{kEncryptDone});
    for (const Leftover& l : leftovers) EXPECT_NE(Exists(scratch / l.name), l.removed) << l.name;
    for (const int fd : held) ::close(fd);
}

// A new output takes the input's permission bits, limited by the umask: never looser.
TEST(StagingModes, ANewOutputIsNoMoreOpenThanItsInput) {
    struct ModeCase {
        mode_t input;
        mode_t mask;
        mode_t output;
    };
    // 0600 under 022 is the staging cases' (a new output of their input).
    const ModeCase cases[] = {
        {0644, 022, 0644}, {0664, 022, 0644}, {0644, 077, 0600}, {0755, 022, 0755}};
    for (const ModeCase& c : cases) {
        ScratchDir scratch;
        WriteBytes(scratch / "in", RandomBytes(100));
        ::chmod((scratch / "in").c_str(), c.input);
        const mode_t old = ::umask(c.mask);
        const auto messages = Encrypt(scratch / "in", scratch / "out");
        ::umask(old);
        EXPECT_EQ(messages, std::vector<std::u16string>{kEncryptDone});
        EXPECT_EQ(ModeOf(scratch / "out"), c.output) << std::oct << c.input << " " << c.mask;
    }
}

}  // namespace

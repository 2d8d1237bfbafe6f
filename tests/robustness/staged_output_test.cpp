// However an Encrypt run ends, and whatever the output path is, the path holds either the complete
// new output or exactly what it held before; nothing staged stays in its folder, the input is
// untouched, and the permission bits are the ones the user expects.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "faulty_file.h"
#include "fileops/file_operations.h"
#include "filestream/file_error.h"
#include "filestream/notify.h"
#include "robustness_support.h"
#include "support/headless_window.h"
#include "syscall_faults.h"

namespace {

using namespace robustness;

constexpr char16_t kKey[] = u"7K2Q.M9XA.4ZBC.PL0D";
constexpr char16_t kDone[] = u"Encryption complete. Please retain this key for future reference.";

enum class Kind { New, Existing, Symlink, DanglingSymlink, HardLinked, ReadOnlyFolder };
enum class End { Success, DiskFull, Stop, WriteFails, FsyncFails, NamingFails };

struct StagingCase {
    Kind kind;
    End end;
};

const char* const kKindNames[] = {"New",        "Existing",      "Symlink", "DanglingSymlink",
                                  "HardLinked", "ReadOnlyFolder"};
const char* const kEndNames[] = {"Success",    "DiskFull",   "Stop",
                                 "WriteFails", "FsyncFails", "NamingFails"};

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs Encrypt through a headless window, with the planned fault, optionally stopped midway.
std::vector<std::u16string> Encrypt(const fs::path& input, const fs::path& output,
                                    const std::shared_ptr<FaultPlan>& plan, bool stopMidway) {
    HeadlessWindow window;
    window.page.key = kKey;
    window.page.inputFile = input.u16string();
    window.page.outputFile = output.u16string();
    if (stopMidway) {
        window.onPump = [](HeadlessWindow& w) {
            if (w.Fields().complete != u"0 %") w.stopRequested = true;
        };
    }
    SetMessagePresenter(&window);
    {
        FaultyFiles files(plan);
        EncryptFile(window);
    }
    SetMessagePresenter(nullptr);
    return window.MessageTexts();
}

class Staging : public testing::TestWithParam<StagingCase> {
  protected:
    void SetUp() override {
        const StagingCase c = GetParam();
        const bool needsRoot = c.end == End::DiskFull || c.kind == Kind::ReadOnlyFolder;
        if (needsRoot && ::geteuid() != 0) {
            GTEST_SKIP() << "mounting a small or read-only folder needs root";
        }
        oldMask_ = ::umask(022);
        fs::create_directory(folder_);
        if (c.end == End::DiskFull) Mount("tmpfs", folder_, "tmpfs", 0, "size=64k");

        WriteBytes(input_, RandomBytes(300'000, 3));
        ::chmod(input_.c_str(), 0600);
        inputBytes_ = ReadBytes(input_);
        Encrypt(input_, scratch_ / "reference", std::make_shared<FaultPlan>(), false);
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

    void Previous(const fs::path& path) {
        previous_ = Bytes{'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};
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
    auto plan = std::make_shared<FaultPlan>();
    plan->fault = c.end == End::WriteFails    ? Fault::KernelShortWriteFull
                  : c.end == End::FsyncFails  ? Fault::KernelFsyncError
                  : c.end == End::NamingFails ? Fault::KernelNamingError
                                              : Fault::None;
    plan->call = 2;
    const std::vector<std::u16string> messages = Encrypt(input_, path_, plan, c.end == End::Stop);

    const std::u16string path = path_.u16string();
    const bool refused = c.kind == Kind::ReadOnlyFolder;
    const bool success = c.end == End::Success && !refused;
    std::vector<std::u16string> expected;
    if (refused) {
        expected = {u"File could not be opened: Access to " + path + u" was denied."};
    } else if (c.end == End::Success) {
        expected = {kDone};
    } else if (c.end == End::DiskFull || c.end == End::WriteFails) {
        expected = {FileErrorText(CFileException::DiskFull, path)};
    } else if (c.end != End::Stop) {
        expected = {FileErrorText(CFileException::HardIO, path)};
    }
    EXPECT_EQ(messages, expected);
    if (!refused && plan->fault != Fault::None) {
        EXPECT_EQ(syscall_faults::Fired(), 1);
    }

    if (success) {
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
    if (success && !previous_) {
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

// A new output takes the input's permission bits, limited by the umask: never looser.
TEST(StagingModes, ANewOutputIsNoMoreOpenThanItsInput) {
    struct ModeCase {
        mode_t input;
        mode_t mask;
        mode_t output;
    };
    const ModeCase cases[] = {{0600, 022, 0600},
                              {0644, 022, 0644},
                              {0664, 022, 0644},
                              {0644, 077, 0600},
                              {0755, 022, 0755}};
    for (const ModeCase& c : cases) {
        ScratchDir scratch;
        WriteBytes(scratch / "in", RandomBytes(100));
        ::chmod((scratch / "in").c_str(), c.input);
        const mode_t old = ::umask(c.mask);
        const auto messages =
            Encrypt(scratch / "in", scratch / "out", std::make_shared<FaultPlan>(), false);
        ::umask(old);
        EXPECT_EQ(messages, std::vector<std::u16string>{kDone});
        EXPECT_EQ(ModeOf(scratch / "out"), c.output) << std::oct << c.input << " " << c.mask;
    }
}

}  // namespace

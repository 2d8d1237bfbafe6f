// Hostile inputs end to end through the built harness: files on a read-only file system, an
// unreadable input, an output folder without write permission, and paths near the system's limit.
// Each run must end with a clear message, never hang, keep the input and never claim a half output
// complete. Folders and FIFOs where files belong, and a read-only output, are the stream's to
// refuse, and tested with it; an existing output on a read-only file system is tested with the
// staging; names that are not ASCII with the stream and the operations.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "harness_runner.h"
#include "support/operations.h"

namespace {

using namespace robustness;

const char* OpWord(Op op) {
    return op == Op::Encrypt ? "encrypt" : "decrypt";
}

std::string DoneText(Op op) {
    const std::u16string& text = op == Op::Encrypt ? kEncryptDone : kDecryptDone;
    return {text.begin(), text.end()};
}

HarnessResult Harness(Op op, const fs::path& input, const fs::path& output,
                      const std::optional<RunUser>& user = std::nullopt) {
    HarnessRun run({OpWord(op), kKeyText, input.string(), output.string(), "--trace"}, user);
    return run.Finish(std::chrono::seconds(60));
}

// The output a clean run on a plain copy of input gives.
Bytes ReferenceOutput(Op op, const Bytes& input, const ScratchDir& scratch) {
    const fs::path in = scratch / "reference-in";
    const fs::path out = scratch / "reference-out";
    WriteBytes(in, input);
    const HarnessResult result = Harness(op, in, out);
    EXPECT_EQ(result.exitStatus, 0);
    Bytes bytes = ReadBytes(out);
    fs::remove(in);
    fs::remove(out);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Refused opens and long paths, as one table.

struct Prepared {
    fs::path input;
    fs::path output;
    std::string expected;            // the one message; empty: the run must complete
    bool permissionsMatter = false;  // root runs the harness as nobody, so that they apply
};

struct HostileCase {
    std::string name;
    Op op;
    bool needsRoot;  // it mounts a file system
    std::function<Prepared(const ScratchDir&, const Bytes& input)> prepare;
};

class HostileInput : public testing::TestWithParam<HostileCase> {};

// The file systems a case mounted; they go before the scratch folder that holds them does.
std::vector<fs::path> g_mounts;

class Unmounter {
  public:
    Unmounter() = default;
    Unmounter(const Unmounter&) = delete;
    Unmounter& operator=(const Unmounter&) = delete;
    ~Unmounter() {
        for (const fs::path& mount : g_mounts) ::umount2(mount.c_str(), MNT_DETACH);
        g_mounts.clear();
    }
};

// A small tmpfs at folder holding file (with content), then made read-only; false if impossible.
bool ReadOnlyFileSystem(const fs::path& folder, const fs::path& file, const Bytes& content) {
    fs::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) return false;
    g_mounts.push_back(folder);
    if (!file.empty()) WriteBytes(file, content);
    return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m") == 0;
}

fs::path LongPath(const ScratchDir& scratch, std::size_t length, const std::string& last) {
    // Folders of 200 characters, then a file name that brings the whole path to length.
    fs::path path = scratch.Path();
    while (path.string().size() + 201 + last.size() + 1 < length) {
        path /= std::string(200, 'd');
    }
    const std::size_t rest = length - path.string().size() - 1 - last.size();
    path /= std::string(rest, 'f') + last;
    fs::create_directories(path.parent_path());
    return path;
}

std::vector<HostileCase> AllHostileCases() {
    std::vector<HostileCase> cases;
    for (Op op : {Op::Encrypt, Op::Decrypt}) {
        const std::string o = op == Op::Encrypt ? "Encrypt" : "Decrypt";
        const auto add = [&](const std::string& name, bool root, auto prepare) {
            cases.push_back({o + name, op, root, prepare});
        };
        add("InputOnReadOnlyFileSystem", true, [](const ScratchDir& s, const Bytes& input) {
            Prepared setup{s / "ro" / "in", s / "out", ""};
            if (!ReadOnlyFileSystem(s / "ro", setup.input, input)) setup.input.clear();
            return setup;
        });
        add("OutputOnReadOnlyFileSystem", true, [](const ScratchDir& s, const Bytes& input) {
            Prepared setup{s / "in", s / "ro" / "out", DeniedText(s / "ro" / "out")};
            WriteBytes(setup.input, input);
            if (!ReadOnlyFileSystem(s / "ro", {}, {})) setup.input.clear();
            return setup;
        });
        add("UnreadableInput", false, [](const ScratchDir& s, const Bytes& input) {
            Prepared setup{s / "in", s / "out", DeniedText(s / "in"), true};
            WriteBytes(setup.input, input);
            fs::permissions(setup.input, fs::perms::none);
            return setup;
        });
        add("OutputFolderNotWritable", false, [](const ScratchDir& s, const Bytes& input) {
            Prepared setup{s / "in", s / "locked" / "out", DeniedText(s / "locked" / "out"), true};
            WriteBytes(setup.input, input);
            fs::permissions(setup.input,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
            fs::create_directory(s / "locked");
            fs::permissions(s / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                              fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
            return setup;
        });
        add("PathsOf4000Characters", false, [](const ScratchDir& s, const Bytes& input) {
            Prepared setup{LongPath(s, 4000, ".in"), LongPath(s, 4000, ".out"), ""};
            WriteBytes(setup.input, input);
            return setup;
        });
    }
    return cases;
}

TEST_P(HostileInput, ClearMessageAndNothingLost) {
    const HostileCase& c = GetParam();
    if (c.needsRoot && !IsRoot()) {
        GTEST_SKIP() << "needs root to mount a file system";
    }
    ScratchDir scratch;
    const Unmounter unmounter;
    fs::permissions(scratch.Path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    const Bytes input = InputFor(c.op, 30'011, 3);
    const Prepared setup = c.prepare(scratch, input);
    if (setup.input.empty()) GTEST_SKIP() << "cannot mount a read-only file system here";
    const bool asNobody = setup.permissionsMatter && IsRoot();
    if (asNobody && !NobodyCanReach(scratch.Path().string())) {
        GTEST_SKIP() << "the unprivileged user cannot reach " << scratch.Path();
    }
    const bool outputExisted = fs::exists(setup.output);
    const Bytes outputBefore =
        fs::is_regular_file(setup.output) ? ReadBytes(setup.output) : Bytes{};

    const HarnessResult result = Harness(c.op, setup.input, setup.output,
                                         asNobody ? std::optional(RunUser{}) : std::nullopt);
    ASSERT_FALSE(result.timedOut) << "the run hung";

    // Permissions may hide the file from this process as well as from the harness.
    std::error_code readOnlyFileSystem;  // there the file is readable already
    fs::permissions(setup.input, fs::perms::owner_read, fs::perm_options::add, readOnlyFileSystem);
    EXPECT_TRUE(ReadBytes(setup.input) == input) << "the input changed";
    if (setup.expected.empty()) {
        EXPECT_EQ(result.messages, std::vector<std::string>{DoneText(c.op)});
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_TRUE(ReadBytes(setup.output) == ReferenceOutput(c.op, input, scratch));
        return;
    }
    EXPECT_EQ(result.messages, std::vector<std::string>{setup.expected});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out.find('%'), std::string::npos) << "a refused run showed progress";
    if (!outputExisted) {
        EXPECT_FALSE(fs::exists(setup.output)) << "a refused run created its output";
    } else {
        EXPECT_TRUE(ReadBytes(setup.output) == outputBefore) << "a refused run touched its output";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, testing::ValuesIn(AllHostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             return info.param.name;
                         });

}  // namespace

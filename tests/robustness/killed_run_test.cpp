// A harness run ended from outside in the middle of a 200 MB encryption: by SIGKILL, where nothing
// of it runs any more, and by SIGTERM, SIGINT and SIGHUP, which it must treat as a request to stop.
// Either way the output path keeps what it held, never a cut-off file, and only SIGKILL may leave
// a staged file behind (none where the file system stages unnamed files, as here).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <memory>
#include <string>
#include <vector>

#include "harness_runner.h"
#include "support/files.h"

namespace {

using namespace robustness;

constexpr std::size_t kInputBytes = 200u << 20;

struct KillCase {
    int signal;
    int percent;  // the status row's value the run is held at when the signal comes
};

// The trace lines "0 %" up to the one before "percent %": the room that lets the run reach it.
std::size_t TraceBytesBefore(int percent) {
    std::size_t bytes = 0;
    for (int p = 0; p < percent; ++p) bytes += std::to_string(p).size() + 3;
    return bytes;
}

class KilledRun : public testing::TestWithParam<KillCase> {
  protected:
    static void SetUpTestSuite() {
        input_ = new ScratchDir;
        WriteBytes(*input_ / "big", RandomBytes(kInputBytes, 5));
    }
    static void TearDownTestSuite() {
        delete input_;
        input_ = nullptr;
    }
    static ScratchDir* input_;
};

ScratchDir* KilledRun::input_ = nullptr;

TEST_P(KilledRun, LeavesTheOutputPathAsItWas) {
    const KillCase c = GetParam();
    ScratchDir scratch;
    const fs::path output = scratch / "out";
    const Bytes previous = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};
    WriteBytes(output, previous);
    const std::vector<std::string> before = Names(scratch.Path());

    HarnessRun run({"encrypt", kKeyText, (*input_ / "big").string(), output.string(), "--trace"},
                   std::nullopt, true, TraceBytesBefore(c.percent));
    ASSERT_TRUE(run.Held()) << "the run could not be held where it was meant to be";
    run.Signal(c.signal);
    const HarnessResult result = run.Finish();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, c.signal) << "it did not end by the signal";
    EXPECT_TRUE(result.messages.empty());
    EXPECT_TRUE(ReadBytes(output) == previous) << "the output path changed";
    EXPECT_EQ(Names(scratch.Path()), before) << "something was left in the folder";
}

INSTANTIATE_TEST_SUITE_P(Signals, KilledRun,
                         testing::Values(KillCase{SIGKILL, 0}, KillCase{SIGKILL, 40},
                                         KillCase{SIGKILL, 99}, KillCase{SIGTERM, 0},
                                         KillCase{SIGTERM, 60}, KillCase{SIGINT, 30},
                                         KillCase{SIGHUP, 90}),
                         [](const testing::TestParamInfo<KillCase>& info) {
                             return std::string(sigabbrev_np(info.param.signal)) +
                                    std::to_string(info.param.percent);
                         });

// Where the file system cannot stage unnamed files (a FUSE view), a killed run leaves its hidden
// sibling behind; the next run on the same output removes it, while one that is still staging
// beside it keeps its own.
TEST(KilledRunLeftover, TheNextRunOnTheOutputRemovesIt) {
    ScratchDir scratch;
    const fs::path source = scratch / "source";
    const fs::path view = scratch / "view";
    if (const std::string why = MountView(source, view); !why.empty()) GTEST_SKIP() << why;
    WriteBytes(scratch / "input", RandomBytes(1 << 20, 6));
    auto run = [&](const char* name, bool hold) {
        return std::make_unique<HarnessRun>(
            std::vector<std::string>{"encrypt", kKeyText, (scratch / "input").string(),
                                     (view / name).string(), "--trace"},
            std::nullopt, hold);
    };
    auto killed = run("out", true);
    ASSERT_TRUE(killed->Held());
    killed->Signal(SIGKILL);
    killed->Finish();
    ASSERT_EQ(Names(source).size(), 1u) << "the killed run left nothing to clean up";

    auto live = run("out", true);  // staging beside the leftover, held there
    ASSERT_TRUE(live->Held());
    EXPECT_EQ(run("out", false)->Finish().exitStatus, 0);
    EXPECT_EQ(Names(source).size(), 2u) << "the live run's staged file was taken";
    EXPECT_EQ(live->Finish().exitStatus, 0);
    EXPECT_EQ(Names(source), std::vector<std::string>{"out"});
    ::umount2(view.c_str(), MNT_DETACH);
}

}  // namespace

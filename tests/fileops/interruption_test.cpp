// Runs that do not finish: the window asks to stop, or a nested run collides. A full disk at any
// write of a run is the fault injection's (tests/robustness).
#include <string>
#include <utility>
#include <vector>

#include "filestream/file_stream.h"
#include "test_support.h"

namespace {

struct StopCase {
    Op op;
    int atPump;  // 1 is the pump after "0 %"
};

class StopTest : public OperationTest, public testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, StopFromAPumpEndsTheRunWithoutOutput) {
    WriteBytes(dir / "in", InputFor(GetParam().op, 1000));
    window.SetPage(kKey, dir / "in", dir / "out");
    window.onPump = [&](HeadlessWindow& w) {
        if (w.pumps == GetParam().atPump) w.stopRequested = true;
    };
    EXPECT_EQ(RunOp(GetParam().op, window), (RunResult{RunOutcome::Stopped, {}}));

    EXPECT_EQ(window.pumps, GetParam().atPump);
    EXPECT_TRUE(window.messages.empty());
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_TRUE(NotHeldOpen(dir / "in"));
}

INSTANTIATE_TEST_SUITE_P(Pumps, StopTest,
                         testing::Values(StopCase{Op::Encrypt, 1}, StopCase{Op::Encrypt, 4},
                                         StopCase{Op::Decrypt, 1}, StopCase{Op::Decrypt, 4}),
                         [](const testing::TestParamInfo<StopCase>& info) {
                             return std::string(OpName(info.param.op)) + "AtPump" +
                                    std::to_string(info.param.atPump);
                         });

using LateStopTest = OperationTest;

TEST_F(LateStopTest, StopAfterTheLastPumpKeepsTheCompleteOutputButShowsNoMessage) {
    WriteBytes(dir / "in", RandomBytes(100, 3));
    window.SetPage(kKey, dir / "in", dir / "out");
    window.onPump = [](HeadlessWindow& w) { w.stopRequested = w.page.complete == u"100 %"; };
    // The output is in place: the run completed, only its message was not shown.
    EXPECT_EQ(EncryptFile(window), (RunResult{RunOutcome::Completed, {}}));
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(fs::file_size(dir / "out"), 102u);
}

TEST_F(LateStopTest, RunStartedWhileTheWindowIsClosingDoesNothing) {
    WriteBytes(dir / "in", Marked({1}));
    window.stopRequested = true;
    for (const Op op : {Op::Encrypt, Op::Decrypt}) {
        window.SetPage(op == Op::Encrypt ? u"" : kKey, dir / "in", dir / "out");
        EXPECT_EQ(RunOp(op, window), (RunResult{RunOutcome::Stopped, {}}));
    }
    EXPECT_TRUE(window.messages.empty());
    EXPECT_TRUE(window.pageWrites.empty());
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(LateStopTest, StopWhileTheEmptyInputWarningIsUpCreatesNoOutput) {
    WriteBytes(dir / "in", Bytes{});
    window.SetPage(kKey, dir / "in", dir / "out");
    window.onMessage = [](HeadlessWindow& w, const HeadlessWindow::Message&) {
        w.stopRequested = true;
    };
    EXPECT_EQ(DecryptFile(window), (RunResult{RunOutcome::Stopped, {}}));
    EXPECT_EQ(window.MessageTexts(), Texts{u"The input file is empty"});
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// A program that unwinds a stream's misuse instead of ending (the command line) gets its
// exception out of the run, and the run's staged output is gone: the old file is left as it was.
TEST_P(StopTest, MisuseUnwoundFromAPumpDropsTheOutput) {
    struct Misuse {};
    WriteBytes(dir / "in", InputFor(GetParam().op, 1000));
    WriteBytes(dir / "out", "old");
    window.SetPage(kKey, dir / "in", dir / "out");
    window.onPump = [&](HeadlessWindow& w) {
        if (w.pumps != GetParam().atPump) return;
        CFileStream closed;
        char c = 0;
        closed.Read(&c, 1);
    };
    SetMisuseHandler([] { throw Misuse{}; });
    EXPECT_THROW(RunOp(GetParam().op, window), Misuse);
    SetMisuseHandler(nullptr);

    EXPECT_EQ(window.MessageTexts(), Texts{u"file not opened (read)"});
    EXPECT_EQ(ReadString(dir / "out"), "old");
    EXPECT_EQ(Names(dir.Path()).size(), 2u);
    EXPECT_TRUE(NotHeldOpen(dir / "in"));
}

class NestedRunTest : public OperationTest, public testing::WithParamInterface<Op> {
  protected:
    // Runs the operation with a second one started from its first pump, aimed at `nestedOutput`.
    void RunNested(const fs::path& nestedOutput) {
        WriteBytes(dir / "plain", RandomBytes(5000, 41));
        if (GetParam() == Op::Decrypt) {
            window.SetPage(kKey, dir / "plain", dir / "enc");
            EncryptFile(window);
            window.messages.clear();
            window.SetPage(kKey, dir / "enc", dir / "out");
        } else {
            window.SetPage(kKey, dir / "plain", dir / "out");
        }
        window.onPump = [this, nestedOutput](HeadlessWindow& w) {
            if (std::exchange(nestedStarted_, true)) return;
            w.page.outputFile = nestedOutput.u16string();
            RunOp(GetParam(), w);
        };
        RunOp(GetParam(), window);
    }
    // What the outer run wrote, turned back into the plaintext when it was an encryption.
    Bytes OuterResult(const fs::path& output) {
        if (GetParam() == Op::Decrypt) return ReadBytes(output);
        HeadlessWindow check({kKey, (dir / "check").u16string(), {}, {}, output.u16string()});
        DecryptFile(check);
        return ReadBytes(dir / "check");
    }
    std::u16string Completion() const {
        return GetParam() == Op::Encrypt ? kEncryptDone : kDecryptDone;
    }

    bool nestedStarted_ = false;
};

TEST_P(NestedRunTest, NestedRunOnTheSameOutputIsRefusedWhileTheOuterRunCompletes) {
    RunNested(dir / "out");
    EXPECT_EQ(window.MessageTexts(),
              (Texts{u"File could not be opened: A sharing violation occurred while accessing " +
                         (dir / "out").u16string() + u".",
                     Completion()}));
    EXPECT_TRUE(OuterResult(dir / "out") == ReadBytes(dir / "plain"));
}

TEST_P(NestedRunTest, NestedRunOnAnotherOutputCompletesAsWellAsTheOuterOne) {
    RunNested(dir / "other");
    EXPECT_EQ(window.MessageTexts(), (Texts{Completion(), Completion()}));
    EXPECT_TRUE(OuterResult(dir / "out") == ReadBytes(dir / "plain"));
    EXPECT_TRUE(OuterResult(dir / "other") == ReadBytes(dir / "plain"));
    EXPECT_EQ(window.page.complete, u"100 %");
}

INSTANTIATE_TEST_SUITE_P(BothOperations, NestedRunTest, testing::Values(Op::Encrypt, Op::Decrypt),
                         [](const auto& info) { return std::string(OpName(info.param)); });

}  // namespace

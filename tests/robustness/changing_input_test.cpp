// An input that shrinks or grows while a run reads it, changed from inside the run's first pump
// (both files open, the input's length known). A shrunk input must never yield an output claimed
// complete; a grown one is taken as it was when opened.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fileops/file_operations.h"
#include "filestream/file_error.h"
#include "support/operations.h"

namespace {

struct ChangeCase {
    const char* name;
    Op op;
    std::size_t length;     // of the input when the run opens it
    std::size_t changedTo;  // its length from the first pump on
};

struct ObservedRun {
    HeadlessWindow window;
    RunResult result;
};

ObservedRun RunOn(Op op, const fs::path& in, const fs::path& out,
                  const std::function<void()>& atFirstPump = {}) {
    ObservedRun run;
    run.window.SetPage(kKey, in, out);
    bool changed = false;
    run.window.onPump = [&](HeadlessWindow&) {
        if (changed || !atFirstPump) return;
        changed = true;
        atFirstPump();
    };
    run.result = RunPresented(op, run.window);
    return run;
}

class ChangingInput : public testing::TestWithParam<ChangeCase> {};

TEST_P(ChangingInput, ShrunkInputFailsAndGrownInputIsTakenAsOpened) {
    const ChangeCase c = GetParam();
    ScratchDir scratch;
    const fs::path in = scratch / "in";
    const fs::path out = scratch / "out";
    const Bytes original = InputFor(c.op, c.length, 4);
    WriteBytes(in, original);
    Bytes changed = original;
    changed.resize(c.changedTo);
    for (std::size_t i = c.length; i < c.changedTo; ++i) changed[i] = static_cast<std::uint8_t>(i);

    const ObservedRun run = RunOn(c.op, in, out, [&] { WriteBytes(in, changed); });
    ASSERT_EQ(run.window.MessageTexts().size(), 1u);

    if (c.changedTo >= c.length) {
        // The same run on the file as it was opened.
        const fs::path reference = scratch / "reference";
        WriteBytes(reference, original);
        const ObservedRun clean = RunOn(c.op, reference, scratch / "reference-out");
        EXPECT_EQ(run.result.outcome, RunOutcome::Completed);
        EXPECT_EQ(run.window.MessageTexts(), clean.window.MessageTexts());
        EXPECT_TRUE(ReadBytes(out) == ReadBytes(scratch / "reference-out"));
        return;
    }
    EXPECT_EQ(run.result.outcome, RunOutcome::Failed) << "a cut-off output was claimed complete";
    EXPECT_EQ(run.result.message, FileErrorText(CFileException::EndOfFile, in.u16string()));
    EXPECT_FALSE(fs::exists(out)) << "the cut-off output was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangingInput,
    testing::Values(ChangeCase{"EncryptShrinksToNothing", Op::Encrypt, 100'000, 0},
                    ChangeCase{"EncryptShrinksInsideTheFirstBuffer", Op::Encrypt, 100'000, 5000},
                    ChangeCase{"EncryptShrinksByOneByte", Op::Encrypt, 100'000, 99'999},
                    ChangeCase{"EncryptShrinksInsideTheLastBlock", Op::Encrypt, 100'007, 100'001},
                    ChangeCase{"DecryptShrinksToTheMarker", Op::Decrypt, 100'002, 2},
                    ChangeCase{"DecryptShrinksInsideTheFirstBuffer", Op::Decrypt, 100'002, 5000},
                    ChangeCase{"DecryptShrinksByOneByte", Op::Decrypt, 100'002, 100'001},
                    ChangeCase{"EncryptGrowsAtABlockEnd", Op::Encrypt, 100'000, 150'000},
                    ChangeCase{"EncryptGrowsInsideABlock", Op::Encrypt, 100'007, 150'000},
                    ChangeCase{"DecryptGrowsAtABlockEnd", Op::Decrypt, 100'002, 150'000},
                    ChangeCase{"DecryptGrowsInsideABlock", Op::Decrypt, 100'000, 150'000}),
    [](const testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

}  // namespace

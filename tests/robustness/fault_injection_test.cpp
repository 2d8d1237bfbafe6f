// Faults planted in the file layer during real Encrypt and Decrypt runs: read and write errors
// at the first, a middle and the last transfer, short writes, a failing close and a failing
// fsync. Every failed run must show the error's own text, have both files closed by the time it
// is shown, leave no output behind and the input as it was; a short write the kernel merely
// splits must not be noticed at all.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fileops/file_operations.h"
#include "filestream/file_error.h"
#include "support/fake_file.h"
#include "support/operations.h"
#include "syscall_faults.h"

namespace {

enum class At { Opening, First, Middle, Last, Closing };

enum class Fault {
    ReadError,             // the input's n-th read throws: a hardware I/O error
    WriteError,            // the output's n-th write throws: disk full, nothing written
    KernelShortWriteFull,  // write(2) on the output takes half the n-th request, then ENOSPC
    KernelShortWriteOnly,  // write(2) on the output takes half the n-th request, then goes on
    KernelFsyncError,      // fsync(2) on the output fails with EIO
    KernelCloseError,      // close(2) on the output fails with EIO after releasing it
    KernelNamingError,     // linkat(2) and renameat(2) fail with EIO as the output takes its name
};

struct FaultCase {
    Op op;
    Fault fault;
    At at;
};

// Large enough for several transfers each way through the stream's ten-kilobyte buffer.
constexpr std::size_t kPlainLength = 100'003;

const char* const kFaultNames[] = {
    "ReadError",        "WriteError",       "KernelShortWriteThenFull", "KernelShortWriteOnly",
    "KernelFsyncError", "KernelCloseError", "KernelNamingError"};
const char* const kAtNames[] = {"Opening", "First", "Middle", "Last", "Closing"};

std::string CaseName(const testing::TestParamInfo<FaultCase>& info) {
    return std::string(OpName(info.param.op)) + kFaultNames[static_cast<int>(info.param.fault)] +
           kAtNames[static_cast<int>(info.param.at)];
}

struct Observed {
    RunResult result;
    std::vector<HeadlessWindow::Message> messages;
    int openFilesAtMessage = -1;
    bool outputExistedAtMessage = false;
    std::vector<std::u16string> status;
};

// The fault planted in the fake files, or below the output's descriptor, to strike at call.
FaultPlan PlanFor(Fault fault, int call) {
    using syscall_faults::Kind;
    constexpr auto kInput = FileAccess::Read;
    constexpr auto kOutput = FileAccess::CreateReadWrite;
    const auto below = [call](Kind kind) {
        FaultPlan plan;
        plan.outputOpened = [kind, call](int fd) { syscall_faults::Arm(fd, kind, call); };
        return plan;
    };
    switch (fault) {
        case Fault::ReadError:
            return FaultPlan(FaultAt::Read, call, CFileException::HardIO, kInput);
        case Fault::WriteError:
            return FaultPlan(FaultAt::Write, call, CFileException::DiskFull, kOutput);
        case Fault::KernelShortWriteFull:
            return below(Kind::ShortWriteThenFull);
        case Fault::KernelShortWriteOnly:
            return below(Kind::ShortWriteOnly);
        case Fault::KernelFsyncError:
            return below(Kind::FsyncFails);
        case Fault::KernelCloseError:
            return below(Kind::CloseFails);
        case Fault::KernelNamingError:
            return below(Kind::NamingFails);
    }
    return FaultPlan();
}

Observed RunOperation(Op op, const fs::path& input, const fs::path& output,
                      const std::shared_ptr<FileLog>& log, const FaultPlan& plan = FaultPlan()) {
    HeadlessWindow window;
    window.SetPage(kKey, input, output);
    Observed observed;
    window.onMessage = [&](HeadlessWindow&, const HeadlessWindow::Message&) {
        observed.openFilesAtMessage = log->openFiles;
        observed.outputExistedAtMessage = fs::exists(output);
    };
    syscall_faults::Reset();
    {
        FakeFiles files(log, plan);
        observed.result = RunPresented(op, window);
    }
    syscall_faults::Disarm();
    observed.messages = window.messages;
    observed.status = window.StatusValues();
    return observed;
}

class FaultInjection : public testing::TestWithParam<FaultCase> {
  protected:
    void SetUp() override {
        const Op op = GetParam().op;
        const Bytes plain = RandomBytes(kPlainLength, 7);
        WriteBytes(scratch / "plain", plain);
        if (op == Op::Encrypt) {
            WriteBytes(input, plain);
        } else {
            RunOperation(Op::Encrypt, scratch / "plain", input, std::make_shared<FileLog>());
            ASSERT_EQ(fs::file_size(input), kPlainLength + 2);
        }
        inputBytes = ReadBytes(input);

        // A clean run first: how many transfers each side makes, and what the output must be.
        const auto clean = std::make_shared<FileLog>();
        const Observed observed = RunOperation(op, input, scratch / "clean", clean);
        ASSERT_EQ(observed.messages.size(), 1u);
        ASSERT_EQ(observed.result.outcome, RunOutcome::Completed);
        cleanOutput = ReadBytes(scratch / "clean");
        // Only the input is read and only the output written.
        reads = static_cast<int>(clean->reads.size());
        writes = static_cast<int>(clean->writes.size());
        // The first read is the stream's look at the first two bytes while opening.
        ASSERT_GE(reads, 4);
        ASSERT_GE(writes, 3);
    }

    int CallFor(Fault fault, At at) const {
        const bool reading = fault == Fault::ReadError;
        const int first = reading ? 2 : 1;
        const int last = reading ? reads : writes;
        if (at == At::First) return first;
        if (at == At::Middle) return (first + last) / 2;
        return at == At::Last ? last : 1;  // opening and closing: their one call
    }

    ScratchDir scratch;
    fs::path input = scratch / "input";
    fs::path output = scratch / "output";
    Bytes inputBytes;
    Bytes cleanOutput;
    int reads = 0;
    int writes = 0;
};

TEST_P(FaultInjection, EndsWithTheErrorTextBothFilesClosedAndNothingLost) {
    const FaultCase c = GetParam();
    const auto log = std::make_shared<FileLog>();
    const int descriptorsBefore = OpenDescriptors();

    const Observed observed =
        RunOperation(c.op, input, output, log, PlanFor(c.fault, CallFor(c.fault, c.at)));

    EXPECT_EQ(log->faultsFired + syscall_faults::Fired(), 1) << "the planted fault never struck";
    EXPECT_EQ(log->openFiles, 0);
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    EXPECT_TRUE(ReadBytes(input) == inputBytes) << "the input changed";

    ASSERT_EQ(observed.messages.size(), 1u);
    const HeadlessWindow::Message& message = observed.messages[0];
    EXPECT_EQ(observed.openFilesAtMessage, 0) << "a file was still open while the user read";

    if (c.fault == Fault::KernelShortWriteOnly) {
        // A write the kernel splits is finished by the next one: nobody may notice.
        EXPECT_EQ(observed.result.outcome, RunOutcome::Completed);
        EXPECT_TRUE(ReadBytes(output) == cleanOutput);
        return;
    }

    const bool full = c.fault == Fault::WriteError || c.fault == Fault::KernelShortWriteFull;
    const std::u16string expected =
        FileErrorText(full ? CFileException::DiskFull : CFileException::HardIO,
                      (c.fault == Fault::ReadError ? input : output).u16string());
    EXPECT_EQ(observed.result.outcome, RunOutcome::Failed);
    if (c.at == At::Opening) {
        // The input cannot even be looked at: that is a file that could not be opened.
        EXPECT_EQ(message.source, HeadlessWindow::Source::Stream);
        EXPECT_EQ(message.buttons, MessageButtons::OkCancel);
        EXPECT_EQ(message.text, u"File could not be opened: " + expected);
        EXPECT_TRUE(observed.status.empty());
    } else {
        EXPECT_EQ(message.source, HeadlessWindow::Source::Window);
        EXPECT_EQ(observed.result.message, expected);
    }
    EXPECT_FALSE(observed.outputExistedAtMessage) << "an incomplete output was left for the user";
    EXPECT_FALSE(fs::exists(output)) << "an incomplete output was left behind";
}

std::vector<FaultCase> AllCases() {
    std::vector<FaultCase> cases;
    for (Op op : {Op::Encrypt, Op::Decrypt}) {
        for (At at : {At::Opening, At::First, At::Middle, At::Last}) {
            cases.push_back({op, Fault::ReadError, at});
        }
        // At the last write the output's final flush meets the full disk, as Close writes it.
        for (Fault fault : {Fault::WriteError, Fault::KernelShortWriteFull}) {
            for (At at : {At::First, At::Middle, At::Last}) cases.push_back({op, fault, at});
        }
        for (At at : {At::Middle, At::Last}) cases.push_back({op, Fault::KernelShortWriteOnly, at});
        for (Fault fault :
             {Fault::KernelCloseError, Fault::KernelFsyncError, Fault::KernelNamingError}) {
            cases.push_back({op, fault, At::Closing});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInjection, testing::ValuesIn(AllCases()), CaseName);

}  // namespace

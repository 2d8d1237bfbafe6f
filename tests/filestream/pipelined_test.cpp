// The pipelined platform file: what the file underneath sees and what the caller gets must be what
// they would be without the overlap. Every comparison runs the same workload twice, once on the
// logging file directly and once through the pipelined file, and waits for nothing but the
// file's own calls (results never depend on how far the worker got).

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "filestream/pipelined_file.h"
#include "support.h"

namespace {

constexpr int kCause = CFileException::DiskFull;
constexpr std::size_t kPiece = 10002;  // what the stream asks the file for after its 2-byte probe

std::unique_ptr<IPlatformFile> Inner(std::shared_ptr<FileLog> log, bool piped,
                                     FaultAt fault = FaultAt::None, int call = 1) {
    auto file = std::make_unique<LoggingFile>(std::move(log), fault, call, kCause);
    if (!piped) return file;
    return std::make_unique<PipelinedFile>(std::move(file));
}

// Threads of the process.
std::size_t CountThreads() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// Threads of the process once every thread already joined has left it. A joined thread can stay
// listed for a moment while the system tears it down, so the count is taken again (for at most
// two seconds) until it is no more than `expected`; a thread still running never leaves, and is
// counted. Without `expected`, the least of a few counts. One thread is started and joined first,
// so that a helper thread a sanitizer starts with the first thread of the process is counted from
// the start.
std::size_t ThreadCount(std::size_t expected = 0) {
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    std::size_t n = CountThreads();
    if (expected == 0) {
        // No target: the least of a few counts.
        for (int i = 0; i < 20; ++i) {
            std::this_thread::yield();
            n = std::min(n, CountThreads());
        }
        return n;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (n > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        n = CountThreads();
    }
    return n;
}

struct ReadOutcome {
    std::string bytes;
    std::vector<std::int32_t> results;
    std::vector<std::int32_t> fileReads;
    int failedAt = -1;  // index of the stream Read that threw
    int cause = -1;
};

ReadOutcome ReadThrough(const std::string& path, bool piped, std::int32_t request,
                        FaultAt fault = FaultAt::None, int call = 1) {
    RecordingPresenter presenter;
    auto log = std::make_shared<FileLog>();
    ReadOutcome out;
    {
        CFileStream stream(Inner(log, piped, fault, call));
        if (stream.Open(U16(path), CFileStream::ModeRead) != 1) return out;
        std::vector<char> chunk(static_cast<std::size_t>(request));
        for (int i = 0;; ++i) {
            std::int32_t n = 0;
            try {
                n = stream.Read(chunk.data(), request);
            } catch (const CFileException& error) {
                out.failedAt = i;
                out.cause = error.cause;
                break;
            }
            out.results.push_back(n);
            out.bytes.append(chunk.data(), static_cast<std::size_t>(n));
            if (n == 0) break;
        }
        stream.Close();  // a read failure is not kept: the close succeeds
    }
    out.fileReads = log->reads;
    return out;
}

struct Workload {
    std::size_t length;
    std::int32_t unit;
};

class SameTransfers : public ::testing::TestWithParam<Workload> {};

TEST_P(SameTransfers, SequentialReadsAskTheFileTheSameAndDeliverTheSameBytes) {
    const Workload w = GetParam();
    ScratchDir dir;
    const std::string path = dir.File("in.bin");
    WriteBytes(path, Pattern(w.length));
    const ReadOutcome plain = ReadThrough(path, false, w.unit);
    const ReadOutcome piped = ReadThrough(path, true, w.unit);
    EXPECT_TRUE(plain.bytes == Pattern(w.length));
    EXPECT_TRUE(piped.bytes == plain.bytes);
    EXPECT_EQ(piped.results, plain.results);
    // Read-ahead stops where the file is drained: not one read more, also at an exact multiple.
    EXPECT_EQ(piped.fileReads, plain.fileReads);
}

TEST_P(SameTransfers, WritesReachTheFileInTheSamePiecesAndTheSameContent) {
    const Workload w = GetParam();
    const std::string content = Pattern(w.length);
    ScratchDir dir;
    std::vector<std::int32_t> writes[2];
    for (const bool piped : {false, true}) {
        const std::string path = dir.File(piped ? "piped.bin" : "plain.bin");
        auto log = std::make_shared<FileLog>();
        CFileStream stream(Inner(log, piped));
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
        for (std::size_t at = 0; at < content.size(); at += static_cast<std::size_t>(w.unit)) {
            const auto n =
                std::min<std::size_t>(static_cast<std::size_t>(w.unit), content.size() - at);
            stream.Write(content.data() + at, static_cast<std::int32_t>(n));
        }
        stream.Close();
        writes[piped] = log->writes;
        EXPECT_TRUE(ReadBytes(path) == content) << (piped ? "piped" : "plain");
    }
    EXPECT_EQ(writes[1], writes[0]);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SameTransfers,
                         ::testing::Values(Workload{0, 16}, Workload{1, 16}, Workload{10001, 16},
                                           Workload{10002, 16}, Workload{10003, 16},
                                           Workload{2 * kPiece, 16}, Workload{3 * kPiece, 1},
                                           Workload{3 * kPiece + 1, 16}, Workload{40 * kPiece, 16},
                                           Workload{70 * kPiece - 1, 1}, Workload{200 * kPiece, 16},
                                           Workload{5000000, 16}, Workload{5000000, 1},
                                           Workload{1000000, 20000}, Workload{3000000, 1 << 20}),
                         [](const auto& info) {
                             return "L" + std::to_string(info.param.length) + "_by" +
                                    std::to_string(info.param.unit);
                         });

// A file made to overlap its writes only reads nothing ahead: while a stream reads it through,
// the file underneath is asked for each piece only when the stream needs it, and no thread is
// started. Its writes still go behind.
TEST(WritesOnly, ReadsOnDemandWithoutAThreadAndWritesBehind) {
    ScratchDir dir;
    const std::string path = dir.File("in.bin");
    const std::string content = Pattern(10 * kPiece + 5);
    WriteBytes(path, content);
    RecordingPresenter presenter;
    const std::size_t threads = ThreadCount();
    auto log = std::make_shared<FileLog>();
    {
        CFileStream stream(std::make_unique<PipelinedFile>(std::make_unique<LoggingFile>(log),
                                                           PipelinedFile::Overlap::WritesOnly));
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
        const std::size_t probeReads = log->reads.size();
        std::string got;
        char block[16];
        for (std::int32_t n = 0; (n = stream.Read(block, 16)) > 0;) {
            got.append(block, static_cast<std::size_t>(n));
            // Pieces asked for: those that hold the bytes delivered so far, and at most the one
            // the stream refills its buffer with as the last byte of a piece goes out.
            ASSERT_GE(log->reads.size() - probeReads, (got.size() + kPiece - 1) / kPiece);
            ASSERT_LE(log->reads.size() - probeReads, got.size() / kPiece + 1);
            ASSERT_EQ(ThreadCount(threads), threads);
        }
        EXPECT_TRUE(got == content);
    }

    const std::string out = dir.File("out.bin");
    auto writeLog = std::make_shared<FileLog>();
    auto file = std::make_unique<PipelinedFile>(std::make_unique<LoggingFile>(writeLog),
                                                PipelinedFile::Overlap::WritesOnly);
    CFileStream stream(std::move(file));
    ASSERT_EQ(stream.Open(U16(out), CFileStream::ModeCreate), 1);
    for (std::size_t at = 0; at < content.size(); at += 16) {
        stream.Write(content.data() + at,
                     static_cast<std::int32_t>(std::min<std::size_t>(16, content.size() - at)));
    }
    EXPECT_GT(ThreadCount(), threads);  // the writer behind
    stream.Close();
    EXPECT_EQ(ThreadCount(threads), threads);
    EXPECT_TRUE(ReadBytes(out) == content);
}

// Faults at the probe (an open failure), the first plain read, the first and a middle piece read
// ahead, and the short last piece: the failure reaches the caller at the same Read, with the
// same bytes before it.
class ReadFault : public ::testing::TestWithParam<int> {};

TEST_P(ReadFault, ReachesTheCallerAtTheSameReadWithTheSameBytesBefore) {
    ScratchDir dir;
    const std::string path = dir.File("in.bin");
    WriteBytes(path, Pattern(50 * kPiece + 77));  // the probe and 51 reads
    const ReadOutcome plain = ReadThrough(path, false, 16, FaultAt::Read, GetParam());
    const ReadOutcome piped = ReadThrough(path, true, 16, FaultAt::Read, GetParam());
    EXPECT_EQ(plain.cause, GetParam() == 1 ? -1 : kCause);
    EXPECT_EQ(piped.cause, plain.cause);
    EXPECT_EQ(piped.failedAt, plain.failedAt);
    EXPECT_TRUE(piped.bytes == plain.bytes);
}

INSTANTIATE_TEST_SUITE_P(Calls, ReadFault, ::testing::Values(1, 2, 4, 5, 26, 52));

// One-byte writes of 40 full buffers and a rest passed on by Close; the n-th write fails.
class WriteFault : public ::testing::TestWithParam<int> {};

TEST_P(WriteFault, NothingAfterTheFailedPieceReachesTheFileAndCloseReportsIt) {
    const int failing = GetParam();
    constexpr std::size_t kBuffer = 10001;
    const std::string content = Pattern(40 * kBuffer + 123);
    ScratchDir dir;
    const std::string path = dir.File("out.bin");
    auto log = std::make_shared<FileLog>();
    auto file = std::make_unique<PipelinedFile>(
        std::make_unique<LoggingFile>(log, FaultAt::Write, failing, kCause));
    PipelinedFile* raw = file.get();
    CFileStream stream(std::move(file));
    WriteBytes(path, "");  // written in place, so the file shows what reached it
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeReadWrite), 1);
    std::size_t accepted = 0;
    int caught = -1;
    try {
        for (; accepted < content.size(); ++accepted) stream.Write(&content[accepted], 1);
    } catch (const CFileException& error) {
        caught = error.cause;
    }
    // Without the overlap the failure comes out of the Write that passes the failing buffer on;
    // here it may come later, never earlier.
    if (failing <= 40) {
        EXPECT_GE(accepted, static_cast<std::size_t>(failing) * kBuffer);
    } else {
        EXPECT_EQ(accepted, content.size());
    }
    try {
        stream.Close();
        ADD_FAILURE() << "Close after a failed write succeeded";
    } catch (const CFileException& error) {
        EXPECT_EQ(error.cause, kCause);
        if (caught != -1) {
            EXPECT_EQ(caught, kCause);
        }
    }
    EXPECT_FALSE(raw->IsOpen());
    EXPECT_EQ(log->writes.size(), static_cast<std::size_t>(failing));
    EXPECT_TRUE(ReadBytes(path) ==
                content.substr(0, static_cast<std::size_t>(failing - 1) * kBuffer));
    stream.CloseAndRemove();
    EXPECT_TRUE(Exists(path));  // it existed before: never removed
}

INSTANTIATE_TEST_SUITE_P(Calls, WriteFault, ::testing::Values(1, 2, 20, 33, 40, 41));

// After a failed piece every call that needs the file reports it, and keeps reporting it.
TEST(WriteFaultDirect, EveryLaterCallThatNeedsTheFileThrowsTheSameCause) {
    using Call = void (*)(PipelinedFile&);
    const Call calls[] = {
        [](PipelinedFile& f) { f.Write(std::string(4096, 'x').data(), 4096); },
        [](PipelinedFile& f) { f.Write("x", 1); },
        [](PipelinedFile& f) { f.Write(std::string((1 << 20) + 1, 'x').data(), (1 << 20) + 1); },
        [](PipelinedFile& f) {
            char c = 0;
            f.Read(&c, 1);
        },
        [](PipelinedFile& f) { f.Seek(0, SeekOrigin::Begin); },
        [](PipelinedFile& f) { (void)f.GetLength(); },
    };
    for (std::size_t index = 0; index < std::size(calls); ++index) {
        SCOPED_TRACE("call " + std::to_string(index));
        const Call call = calls[index];
        ScratchDir dir;
        const std::string path = dir.File("out.bin");
        auto log = std::make_shared<FileLog>();
        PipelinedFile file(std::make_unique<LoggingFile>(log, FaultAt::Write, 3, kCause));
        WriteBytes(path, "");
        file.Open(U16(path), FileAccess::ReadWrite);
        const std::string piece = Pattern(8192);
        try {
            for (int i = 0; i < 40; ++i) file.Write(piece.data(), 8192);
        } catch (const CFileException&) {
        }
        // A write may be queued before the worker meets the failure; once reported, it stays.
        if (index < 2) {
            EXPECT_THROW((void)file.GetLength(), CFileException);
        }
        for (int twice = 0; twice < 2; ++twice) {
            try {
                call(file);
                ADD_FAILURE() << "a call after the failed write succeeded";
            } catch (const CFileException& error) {
                EXPECT_EQ(error.cause, kCause);
            }
        }
        EXPECT_THROW(file.Close(), CFileException);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(log->writes, std::vector<std::int32_t>(3, 8192));
        EXPECT_TRUE(ReadBytes(path) == piece + piece);
    }
}

// Pieces read ahead, then a request of another size takes them: a piece that failed ahead is
// reported once, when the caller's request reaches it, and never again.
TEST(ReadFaultDirect, AFailureAheadIsReportedWhereTheRequestReachesItAndOnlyThere) {
    ScratchDir dir;
    const std::string path = dir.File("in.bin");
    const std::string content = Pattern(20 * 4096);
    WriteBytes(path, content);
    auto log = std::make_shared<FileLog>();
    // Reads 1 and 2 are direct, 3 to 7 are read ahead, 8 fails ahead.
    PipelinedFile file(std::make_unique<LoggingFile>(log, FaultAt::Read, 8, kCause));
    file.Open(U16(path), FileAccess::Read);
    std::string got(content.size() + 8192, '\0');
    std::size_t at = 0;
    // The third takes the first piece read ahead: by then the worker has stopped at the failure.
    for (int i = 0; i < 3; ++i) at += static_cast<std::size_t>(file.Read(&got[at], 4096));
    int failures = 0;
    for (const std::int32_t request : {8192, 8192, 8192, 4096, 4096, 4096, 4096, 4096, 8192}) {
        const std::size_t before = file.GetPosition();
        try {
            at += static_cast<std::size_t>(file.Read(&got[at], request));
        } catch (const CFileException& error) {
            EXPECT_EQ(error.cause, kCause);
            EXPECT_EQ(before, 7u * 4096) << "reported before or after the piece that failed";
            ++failures;
        }
        ASSERT_EQ(file.GetPosition(), at);
    }
    EXPECT_EQ(failures, 1);
    while (const std::int32_t n = file.Read(&got[at], 4096)) at += static_cast<std::size_t>(n);
    EXPECT_TRUE(got.substr(0, at) == content);
    file.Close();
}

// Random runs of Read, Write, Seek and GetLength on a read-write file: every result, position,
// length and drained state, and the final content, as without the overlap.
TEST(Model, RandomOperationsMatchThePlainFile) {
    for (unsigned seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        ScratchDir dir;
        const std::string paths[2] = {dir.File("plain.bin"), dir.File("piped.bin")};
        const std::string initial = Pattern(random() % 4 == 0 ? 0 : random() % 400000);
        std::unique_ptr<IPlatformFile> files[2];
        for (int k = 0; k < 2; ++k) {
            WriteBytes(paths[k], initial);
            files[k] = Inner(std::make_shared<FileLog>(), k == 1);
            files[k]->Open(U16(paths[k]), FileAccess::ReadWrite);
        }
        const std::int32_t readSizes[] = {100,  4096, 4096,    5000,
                                          8192, 8192, 1 << 20, (1 << 20) + 1};
        const std::int32_t writeSizes[] = {1, 100, 4096, 9000, 65536, (1 << 20) + 1};
        for (int step = 0; step < 80; ++step) {
            const unsigned op = random() % 8;
            const unsigned repeat = 1 + random() % 12;
            const std::int32_t readSize = readSizes[random() % 8];
            const bool huge = random() % 8 == 0;
            const std::int32_t writeSize = writeSizes[random() % (huge ? 6 : 5)];
            const std::string bytes =
                Pattern(static_cast<std::size_t>(writeSize) + step).substr(step);
            const std::uint64_t length = files[0]->GetLength();
            const auto target =
                static_cast<std::int64_t>(length == 0 ? 0 : random() % (length + 1));
            for (unsigned r = 0; r < repeat; ++r) {
                std::string seen[2];
                for (int k = 0; k < 2; ++k) {
                    IPlatformFile& f = *files[k];
                    if (op < 4) {
                        std::string buffer(static_cast<std::size_t>(readSize), '\0');
                        buffer.resize(static_cast<std::size_t>(f.Read(buffer.data(), readSize)));
                        seen[k] = buffer;
                    } else if (op < 6) {
                        f.Write(bytes.data(), writeSize);
                    } else if (op == 6) {
                        seen[k] = std::to_string(f.Seek(target, SeekOrigin::Begin));
                    } else {
                        seen[k] = std::to_string(f.GetLength());
                    }
                    seen[k] += "@" + std::to_string(f.GetPosition()) + (f.IsDrained() ? "D" : "");
                }
                ASSERT_EQ(seen[1], seen[0]) << "step " << step << " op " << op;
            }
        }
        for (auto& f : files) f->Close();
        EXPECT_TRUE(ReadBytes(paths[1]) == ReadBytes(paths[0]));
    }
}

// Abort and AbortAndRemove with pieces still queued or read ahead: no worker stays behind, the
// file is closed, and it is removed exactly when the file underneath would remove it.
struct AbortCase {
    const char* name;
    FileAccess access;
    bool remove;
    bool reading;  // read ahead instead of writing behind
};

class AbortInFlight : public ::testing::TestWithParam<AbortCase> {};

TEST_P(AbortInFlight, LeavesNoThreadAndRemovesAsTheFileUnderneathWould) {
    const AbortCase& c = GetParam();
    bool existsAfter[2] = {};
    const std::size_t threadsBefore = ThreadCount();
    for (const bool piped : {false, true}) {
        ScratchDir dir;
        const std::string path = dir.File("f.bin");
        const std::string content = Pattern(100 * 8192);
        std::string fresh = content;
        for (char& b : fresh) b = static_cast<char>(~b);
        WriteBytes(path, content);
        auto file = Inner(std::make_shared<FileLog>(), piped);
        file->Open(U16(path), c.access);
        std::string buffer(8192, '\0');
        for (int i = 0; i < 40; ++i) {
            if (c.reading) {
                ASSERT_EQ(file->Read(buffer.data(), 8192), 8192);
                ASSERT_EQ(buffer, content.substr(static_cast<std::size_t>(i) * 8192, 8192));
            } else {
                file->Write(fresh.data() + static_cast<std::size_t>(i) * 8192, 8192);
            }
        }
        if (c.remove) {
            file->AbortAndRemove();
        } else {
            file->Abort();
        }
        EXPECT_FALSE(file->IsOpen());
        EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
        existsAfter[piped] = Exists(path);
        // Whatever was written behind before the abort landed in whole pieces, in place.
        if (existsAfter[piped] && c.access != FileAccess::Read) {
            const std::string now = ReadBytes(path);
            std::size_t pieces = 0;
            while (pieces < 40 &&
                   now.compare(pieces * 8192, 8192, fresh, pieces * 8192, 8192) == 0) {
                ++pieces;
            }
            EXPECT_EQ(now.substr(pieces * 8192), content.substr(pieces * 8192));
        }
    }
    EXPECT_EQ(existsAfter[1], existsAfter[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AbortInFlight,
    ::testing::Values(AbortCase{"AbortWriting", FileAccess::ReadWrite, false, false},
                      AbortCase{"RemoveCreated", FileAccess::CreateReadWrite, true, false},
                      AbortCase{"RemoveReadWrite", FileAccess::ReadWrite, true, false},
                      AbortCase{"RemoveWhileReadingAhead", FileAccess::ReadWrite, true, true},
                      AbortCase{"ReadOnlyIsNeverRemoved", FileAccess::Read, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Destroyed with pieces queued or read ahead, without Close: no leak, no thread left (ASan and
// ThreadSanitizer builds check the rest). The stream's destructor still closes.
TEST(Destruction, WithWorkInFlightIsClean) {
    ScratchDir dir;
    const std::string path = dir.File("f.bin");
    const std::string content = Pattern(60 * 8192);
    const std::size_t threadsBefore = ThreadCount();
    WriteBytes(path, "");
    {
        PipelinedFile file(std::make_unique<PosixFile>());
        file.Open(U16(path), FileAccess::ReadWrite);
        for (int i = 0; i < 60; ++i) file.Write(content.data() + i * 8192, 8192);
    }
    EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
    {
        PipelinedFile file(std::make_unique<PosixFile>());
        file.Open(U16(path), FileAccess::Read);
        std::string buffer(8192, '\0');
        for (int i = 0; i < 3; ++i) file.Read(buffer.data(), 8192);
    }
    EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
    {
        CFileStream stream(std::make_unique<PipelinedFile>(std::make_unique<PosixFile>()));
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
        for (char c : content) stream.Write(&c, 1);
    }
    EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
    EXPECT_TRUE(ReadBytes(path) == content);
}

}  // namespace

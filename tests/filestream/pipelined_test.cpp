// The pipelined platform file: the file underneath must see the same bytes in the same order, the
// pieces whole and gathered into large transfers, and a failed transfer must stop the rest.
// Comparisons run the same workload twice, once on the logging file directly and once through the
// pipelined file, and wait for nothing but the file's own calls (results never depend on how far
// the worker got). The contract every platform file keeps is checked in
// platform_contract_test.cpp.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <set>
#include <thread>

#include "filestream/pipelined_file.h"
#include "support.h"

namespace {

constexpr int kCause = CFileException::DiskFull;
constexpr std::size_t kPiece = 10002;  // what the stream asks the file for after its 2-byte probe

std::unique_ptr<IPlatformFile> Inner(std::shared_ptr<FileLog> log, bool piped) {
    auto file = std::make_unique<FakeFile>(std::move(log));
    if (!piped) return file;
    return std::make_unique<PipelinedFile>(std::move(file));
}

// Threads of the process.
std::size_t CountThreads() {
    using Tasks = std::filesystem::directory_iterator;
    return static_cast<std::size_t>(std::distance(Tasks("/proc/self/task"), Tasks()));
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

struct Workload {
    std::size_t length;
    std::int32_t unit;
};

// Where each transfer ends, counted from the start of the file.
std::set<std::int64_t> Ends(const std::vector<std::int32_t>& transfers) {
    std::set<std::int64_t> ends;
    std::int64_t at = 0;
    for (const std::int32_t n : transfers) ends.insert(at += n);
    return ends;
}

class GatheredTransfers : public FileTest, public ::testing::WithParamInterface<Workload> {};

TEST_P(GatheredTransfers, WritesReachTheFileWholeInOrderAndGathered) {
    const Workload w = GetParam();
    const std::string content = Pattern(w.length);
    std::vector<std::int32_t> writes[2];
    for (const bool piped : {false, true}) {
        const std::string out = dir.File(piped ? "piped.bin" : "plain.bin");
        auto log = std::make_shared<FileLog>();
        CFileStream stream(Inner(log, piped));
        ASSERT_EQ(stream.Open(U16(out), CFileStream::ModeCreate), 1);
        for (std::size_t at = 0; at < content.size(); at += static_cast<std::size_t>(w.unit)) {
            const auto n =
                std::min<std::size_t>(static_cast<std::size_t>(w.unit), content.size() - at);
            stream.Write(content.data() + at, static_cast<std::int32_t>(n));
        }
        stream.Close();
        writes[piped] = log->writes;
        EXPECT_TRUE(ReadString(out) == content) << (piped ? "piped" : "plain");
    }
    // Every transfer ends where a piece ends: pieces are gathered, never split or reordered (the
    // content above shows the order).
    EXPECT_THAT(Ends(writes[1]), ::testing::IsSubsetOf(Ends(writes[0])));
    // The first piece goes directly; a transfer of several pieces holds at most a slot's bytes.
    EXPECT_TRUE(writes[0].empty() || writes[1].front() == writes[0].front());
    EXPECT_THAT(writes[1], ::testing::Each(::testing::AnyOf(::testing::Le(PipelinedFile::kGather),
                                                            ::testing::AnyOfArray(writes[0]))));
    EXPECT_LE(writes[1].size(), writes[0].size());
    if (writes[0].size() >= 3 && w.unit < PipelinedFile::kGather / 2) {
        EXPECT_LT(writes[1].size(), writes[0].size()) << "nothing was gathered";
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, GatheredTransfers,
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

// Read back in pieces: the same bytes and drained states, and after the first piece the file
// underneath is asked for large transfers only. The first drained check comes after two reads.
TEST_P(GatheredTransfers, ReadsTakeLargeTransfersAfterTheFirstPiece) {
    const Workload w = GetParam();
    const std::string content = Pattern(w.length);
    WriteBytes(path, content);
    auto log = std::make_shared<FileLog>();
    PipelinedFile file(std::make_unique<FakeFile>(log));
    file.Open(U16(path), FileAccess::Read);
    std::string back;
    std::string piece(static_cast<std::size_t>(w.unit), '\0');
    // Every other read may be lent; either way a read falls short only at the end.
    int reads = 0;
    const auto read = [&] {
        const unsigned char* lent = nullptr;
        const std::int32_t n = ++reads % 2 == 0 ? file.ReadLent(piece.data(), w.unit, lent)
                                                : file.Read(piece.data(), w.unit);
        if (lent != nullptr) std::memcpy(piece.data(), lent, static_cast<std::size_t>(n));
        EXPECT_EQ(n, std::min<std::size_t>(content.size() - back.size(), w.unit));
        return n;
    };
    for (std::int32_t n = read(); n > 0; n = read()) {
        back.append(piece, 0, static_cast<std::size_t>(n));
        if (back.size() > static_cast<std::size_t>(w.unit)) {
            ASSERT_EQ(file.IsDrained(), back.size() == content.size()) << back.size();
        }
    }
    file.Close();
    EXPECT_TRUE(back == content);
    EXPECT_LE(std::count_if(log->reads.begin(), log->reads.end(),
                            [](std::int32_t n) { return n < PipelinedFile::kReadAhead; }),
              1);
    EXPECT_LE(log->reads.size(), 3 + w.length / PipelinedFile::kReadAhead);  // and one at the end
}

// A stream reads what the file holds, through pieces lent out of the read-ahead buffer and pieces
// that straddle a refill, and again from halfway after a seek back. A file that the stream's first
// look at it read whole is read once.
TEST_P(GatheredTransfers, AStreamReadsTheFileWholeThroughLentPieces) {
    const Workload w = GetParam();
    const std::string content = Pattern(w.length);
    WriteBytes(path, content);
    auto log = std::make_shared<FileLog>();
    CFileStream stream(Inner(log, true));
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
    const auto readToEnd = [&] {
        std::string back;
        std::string piece(static_cast<std::size_t>(w.unit), '\0');
        while (const std::int32_t n = stream.Read(piece.data(), w.unit)) {
            back.append(piece, 0, static_cast<std::size_t>(n));
        }
        return back;
    };
    EXPECT_TRUE(readToEnd() == content);
    if (w.length > 0 && w.length < kPiece) {
        EXPECT_EQ(log->reads.size(), 1u);
    }
    const std::size_t half = w.length / 2;
    stream.SetPosition(static_cast<std::int64_t>(half), CFileStream::OriginBegin);
    EXPECT_TRUE(readToEnd() == content.substr(half));
    stream.Close();
}

// A refill that fails after part of a piece came out of the buffer reads nothing: the piece read
// again is whole and the next ones follow it.
TEST_F(FileTest, AFailedRefillLeavesThePieceToReadAgain) {
    constexpr std::int32_t kUnit = 100000;  // the third refill fails inside the fourth piece
    const std::string content = Pattern(3 * PipelinedFile::kReadAhead);
    WriteBytes(path, content);
    PipelinedFile file(std::make_unique<FakeFile>(nullptr, FaultPlan(FaultAt::Read, 3, kCause)));
    file.Open(U16(path), FileAccess::Read);
    std::string back;
    std::string piece(kUnit, '\0');
    int failures = 0;
    for (;;) {
        std::int32_t n = 0;
        try {
            n = file.Read(piece.data(), kUnit);
        } catch (const CFileException&) {
            ASSERT_EQ(++failures, 1);
            ASSERT_EQ(file.GetPosition(), back.size());
            continue;
        }
        if (n == 0) break;
        back.append(piece, 0, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(back == content);
}

// Room lent for the next piece: none for the first piece, which goes directly, nor for one larger
// than a slot; else within the slot being filled. Pieces put in the room, a few bytes short of it,
// and pieces written from elsewhere between them reach the file whole and in order, across slots.
TEST_F(FileTest, PiecesPutInTheLentRoomReachTheFileInOrder) {
    const std::string content = Pattern(300 * kPiece);  // more than the ring holds
    auto log = std::make_shared<FileLog>();
    PipelinedFile file(std::make_unique<FakeFile>(log));
    WriteBytes(path, "");
    file.Open(U16(path), FileAccess::ReadWrite);
    EXPECT_EQ(file.WriteRoom(kPiece), nullptr);
    int lent = 0;
    for (std::size_t at = 0, i = 0; at < content.size(); ++i) {
        const std::size_t n = std::min(kPiece - i % 3, content.size() - at);
        unsigned char* const room = file.WriteRoom(static_cast<std::int32_t>(kPiece));
        if (room != nullptr && i % 5 != 4) {
            // The ring's slots lie one after another in a block aligned to a huge page.
            ASSERT_LE(reinterpret_cast<std::uintptr_t>(room) % PipelinedFile::kGather + kPiece,
                      static_cast<std::uintptr_t>(PipelinedFile::kGather))
                << "the room reaches into the next slot";
            std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(at), n, room);
            file.Write(room, static_cast<std::int32_t>(n));
            ++lent;
        } else {
            file.Write(content.data() + at, static_cast<std::int32_t>(n));
        }
        at += n;
    }
    EXPECT_EQ(file.WriteRoom(PipelinedFile::kMaxPiece + 1), nullptr);
    file.Close();
    EXPECT_GT(lent, 200);
    EXPECT_TRUE(ReadString(path) == content);
    EXPECT_THAT(log->writes, ::testing::Each(::testing::Le(PipelinedFile::kGather)));
}

// One-byte writes of full buffers and a rest passed on by Close: the file underneath gets the first
// buffer, two slots of whole buffers and the rest at Close. Its n-th write fails.
class WriteFault : public FileTest, public ::testing::WithParamInterface<int> {};

TEST_P(WriteFault, NothingAfterTheFailedTransferReachesTheFileAndCloseReportsIt) {
    const int failing = GetParam();
    constexpr std::size_t kBuffer = 10001;
    constexpr std::size_t kPerSlot = PipelinedFile::kGather / kBuffer;
    const std::string content = Pattern((1 + 2 * kPerSlot + 5) * kBuffer + 123);
    auto log = std::make_shared<FileLog>();
    auto file = std::make_unique<PipelinedFile>(
        std::make_unique<FakeFile>(log, FaultPlan(FaultAt::Write, failing, kCause)));
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
    try {
        stream.Close();
        ADD_FAILURE() << "Close after a failed write succeeded";
    } catch (const CFileException& error) {
        EXPECT_EQ(error.cause, kCause);
        EXPECT_TRUE(caught == -1 || caught == kCause) << caught;
    }
    EXPECT_FALSE(raw->IsOpen());
    ASSERT_EQ(log->writes.size(), static_cast<std::size_t>(failing));
    // The failure may come out later than the transfer that failed, never earlier.
    const auto reached = static_cast<std::size_t>(
        std::accumulate(log->writes.begin(), log->writes.end() - 1, std::int64_t{0}));
    EXPECT_GE(accepted, reached + static_cast<std::size_t>(log->writes.back()));
    EXPECT_TRUE(ReadString(path) == content.substr(0, reached));
    stream.CloseAndRemove();
    EXPECT_TRUE(Exists(path));  // it existed before: never removed
}

INSTANTIATE_TEST_SUITE_P(Calls, WriteFault, ::testing::Values(1, 2, 3, 4));

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
        PipelinedFile file(std::make_unique<FakeFile>(log, FaultPlan(FaultAt::Write, 3, kCause)));
        WriteBytes(path, "");
        file.Open(U16(path), FileAccess::ReadWrite);
        // The first piece goes directly, then two pieces fill a slot: the third write of the file
        // underneath is the first slot after the first full one.
        constexpr std::int32_t kHalfSlot = PipelinedFile::kGather / 2;
        const std::string piece = Pattern(kHalfSlot);
        try {
            for (int i = 0; i < 8; ++i) file.Write(piece.data(), kHalfSlot);
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
        EXPECT_EQ(log->writes,
                  (std::vector<std::int32_t>{kHalfSlot, 2 * kHalfSlot, 2 * kHalfSlot}));
        std::string reached = piece;
        reached += piece;
        reached += piece;
        EXPECT_TRUE(ReadString(path) == reached);
    }
}

// Writes go behind on a thread of the file's own; Abort, Close and destruction with pieces still
// queued leave no thread behind and no leak (the sanitizer builds check the rest). The stream's
// destructor still closes.
using Worker = FileTest;

TEST_F(Worker, WritesGoBehindAndNoThreadOutlivesTheFile) {
    const std::string content = Pattern(60 * 8192);
    const std::size_t threadsBefore = ThreadCount();
    WriteBytes(path, "");
    for (const bool abort : {false, true}) {
        PipelinedFile file(std::make_unique<PosixFile>());
        file.Open(U16(path), FileAccess::ReadWrite);
        for (int i = 0; i < 60; ++i) file.Write(content.data() + i * 8192, 8192);
        EXPECT_GT(ThreadCount(), threadsBefore);  // the writer behind
        if (abort) file.Abort();
    }
    EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
    {
        CFileStream stream(std::make_unique<PipelinedFile>(std::make_unique<PosixFile>()));
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
        for (char c : content) stream.Write(&c, 1);
    }
    EXPECT_EQ(ThreadCount(threadsBefore), threadsBefore);
    EXPECT_TRUE(ReadString(path) == content);
}

}  // namespace

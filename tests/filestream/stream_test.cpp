// Open, Read, Write, Close: results, the buffer's piece sizes as the file sees them, the early end,
// and the contract messages that end the process.

#include <algorithm>
#include <cstring>
#include <random>

#include "support.h"

namespace {

using namespace std::string_literals;

struct ReadCase {
    const char* name;
    std::size_t fileSize;
    std::int32_t request;
    std::vector<std::int32_t> results;       // of successive Reads, the last one 0
    std::vector<std::int32_t> fileRequests;  // what the platform file was asked, probe included
};

using Read = FileTest;
using Open = FileTest;
using Write = FileTest;
using InPlace = FileTest;
using Stream = FileTest;
using Failure = FileTest;
using PlatformSeam = FileTest;

class ReadSequence : public FileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadSequence, DeliversCountsAndAsksTheFileInBufferSizedPieces) {
    const ReadCase& c = GetParam();
    const std::string content = Pattern(c.fileSize);
    WriteBytes(path, content);

    auto log = std::make_shared<FileLog>();
    auto stream = LoggedStream(log);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeRead), 1);
    EXPECT_EQ(stream->GetLength(), c.fileSize);
    EXPECT_EQ(stream->GetPosition(), 0u);
    EXPECT_EQ(stream->GetTextEncoding(), CFileStream::TextSingleByte);

    std::string got;
    std::vector<std::int32_t> results;
    std::vector<char> chunk(static_cast<std::size_t>(c.request));
    for (std::size_t i = 0; i < c.results.size(); ++i) {
        const std::int32_t n = stream->Read(chunk.data(), c.request);
        results.push_back(n);
        got.append(chunk.data(), static_cast<std::size_t>(n));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(got, content);
    EXPECT_TRUE(stream->IsAtEnd());
    EXPECT_EQ(stream->GetPosition(), c.fileSize);
    EXPECT_EQ(log->reads, c.fileRequests);
    stream->Close();
}

// The results of reads of `request` bytes until the end, and what the file is asked for.
ReadCase Expand(const char* name, std::size_t size, std::int32_t request) {
    ReadCase c{name, size, request, {}, {10002}};
    for (std::size_t left = size; left > 0;) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(left, request));
        c.results.push_back(n);
        left -= static_cast<std::size_t>(n);
    }
    c.results.push_back(0);
    // After the probe the file is asked for whole buffers of 10,002 bytes until it is drained.
    const std::int32_t capacity = request > 10002 ? request + 10000 : 10002;
    std::size_t asked = 0;
    do {
        c.fileRequests.push_back(capacity);
        asked += static_cast<std::size_t>(capacity);
    } while (asked < size);
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadSequence,
    ::testing::Values(ReadCase{"Empty", 0, 16, {0}, {}},
                      ReadCase{"TwentyBytes", 20, 16, {16, 4, 0}, {10002, 10002}},
                      Expand("TwoBlocks", 32, 16), Expand("OneByte", 1, 1),
                      Expand("ExactBuffer", 10002, 16), Expand("ThreeBuffersOdd", 30007, 16),
                      Expand("LargeRequests", 50000, 12345), Expand("SingleBytes", 10005, 1)),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Open, ByteOrderMarkSetsTheEncodingAndIsNotSkipped) {
    struct Case {
        std::string bytes;
        std::int32_t encoding;
    };
    const Case cases[] = {{"\xFF\xFE\x61\0"s, 1},
                          {"\xFF\xFE", 1},
                          {"\xFE\xFF\x61\0"s, 2},
                          {"\xFF", 2},
                          {"ab", 2},
                          {"\0"s, 2}};
    for (const Case& c : cases) {
        WriteBytes(path, c.bytes);
        CFileStream stream;
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
        EXPECT_EQ(stream.GetTextEncoding(), c.encoding) << c.bytes.size();
        EXPECT_EQ(stream.GetPosition(), 0u);
        EXPECT_FALSE(stream.IsAtEnd());
        char first[2] = {0, 0};
        const std::int32_t n = stream.Read(first, 2);
        EXPECT_EQ(std::string(first, static_cast<std::size_t>(n)), c.bytes.substr(0, 2));
    }
}

TEST_F(Open, CreateStartsEmptyReplacesTheFileOnCloseAndStaysAtItsEnd) {
    WriteBytes(path, "previous content");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
    EXPECT_EQ(stream.GetLength(), 0u);
    EXPECT_EQ(ReadString(path), "previous content");  // until the new file is complete
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(stream.GetTextEncoding(), CFileStream::TextSingleByte);
    stream.Write("abc", 3);
    char c = 0;
    EXPECT_EQ(stream.Read(&c, 1), 0);
    EXPECT_EQ(stream.GetLength(), 3u);
    stream.Close();
    EXPECT_EQ(ReadString(path), "abc");
}

TEST_F(Open, AnyOtherModeReads) {
    WriteBytes(path, "keep");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), 7), 1);  // any other value reads
    EXPECT_EQ(stream.GetOpenMode(), 7);
    char buf[4];
    EXPECT_EQ(stream.Read(buf, 4), 4);
    stream.Close();
    EXPECT_EQ(ReadString(path), "keep");
}

struct WriteCase {
    const char* name;
    std::int32_t piece;  // bytes per Write
    std::int32_t pieces;
    std::vector<std::int32_t> fileWrites;  // what the file receives, Close's rest included
};

class WritePieces : public FileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WritePieces, FileReceivesWholeBuffersAndTheRestOnClose) {
    const WriteCase& c = GetParam();
    const std::string content = Pattern(static_cast<std::size_t>(c.piece) * c.pieces);
    auto log = std::make_shared<FileLog>();
    auto stream = LoggedStream(log);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeCreate), 1);
    for (std::int32_t i = 0; i < c.pieces; ++i) {
        stream->Write(content.data() + static_cast<std::size_t>(i) * c.piece, c.piece);
    }
    EXPECT_EQ(stream->GetLength(), content.size());
    EXPECT_EQ(stream->GetPosition(), content.size());
    stream->Close();
    EXPECT_EQ(log->writes, c.fileWrites);
    EXPECT_EQ(log->closes, 1);
    EXPECT_EQ(ReadString(path), content);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WritePieces,
    ::testing::Values(WriteCase{"SingleBytes", 1, 25000, {10001, 10001, 4998}},
                      WriteCase{"FullBlocks", 16, 1300, {10016, 10016, 768}},
                      WriteCase{"ExactFit", 1, 10001, {10001}}, WriteCase{"Nothing", 1, 0, {}},
                      WriteCase{"LargeRequests", 30000, 3, {30000, 30000, 30000}}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes and blocks gathered into runs (WriteSingleBytes, WriteUnits) reach the file in the same
// pieces as one write per byte or block (pinned by WritePieces), whatever the run lengths and
// wherever the runs cross the buffer's end.
TEST_F(Write, GatheredRunsReachTheFileInTheSamePieces) {
    struct Case {
        std::int32_t unit;  // 0: single bytes, gathered by WriteSingleBytes
        std::size_t length;
    };
    for (const Case& c : {Case{0, 25000}, Case{16, 16 * 1300}, Case{3, 3 * 1300}, Case{1, 1300}}) {
        SCOPED_TRACE("unit " + std::to_string(c.unit));
        const std::size_t unit = c.unit == 0 ? 1 : static_cast<std::size_t>(c.unit);
        const std::string content = Pattern(c.length);
        std::vector<std::int32_t> pieces[2];
        for (int gathered = 0; gathered < 2; ++gathered) {
            const std::string out = dir.File("out" + std::to_string(gathered));
            auto log = std::make_shared<FileLog>();
            auto stream = LoggedStream(log);
            ASSERT_EQ(stream->Open(U16(out), CFileStream::ModeCreate), 1);
            std::mt19937 random(static_cast<std::uint32_t>(c.unit));
            for (std::size_t at = 0; at < content.size();) {
                const std::size_t runs = random() % (c.unit == 0 ? 23 : 700) + 1;
                const std::size_t bytes = unit * std::min(runs, (content.size() - at) / unit);
                const auto n = static_cast<std::int32_t>(bytes);
                if (!gathered) {
                    for (std::size_t i = 0; i < bytes; i += unit) {
                        stream->Write(content.data() + at + i, static_cast<std::int32_t>(unit));
                    }
                } else if (c.unit == 0) {
                    stream->WriteSingleBytes(content.data() + at, n);
                } else {
                    stream->WriteUnits(content.data() + at, n, c.unit);
                }
                at += bytes;
                ASSERT_EQ(stream->GetPosition(), at);
            }
            stream->Close();
            EXPECT_EQ(ReadString(out), content);
            pieces[gathered] = log->writes;
        }
        EXPECT_EQ(pieces[1], pieces[0]);
    }
}

// Bytes taken or put in place, mixed at random with ordinary reads and writes, are the same
// bytes, and reach the file in the same pieces, as the reads and writes they stand for.
TEST_F(InPlace, TakesAndPutsAskTheFileForTheSamePiecesAsReadsAndWrites) {
    for (const std::size_t length : {0, 1, 16, 10001, 10002, 10003, 25000, 60017}) {
        const std::string content = Pattern(length);
        const std::string source = dir.File("source");
        WriteBytes(source, content);
        FileLog logs[2][2];
        for (int inPlace = 0; inPlace < 2; ++inPlace) {
            const std::string target = dir.File("target" + std::to_string(inPlace));
            auto in = LoggedStream(std::shared_ptr<FileLog>(&logs[inPlace][0], [](FileLog*) {}));
            auto out = LoggedStream(std::shared_ptr<FileLog>(&logs[inPlace][1], [](FileLog*) {}));
            ASSERT_EQ(in->Open(U16(source), CFileStream::ModeRead), 1);
            ASSERT_EQ(out->Open(U16(target), CFileStream::ModeCreate), 1);
            std::mt19937 random(static_cast<std::uint32_t>(length));
            std::string copied;
            for (;;) {
                const unsigned char* from = nullptr;
                unsigned char* to = nullptr;
                const std::int32_t readable = in->ReadableInPlace(from);
                const std::int32_t writable = out->WritableInPlace(to);
                ASSERT_LE(readable, static_cast<std::int32_t>(length - copied.size()));
                std::int32_t n = static_cast<std::int32_t>(random() % 40);
                // Now and then all there is in place, as a transforming caller takes it.
                if (random() % 4 == 0) n = std::min(readable, writable);
                if (inPlace && n > 0 && n <= readable && n <= writable) {
                    std::memcpy(to, from, static_cast<std::size_t>(n));
                    copied.append(reinterpret_cast<const char*>(from), static_cast<std::size_t>(n));
                    in->TakeInPlace(n);
                    out->PutInPlace(n);
                } else {
                    char piece[40];
                    n = in->Read(piece, std::clamp(n, 1, 40));
                    for (std::int32_t i = 0; i < n; ++i) out->Write(piece + i, 1);
                    copied.append(piece, static_cast<std::size_t>(n));
                    if (n == 0) break;
                }
                ASSERT_EQ(in->GetPosition(), copied.size());
                ASSERT_EQ(out->GetPosition(), copied.size());
            }
            EXPECT_TRUE(in->IsAtEnd());
            in->Close();
            out->Close();
            EXPECT_EQ(copied, content) << length;
            EXPECT_EQ(ReadString(target), content) << length;
        }
        EXPECT_EQ(logs[1][0].reads, logs[0][0].reads) << length;
        EXPECT_EQ(logs[1][1].writes, logs[0][1].writes) << length;
    }
}

TEST_F(Stream, ReopeningFinishesThePreviousFileFirst) {
    const std::string first = dir.File("first");
    const std::string second = dir.File("second");
    WriteBytes(second, "2nd");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(first), CFileStream::ModeCreate), 1);
    stream.Write("1st", 3);
    ASSERT_EQ(stream.Open(U16(second), CFileStream::ModeRead), 1);
    EXPECT_EQ(ReadString(first), "1st");
    EXPECT_EQ(stream.GetLength(), 3u);
    char buf[3];
    EXPECT_EQ(stream.Read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "2nd");
    // The first file was let go: another writer may have it now.
    CFileStream other;
    EXPECT_EQ(other.Open(U16(first), CFileStream::ModeCreate), 1);
}

TEST_F(Stream, BufferIsKeptAcrossOpens) {
    WriteBytes(path, Pattern(100));
    auto log = std::make_shared<FileLog>();
    auto stream = LoggedStream(log);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeRead), 1);
    stream->Close();
    ASSERT_EQ(stream->Open(U16(dir.File("out")), CFileStream::ModeCreate), 1);
    for (int i = 0; i < 10003; ++i) stream->Write("x", 1);
    stream->Close();
    EXPECT_EQ(stream->GetBufferCapacity(), 10002);
    EXPECT_EQ(log->writes, (std::vector<std::int32_t>{10002, 1}));
}

TEST_F(Read, LargerThanThePreferredSizeDoesNotEndEarly) {
    const std::string content = Pattern(20000);
    WriteBytes(path, content);
    auto log = std::make_shared<FileLog>();
    auto stream = LoggedStream(log);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeRead), 1);
    stream->SetBufferSize(4096);
    for (const std::size_t at : {0, 10000}) {
        std::string got(10000, '\0');
        EXPECT_EQ(stream->Read(got.data(), 10000), 10000);
        EXPECT_EQ(got, content.substr(at, 10000));
        EXPECT_EQ(stream->IsAtEnd(), at == 10000);
    }
    EXPECT_EQ(stream->GetBufferCapacity(), 4096);
    // The preferred size sets every refill after the probe.
    ASSERT_GT(log->reads.size(), 2u);
    EXPECT_THAT(std::vector(log->reads.begin() + 1, log->reads.end()), ::testing::Each(4096));
}

TEST_F(Read, AFileThatShrankEndsInsteadOfReturningZeroForever) {
    WriteBytes(path, Pattern(50000));
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeRead), 1);
    WriteBytes(path, "");  // truncated behind the stream's back
    char buf[16];
    EXPECT_EQ(stream.Read(buf, 16), 0);
    EXPECT_TRUE(stream.IsAtEnd());
}

TEST_F(Failure, WriteErrorTravelsOutOfWriteAndTheStreamCanBeDiscarded) {
    auto stream = LoggedStream(nullptr, FaultAt::Write, 2);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeCreate), 1);
    for (int i = 0; i < 10001 * 2; ++i) stream->Write("a", 1);
    EXPECT_THAT([&] { stream->Write("a", 1); }, ::testing::ThrowsMessage<CFileException>(
                                                    "Disk full while accessing " + path + "."));
    stream->CloseAndRemove();
    EXPECT_FALSE(stream->IsOpen());
    EXPECT_FALSE(Exists(path));
}

// Whether Close itself fails or the last piece it writes does, the stream is closed, the new file
// never takes its name and its lock goes with it.
TEST_F(Failure, CloseErrorLeavesTheStreamClosedAndTheFileGone) {
    for (const FaultAt at : {FaultAt::Close, FaultAt::Write}) {
        auto stream = LoggedStream(nullptr, at, 1, CFileException::HardIO);
        ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeCreate), 1);
        stream->Write("data", 4);
        EXPECT_THROW(stream->Close(), CFileException);
        EXPECT_FALSE(stream->IsOpen());
        EXPECT_FALSE(Exists(path));
        stream->CloseAndRemove();
        CFileStream other;
        RecordingPresenter presenter;
        EXPECT_EQ(other.Open(U16(path), CFileStream::ModeCreate), 1);
        EXPECT_TRUE(presenter.shown.empty());
        other.CloseAndRemove();
    }
}

TEST_F(Failure, DestructorSwallowsTheErrorAndTellsTheUser) {
    RecordingPresenter presenter;
    {
        auto stream = LoggedStream(nullptr, FaultAt::Write, 1);
        ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeCreate), 1);
        stream->Write("data", 4);
        EXPECT_NO_THROW(stream.reset());
    }
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].text, u"Disk full while accessing " + U16(path) + u".");
    EXPECT_EQ(presenter.shown[0].buttons, MessageButtons::Ok);
}

TEST_F(Failure, ReadErrorTravelsOutOfRead) {
    WriteBytes(path, Pattern(30000));
    auto stream = LoggedStream(nullptr, FaultAt::Read, 2, CFileException::HardIO);
    ASSERT_EQ(stream->Open(U16(path), CFileStream::ModeRead), 1);
    char buf[16];
    EXPECT_THAT([&] { stream->Read(buf, 16); },
                ::testing::ThrowsMessage<CFileException>(
                    "A hardware I/O error was reported while accessing " + path + "."));
}

// ---- Contract breaches end the process with status 0 after their message.

using ContractDeath = FileTest;

TEST_F(ContractDeath, UseOfAClosedStream) {
    CFileStream stream;
    char c = 0;
    ExpectContractEnd([&] { stream.Read(&c, 1); }, "^\\[ok\\] file not opened \\(read\\)\n$");
    ExpectContractEnd([&] { stream.Write(&c, 1); }, "^\\[ok\\] file not opened \\(write\\)\n$");
    ExpectContractEnd([&] { stream.Write(&c, 0); }, "file not opened \\(write\\)");
    ExpectContractEnd([&] { stream.Close(); }, "^\\[ok\\] file not opened \\(close\\)\n$");
}

TEST_F(ContractDeath, TakingOrPuttingMoreThanThereIsInPlace) {
    WriteBytes(path, Pattern(100));
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            stream.Open(U16(path), CFileStream::ModeRead);
            char c = 0;
            stream.Read(&c, 1);
            const unsigned char* bytes = nullptr;
            // The last byte is not in place: the read that takes it announces the end.
            stream.TakeInPlace(stream.ReadableInPlace(bytes) + 1);
        },
        "^\\[ok\\] in-place count out of range\n$");
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            stream.Open(U16(dir.File("out")), CFileStream::ModeCreate);
            stream.PutInPlace(1);  // nothing written yet: no room in place
        },
        "^\\[ok\\] in-place count out of range\n$");
}

TEST_F(ContractDeath, WriteToAReadOnlyStreamWritesNothing) {
    WriteBytes(path, "original");
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            stream.Open(U16(path), CFileStream::ModeRead);
            stream.Write("x", 1);
        },
        "^\\[ok\\] attempt to write to a file opened in read-only mode\n$");
    EXPECT_EQ(ReadString(path), "original");
}

TEST_F(ContractDeath, ReadAfterAFailedOpen) {
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            stream.Open(U16(path), CFileStream::ModeRead);
            char c = 0;
            stream.Read(&c, 1);
        },
        "^\\[ok-cancel\\] File could not be opened: " + path +
            " was not found\\.\n\\[ok\\] file not opened \\(read\\)\n$");
}

TEST_F(ContractDeath, WithoutAPresenterTheTextGoesToStandardError) {
    CFileStream stream;
    EXPECT_EXIT((SetMessagePresenter(nullptr), stream.Close()), ::testing::ExitedWithCode(0),
                "^file not opened \\(close\\)\n$");
}

// A plain model of a read-write stream: bytes land at the position, reads deliver from it, the
// end is announced by the read that reaches the length and holds until the stream is positioned.
struct ModelStream {
    std::string content;
    std::size_t position = 0;
    bool atEnd = false;

    std::string Read(std::size_t count) {
        if (atEnd) return "";
        const std::size_t n = std::min(count, content.size() - position);
        std::string out = content.substr(position, n);
        position += n;
        if (position >= content.size()) atEnd = true;
        return out;
    }
    void Write(const std::string& bytes) {
        if (position + bytes.size() > content.size()) content.resize(position + bytes.size());
        content.replace(position, bytes.size(), bytes);
        position += bytes.size();
    }
    void SetPosition(std::size_t p) {
        if (p == position) return;
        position = p;
        atEnd = p == content.size();
    }
};

// Random writes into a created file are checked here too, with their positions and lengths, and
// so are writes after reads, which land at the position and not after the bytes read ahead. A
// third of the files are opened for reading only, and are read and positioned. Every read of any
// size delivers what there is up to the size asked for, and falls short only at the end.
TEST(ReadWrite, RandomMixOfReadsWritesAndPositionsMatchesThePlainModel) {
    std::mt19937 random(2024);
    for (int round = 0; round < 40; ++round) {
        ScratchDir dir;
        const std::string path = dir.File("rw.bin");
        ModelStream model;
        model.content = Pattern(random() % 3 == 0 ? 0 : random() % 30000);
        WriteBytes(path, model.content);
        model.atEnd = model.content.empty();
        CFileStream stream;
        const unsigned kind = random() % 3;
        const bool readOnly = kind == 0;
        std::int32_t mode = readOnly ? CFileStream::ModeRead : CFileStream::ModeReadWrite;
        if (model.content.empty() && kind == 1) mode = CFileStream::ModeCreate;
        ASSERT_EQ(stream.Open(U16(path), mode), 1);
        const std::int32_t sizes[] = {0, 0, 7, 100, 4096};
        stream.SetBufferSize(sizes[random() % 5]);
        std::string trace;
        for (int step = 0; step < 300; ++step) {
            const unsigned op = random() % 10;
            if (op < 5) {
                const std::size_t count =
                    random() % 8 == 0 ? random() % 20000 + 1 : random() % 40 + 1;
                std::string got(count, '\0');
                const std::int32_t n = stream.Read(got.data(), static_cast<std::int32_t>(count));
                got.resize(static_cast<std::size_t>(n));
                trace += " R" + std::to_string(count);
                ASSERT_EQ(got, model.Read(count)) << trace;
            } else if (op < 8) {
                if (readOnly) continue;
                const std::size_t count = random() % 8 == 0 ? random() % 15000 : random() % 40;
                std::string bytes(count, static_cast<char>('A' + step % 26));
                stream.Write(bytes.data(), static_cast<std::int32_t>(count));
                model.Write(bytes);
                trace += " W" + std::to_string(count);
            } else {
                // Now and then the end itself, which a random place in a long file hardly ever is.
                const std::size_t size = model.content.size();
                const std::size_t p = random() % 4 == 0 ? size : random() % (size + 1);
                if (random() % 2) {
                    stream.SetPosition(static_cast<std::int64_t>(p), CFileStream::OriginBegin);
                } else {
                    stream.SetPosition(static_cast<std::int64_t>(p) -
                                           static_cast<std::int64_t>(model.content.size()),
                                       CFileStream::OriginEnd);
                }
                model.SetPosition(p);
                trace += " P" + std::to_string(p);
            }
            ASSERT_EQ(stream.GetPosition(), model.position) << trace;
            ASSERT_EQ(stream.GetLength(), model.content.size()) << trace;
            ASSERT_EQ(stream.IsAtEnd(), model.atEnd) << trace;
        }
        stream.Close();
        ASSERT_EQ(ReadString(path), model.content) << trace;
    }
}

// The stream's destructor writes the bytes it still holds and closes the file.
TEST_F(PlatformSeam, NewStreamsTakeTheirFileFromTheInstalledFactory) {
    auto log = std::make_shared<FileLog>();
    SetPlatformFileFactory([log] { return std::make_unique<FakeFile>(log); });
    {
        CFileStream stream;
        ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
        stream.Write("abc", 3);
    }
    SetPlatformFileFactory(nullptr);
    EXPECT_EQ(log->writes, std::vector<std::int32_t>{3});
    EXPECT_EQ(log->closes, 1);
    EXPECT_EQ(ReadString(path), "abc");
    CFileStream plain;
    ASSERT_EQ(plain.Open(U16(path), CFileStream::ModeRead), 1);
    EXPECT_EQ(log->reads.size(), 0u);
}

}  // namespace

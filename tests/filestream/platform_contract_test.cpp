// The platform file contract (filestream/platform_file.h) over every implementation: the POSIX
// file, the chain the streams get (the pipelined file over the POSIX one), and the fake file the
// stream tests use. A behaviour of one implementation alone is tested next to it instead; the
// sharing rule through the chain the streams get, in sharing_test.cpp.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "filestream/text_convert.h"
#include "support.h"

namespace {

struct Posix {
    static constexpr const char* kName = "Posix";
    static std::unique_ptr<IPlatformFile> Make() { return std::make_unique<PosixFile>(); }
};
struct Production {
    static constexpr const char* kName = "Production";
    static std::unique_ptr<IPlatformFile> Make() { return MakePlatformFile(); }
};
struct Fake {
    static constexpr const char* kName = "Fake";
    static std::unique_ptr<IPlatformFile> Make() {
        return std::make_unique<FakeFile>(std::make_shared<FileLog>());
    }
};

struct ImplementationNames {
    template <typename T>
    static std::string GetName(int) {
        return T::kName;
    }
};

using Implementations = ::testing::Types<Posix, Production, Fake>;

template <typename T>
class PlatformFileContract : public ::testing::Test {
  protected:
    static std::unique_ptr<IPlatformFile> Make() { return T::Make(); }
    std::size_t Entries() const { return Names(dir_.Path()).size(); }
    ScratchDir dir_;
};

TYPED_TEST_SUITE(PlatformFileContract, Implementations, ImplementationNames);

// Random runs of Read, Write, Seek and GetLength on a read-write file, and of all but Write on a
// file opened for reading (every third): every result, position, length and drained state, and
// the content after Close, as a plain byte string says. Reads fall short only at the end.
TYPED_TEST(PlatformFileContract, RandomOperationsMatchAnInMemoryFile) {
    for (unsigned seed = 1; seed <= 15; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const std::string path = this->dir_.File("rw.bin");
        std::string model = Pattern(random() % 4 == 0 ? 0 : random() % 400000);
        std::size_t at = 0;
        WriteBytes(path, model);
        auto file = this->Make();
        const bool readOnly = seed % 3 == 2;  // seed 2 reads an empty file, seed 15 writes one
        file->Open(PathFromOsBytes(path), readOnly ? FileAccess::Read : FileAccess::ReadWrite);
        const std::int32_t readSizes[] = {100,  4096, 4096,    5000,
                                          8192, 8192, 1 << 20, (1 << 20) + 1};
        const std::int32_t writeSizes[] = {1, 100, 4096, 9000, 65536, (1 << 20) + 1};
        for (int step = 0; step < 80; ++step) {
            unsigned op = random() % 8;
            if (readOnly && (op == 4 || op == 5)) op = 0;
            const unsigned repeat = 1 + random() % 12;
            const std::int32_t readSize = readSizes[random() % 8];
            const bool huge = random() % 8 == 0;
            const std::int32_t writeSize = writeSizes[random() % (huge ? 6 : 5)];
            const std::string bytes =
                Pattern(static_cast<std::size_t>(writeSize) + step).substr(step);
            const std::size_t target = model.empty() ? 0 : random() % (model.size() + 1);
            for (unsigned r = 0; r < repeat; ++r) {
                const std::string trace =
                    "step " + std::to_string(step) + " op " + std::to_string(op);
                if (op < 4) {
                    std::string buffer(static_cast<std::size_t>(readSize), '\0');
                    buffer.resize(static_cast<std::size_t>(file->Read(buffer.data(), readSize)));
                    const std::string expected = model.substr(std::min(at, model.size()),
                                                              static_cast<std::size_t>(readSize));
                    ASSERT_TRUE(buffer == expected) << trace;
                    at += expected.size();
                } else if (op < 6) {
                    file->Write(bytes.data(), writeSize);
                    model.resize(std::max(model.size(), at + bytes.size()));
                    model.replace(at, bytes.size(), bytes);
                    at += bytes.size();
                } else if (op == 6) {
                    // From any origin (Begin, Current, End); one before the start fails.
                    const auto origin = static_cast<SeekOrigin>(random() % 3);
                    const std::size_t bases[] = {0, at, model.size()};
                    const auto base = static_cast<std::int64_t>(bases[static_cast<int>(origin)]);
                    EXPECT_THROW(file->Seek(-base - 1, origin), CFileException);
                    ASSERT_EQ(file->Seek(std::int64_t(target) - base, origin), target) << trace;
                    at = target;
                } else {
                    ASSERT_EQ(file->GetLength(), model.size()) << trace;
                }
                ASSERT_EQ(file->GetPosition(), at) << trace;
                ASSERT_EQ(file->IsDrained(), at >= model.size()) << trace;
            }
        }
        file->Close();
        EXPECT_FALSE(file->IsOpen());
        EXPECT_TRUE(ReadString(path) == model);
    }
}

// How a file opened for writing ends (with pieces still on their way where the implementation
// has any), and what its path then holds: a created file takes the path only on Close, and
// nothing the open did not create is ever removed (a stream's CloseAndRemove is AbortAndRemove).
struct Ending {
    const char* name;
    FileAccess access;
    bool existed;
    enum { Close, Abort, AbortAndRemove } how;
};

constexpr Ending kEndings[] = {
    {"CreateNewClosed", FileAccess::CreateReadWrite, false, Ending::Close},
    {"CreateNewAborted", FileAccess::CreateReadWrite, false, Ending::Abort},
    {"CreateNewRemoved", FileAccess::CreateReadWrite, false, Ending::AbortAndRemove},
    {"CreateOverClosed", FileAccess::CreateReadWrite, true, Ending::Close},
    {"CreateOverAborted", FileAccess::CreateReadWrite, true, Ending::Abort},
    {"CreateOverRemoved", FileAccess::CreateReadWrite, true, Ending::AbortAndRemove},
    {"ReadWriteClosed", FileAccess::ReadWrite, true, Ending::Close},
    {"ReadWriteRemoved", FileAccess::ReadWrite, true, Ending::AbortAndRemove},
    {"ReadRemoved", FileAccess::Read, true, Ending::AbortAndRemove},
};

TYPED_TEST(PlatformFileContract, APathKeepsWhatItHadUntilACreatedFileCloses) {
    constexpr std::size_t kPiece = 8192, kPieces = 40;
    const std::string old = Pattern(100 * kPiece);
    std::string fresh = old.substr(0, kPieces * kPiece);
    for (char& b : fresh) b = static_cast<char>(~b);
    for (const Ending& c : kEndings) {
        SCOPED_TRACE(c.name);
        const std::string path = this->dir_.File("out.bin");
        std::filesystem::remove(path);
        if (c.existed) WriteBytes(path, old);
        auto file = this->Make();
        file->Open(PathFromOsBytes(path), c.access);
        if (c.access != FileAccess::Read) {
            for (std::size_t i = 0; i < kPieces; ++i) {
                file->Write(fresh.data() + i * kPiece, static_cast<std::int32_t>(kPiece));
            }
        }
        if (c.access == FileAccess::CreateReadWrite) {
            EXPECT_EQ(Exists(path), c.existed);
            EXPECT_TRUE(!c.existed || ReadString(path) == old);
        }
        if (c.how == Ending::Close) file->Close();
        if (c.how == Ending::Abort) file->Abort();
        if (c.how == Ending::AbortAndRemove) file->AbortAndRemove();
        EXPECT_FALSE(file->IsOpen());
        EXPECT_EQ(this->Entries(), c.existed || c.how == Ending::Close ? 1u : 0u)
            << "a staged file was left, or an existing one removed";
        if (!Exists(path)) continue;
        const std::string now = ReadString(path);
        if (c.access == FileAccess::CreateReadWrite) {
            EXPECT_TRUE(now == (c.how == Ending::Close ? fresh : old));
        } else if (c.how == Ending::Close) {
            EXPECT_TRUE(now == fresh + old.substr(fresh.size()));
        } else {
            // Written in place: whatever landed before the abort landed in whole pieces.
            std::size_t pieces = 0;
            while (pieces < kPieces &&
                   now.compare(pieces * kPiece, kPiece, fresh, pieces * kPiece, kPiece) == 0) {
                ++pieces;
            }
            EXPECT_TRUE(now.substr(pieces * kPiece) == old.substr(pieces * kPiece));
        }
    }
}

TYPED_TEST(PlatformFileContract, OpenFailuresNameTheCauseAndThePath) {
    std::filesystem::create_directory(this->dir_.File("folder"));
    WriteBytes(this->dir_.File("plain"), "x");
    const struct {
        std::string path;
        FileAccess access = FileAccess::Read;
        int cause = 0;
    } cases[] = {
        {this->dir_.File("none"), FileAccess::Read, CFileException::FileNotFound},
        {this->dir_.File("none"), FileAccess::ReadWrite, CFileException::FileNotFound},
        {"vyx-not-here", FileAccess::Read, CFileException::FileNotFound},  // a name alone
        {this->dir_.File("no/none"), FileAccess::Read, CFileException::BadPath},
        {this->dir_.File("no/none"), FileAccess::CreateReadWrite, CFileException::BadPath},
        {this->dir_.File("plain/x"), FileAccess::Read, CFileException::BadPath},
        {this->dir_.File(std::string(300, 'n')), FileAccess::CreateReadWrite,
         CFileException::BadPath},
        {this->dir_.File("folder"), FileAccess::Read, CFileException::AccessDenied},
        {this->dir_.File("folder"), FileAccess::CreateReadWrite, CFileException::AccessDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto file = this->Make();
        try {
            file->Open(PathFromOsBytes(c.path), c.access);
            ADD_FAILURE() << "opened";
        } catch (const CFileException& error) {
            EXPECT_EQ(error.cause, c.cause);
            EXPECT_EQ(error.path, PathFromOsBytes(c.path));
        }
        EXPECT_FALSE(file->IsOpen());
    }
    EXPECT_EQ(this->Entries(), 2u);
}

TYPED_TEST(PlatformFileContract, NewFilesTakeTheSetBitsAndExistingFilesKeepTheirs) {
    const mode_t saved = ::umask(022);
    const std::string fresh = this->dir_.File("fresh"), existing = this->dir_.File("existing");
    WriteBytes(existing, "old");
    ASSERT_EQ(::chmod(existing.c_str(), 0640), 0);
    for (const std::string& path : {fresh, existing}) {
        auto file = this->Make();
        file->SetNewFilePermissions(0666 & ~0060);
        file->Open(PathFromOsBytes(path), FileAccess::CreateReadWrite);
        file->Write("new", 3);
        EXPECT_EQ(file->Permissions(), path == fresh ? 0604u : 0640u) << path;
        file->Close();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, path == fresh ? 0604u : 0640u) << path;
    }
    ::umask(saved);
}

}  // namespace

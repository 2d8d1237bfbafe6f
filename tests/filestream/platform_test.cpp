// The platform file: cause texts, paths the operating system cannot take, what is not a file, and
// the commit group's descriptors. Which cause an open failure has is the contract's
// (platform_contract_test.cpp); how the stream tells it, the sharing tests'; that names outside
// ASCII reach their bytes, the path tests' and the operations' (tests/fileops/byte_names_test.cpp).

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "filestream/commit_group.h"
#include "filestream/text_convert.h"
#include "support.h"
#include "support/child.h"

namespace {

// Writes a new output of one byte through the platform file.
void WriteOutput(const fs::path& path) {
    PosixFile file;
    file.Open(PathFromOsBytes(path.native()), FileAccess::CreateReadWrite);
    file.Write("x", 1);
    file.Close();
}

TEST(CauseText, PathOrUnnamedFileAndUnknownCauses) {
    EXPECT_EQ(FileErrorText(9, u"/d/f"), u"Seek failed on /d/f");
    EXPECT_EQ(FileErrorText(0, u"/d/f"), u"No error occurred.");
    EXPECT_EQ(FileErrorText(13, u""), u"Disk full while accessing an unnamed file.");
    EXPECT_EQ(FileErrorText(99, u"x"), u"An unknown error occurred while accessing x.");
    const CFileException error(14, u"/tmp/\u00e9t\u00e9");
    EXPECT_EQ(error.Message(), u"An attempt was made to access /tmp/\u00e9t\u00e9 past its end.");
    EXPECT_STREQ(error.what(),
                 "An attempt was made to access /tmp/\xC3\xA9t\xC3\xA9 past its end.");
    // A byte of a name that is not UTF-8 shows as the replacement character; the path keeps it.
    const CFileException latin1(2, u"/tmp/caf\xDCE9");
    EXPECT_EQ(latin1.Message(), u"/tmp/caf\uFFFD was not found.");
    EXPECT_STREQ(latin1.what(), "/tmp/caf\xEF\xBF\xBD was not found.");
    EXPECT_EQ(latin1.path, u"/tmp/caf\xDCE9");
}

using OpenPaths = FileTest;

TEST_F(OpenPaths, LongPathsReachTheOperatingSystem) {
    std::string longPath = dir.Path().string();
    while (longPath.size() < 600) longPath += "/" + std::string(40, 'd');
    std::filesystem::create_directories(longPath);
    longPath += "/file.bin";
    ASSERT_GT(longPath.size(), 260u);
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(longPath), CFileStream::ModeCreate), 1);
    stream.Write("long", 4);
    stream.Close();
    EXPECT_EQ(ReadString(longPath), "long");
}

TEST_F(OpenPaths, TextTheOperatingSystemCannotTakeIsRefusedAsAnInvalidPath) {
    WriteBytes(dir.File("a"), "keep");
    WriteBytes(dir.File("caf\xC3\xA9"), "keep");
    const std::u16string base = U16(dir.Path().string()) + u"/";
    const std::u16string paths[] = {
        base + u"bad\xD800name",            // lone high surrogate
        base + u"bad\xDC00",                // lone low surrogate
        base + u"caf\xDCC3\xDCA9",          // bytes that would name "caf\u00e9"
        base + std::u16string(u"a\0b", 3),  // would otherwise name the file "a"
    };
    for (const std::u16string& text : paths) {
        EXPECT_TRUE(
            RefusalOf(text, CFileStream::ModeCreate).ends_with(u" contains an invalid path."));
    }
    EXPECT_EQ(ReadString(dir.File("a")), "keep");
    EXPECT_EQ(ReadString(dir.File("caf\xC3\xA9")), "keep");
}

// Only regular files and block devices have a length and a position a stream can rely on. The
// rest is refused as it is met, read or written, without waiting for a partner, creating anything
// or replacing the device.
TEST_F(OpenPaths, WhatIsNotAFileIsRefusedAndLeftAlone) {
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder"));
    WriteBytes(dir.File("folder") + "/keep", "kept");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.File("socket").c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::vector<std::string> before = Names(dir.Path());
    for (const std::string& target :
         {dir.File("pipe"), dir.File("folder"), dir.File("socket"), std::string("/dev/null"),
          std::string("/dev/full"), std::string("/dev/zero"), std::string("/dev/urandom")}) {
        for (std::int32_t mode : {CFileStream::ModeRead, CFileStream::ModeCreate}) {
            EXPECT_EQ(RefusalOf(U16(target), mode),
                      u"File could not be opened: Access to " + U16(target) + u" was denied.")
                << "mode " << mode;
        }
    }
    ::close(listener);
    EXPECT_EQ(Names(dir.Path()), before);
    EXPECT_EQ(ReadString(dir.File("folder") + "/keep"), "kept");
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(OpenPaths, ABlockDeviceIsReadWithItsLength) {
    if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
    const std::string image = dir.File("image");
    const std::string content = Pattern(64 * 1024);
    WriteBytes(image, content);
    const CommandResult attach = RunCommand({"losetup", "--find", "--show", image});
    if (attach.status != 0) GTEST_SKIP() << "losetup could not attach a loop device here";
    std::string device = attach.out;
    device.erase(device.find_last_not_of('\n') + 1);
    {
        CFileStream stream;
        ASSERT_EQ(stream.Open(U16(device), CFileStream::ModeRead), 1);
        EXPECT_EQ(stream.GetLength(), content.size());
        std::string got(content.size(), '\0');
        EXPECT_EQ(stream.Read(got.data(), static_cast<std::int32_t>(got.size())),
                  static_cast<std::int32_t>(got.size()));
        EXPECT_TRUE(got == content);
    }
    EXPECT_EQ(RunCommand({"losetup", "-d", device}).status, 0);
}

TEST_F(OpenPaths, AFileTheUserMayNotWriteIsRefused) {
    WriteBytes(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir.Path().string().c_str(), 0755), 0);
    auto attempt = [&] {
        return RefusalOf(U16(path), CFileStream::ModeCreate) ==
               u"File could not be opened: Access to " + U16(path) + u" was denied.";
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(attempt());
    } else {
        // Root may write anything: try as an ordinary user in a child process.
        EXPECT_EQ(RunInChild([&] { return ::setuid(65534) == 0 && attempt() ? 0 : 1; }), 0);
    }
    EXPECT_EQ(ReadString(path), "x");
}

// A batch's group holds one descriptor per waiting output (and one per folder), counts them
// truly, is due at its descriptor bound, and gives every descriptor back once it has committed;
// outputs still being synced by an earlier flush come out named and in order.
TEST(CommitGroup, BoundsTheDescriptorsOfWaitingOutputs) {
    ScratchDir dir;  // only descriptors on it count: the sanitizers' own come and go
    constexpr int kFiles = 8;
    CommitGroup group(
        {.descriptors = kFiles + 1, .bytes = 1u << 30, .delay = std::chrono::hours(1)});
    std::vector<std::optional<CFileException>> results;
    {
        const CommitGroupScope scope(group);
        for (int i = 0; i < kFiles; ++i) {
            if (i == 1) results = group.Flush();  // out0 goes on while the others are written
            EXPECT_FALSE(group.Due()) << i;
            WriteOutput(dir / ("out" + std::to_string(i)));
            EXPECT_EQ(group.Descriptors(), static_cast<std::size_t>(i + 2));
            EXPECT_EQ(OpenDescriptors(dir.Path()), i + 2);
        }
    }
    EXPECT_TRUE(group.Due());
    EXPECT_TRUE(results.empty());
    EXPECT_FALSE(Exists(dir / "out1"));  // nothing is named before its bytes are durable
    const auto rest = group.Flush(true);
    results.insert(results.end(), rest.begin(), rest.end());
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kFiles));
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_FALSE(results[static_cast<std::size_t>(i)]) << i;
        EXPECT_EQ(ReadString(dir / ("out" + std::to_string(i))), "x");
    }
    EXPECT_EQ(OpenDescriptors(dir.Path()), 0);
}

// The group is also due once the bytes waiting to be made durable reach its bound: an output
// counts with its length, however its bytes were written.
TEST(CommitGroup, IsDueAtItsByteBound) {
    ScratchDir dir;
    CommitGroup group({.descriptors = 64, .bytes = 1000, .delay = std::chrono::hours(1)});
    const CommitGroupScope scope(group);
    const std::string bytes(600, 'x');
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(group.Due()) << i;
        PosixFile file;
        file.Open(PathFromOsBytes(dir.File("out" + std::to_string(i))),
                  FileAccess::CreateReadWrite);
        file.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        file.Seek(0, SeekOrigin::Begin);
        file.Write("y", 1);
        file.Close();
    }
    EXPECT_TRUE(group.Due());
}

// A batch opens a folder once for its outputs, but writes each output where its path leads when
// it begins: not into the folder that had that path before.
TEST(CommitGroup, AnOutputGoesWhereItsPathLeadsNow) {
    ScratchDir dir;
    fs::create_directory(dir / "a");
    CommitGroup group({.descriptors = 64, .bytes = 1u << 30, .delay = std::chrono::hours(1)});
    const CommitGroupScope scope(group);
    WriteOutput(dir / "a" / "out0");
    fs::rename(dir / "a", dir / "b");
    fs::create_directory(dir / "a");
    WriteOutput(dir / "a" / "out1");
    for (const auto& result : group.Flush(true)) EXPECT_FALSE(result);
    EXPECT_EQ(Names(dir / "a"), std::vector<std::string>{"out1"});
    EXPECT_EQ(Names(dir / "b"), std::vector<std::string>{"out0"});
}

// A name taken while a new output was written: a file there is replaced whole, anything else
// refuses the output and stays as it is.
TEST(StagedName, TakenWhileWritingIsReplacedOnlyWhenAFile) {
    for (const std::string_view taken : {"file", "folder", "link"}) {
        SCOPED_TRACE(std::string(taken));
        ScratchDir dir;
        PosixFile file;
        file.Open(PathFromOsBytes(dir.File("out")), FileAccess::CreateReadWrite);
        file.Write("new", 3);
        if (taken == "file") WriteBytes(dir / "out", "old");
        if (taken == "folder") fs::create_directory(dir / "out");
        if (taken == "link") fs::create_symlink("elsewhere", dir / "out");
        if (taken == "file") {
            file.Close();
            EXPECT_EQ(ReadString(dir / "out"), "new");
        } else {
            EXPECT_THROW(file.Close(), CFileException);
            EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(dir / "out")));
        }
        EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"out"});
    }
}

}  // namespace

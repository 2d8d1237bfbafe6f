// The platform file: cause texts, which cause an operating system refusal becomes, what reaches
// the user when an open fails, paths the operating system cannot take, and full disks.

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support.h"

namespace {

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

TEST(CauseMapping, AMissingNameIsNotFoundAMissingFolderAnInvalidPath) {
    EXPECT_EQ(OpenErrorCause(ENOENT, "/tmp/not-there"), CFileException::FileNotFound);
    EXPECT_EQ(OpenErrorCause(ENOENT, "/tmp/no-such-folder-vyx/x"), CFileException::BadPath);
    EXPECT_EQ(OpenErrorCause(ENOENT, "plain-name"), CFileException::FileNotFound);
    EXPECT_EQ(OpenErrorCause(ENOENT, "/etc/passwd/x"), CFileException::BadPath);
}

struct OpenFailure {
    const char* name;
    std::string relative;  // under the scratch folder; "" for the folder itself
    std::int32_t mode;
    std::string describedAs;  // the text after the path ("%" stands for the path)
};

class OpenFailures : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(OpenFailures, UserReadsTheCauseWithOkAndCancel) {
    const OpenFailure& c = GetParam();
    ScratchDir dir;
    std::filesystem::create_directory(dir.File("folder"));
    WriteBytes(dir.File("plain"), "x");
    const std::string path = c.relative.empty() ? dir.path() : dir.File(c.relative);
    std::string expected = c.describedAs;
    expected.replace(expected.find('%'), 1, path);

    RecordingPresenter presenter;
    CFileStream stream;
    EXPECT_EQ(stream.Open(U16(path), c.mode), 0);
    EXPECT_FALSE(stream.IsOpen());
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(U8(presenter.shown[0].text), "File could not be opened: " + expected);
    EXPECT_EQ(presenter.shown[0].buttons, MessageButtons::OkCancel);
    EXPECT_FALSE(Exists(path) && c.describedAs.find("not found") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OpenFailures,
    ::testing::Values(
        OpenFailure{"MissingFile", "none.bin", CFileStream::ModeRead, "% was not found."},
        OpenFailure{"MissingFileReadWrite", "none.bin", CFileStream::ModeReadWrite,
                    "% was not found."},
        OpenFailure{"MissingFolder", "nowhere/none.bin", CFileStream::ModeRead,
                    "% contains an invalid path."},
        OpenFailure{"MissingFolderCreate", "nowhere/out.bin", CFileStream::ModeCreate,
                    "% contains an invalid path."},
        OpenFailure{"FileAsFolder", "plain/x", CFileStream::ModeRead,
                    "% contains an invalid path."},
        OpenFailure{"FolderAsFileRead", "folder", CFileStream::ModeRead, "Access to % was denied."},
        OpenFailure{"FolderAsFileCreate", "folder", CFileStream::ModeCreate,
                    "Access to % was denied."},
        OpenFailure{"NameTooLong", std::string(300, 'n'), CFileStream::ModeCreate,
                    "% contains an invalid path."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenPaths, LongPathsReachTheOperatingSystem) {
    ScratchDir dir;
    std::string path = dir.path();
    while (path.size() < 600) path += "/" + std::string(40, 'd');
    std::filesystem::create_directories(path);
    path += "/file.bin";
    ASSERT_GT(path.size(), 260u);
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
    stream.Write("long", 4);
    stream.Close();
    EXPECT_EQ(ReadBytes(path), "long");
}

TEST(OpenPaths, NonAsciiNamesRoundTrip) {
    ScratchDir dir;
    const std::u16string path = U16(dir.path()) + u"/r\u00e9sum\u00e9 \U0001F512.doc";
    CFileStream stream;
    ASSERT_EQ(stream.Open(path, CFileStream::ModeCreate), 1);
    stream.Write("x", 1);
    stream.Close();
    EXPECT_TRUE(Exists(U8(path)));
}

TEST(OpenPaths, TextTheOperatingSystemCannotTakeIsRefusedAsAnInvalidPath) {
    ScratchDir dir;
    WriteBytes(dir.File("a"), "keep");
    WriteBytes(dir.File("caf\xC3\xA9"), "keep");
    const std::u16string base = U16(dir.path()) + u"/";
    const std::u16string paths[] = {
        base + u"bad\xD800name",            // lone high surrogate
        base + u"bad\xDC00",                // lone low surrogate
        base + u"caf\xDCC3\xDCA9",          // bytes that would name "caf\u00e9"
        base + std::u16string(u"a\0b", 3),  // would otherwise name the file "a"
    };
    for (const std::u16string& path : paths) {
        RecordingPresenter presenter;
        CFileStream stream;
        EXPECT_EQ(stream.Open(path, CFileStream::ModeCreate), 0);
        ASSERT_EQ(presenter.shown.size(), 1u);
        EXPECT_NE(presenter.shown[0].text.find(u"contains an invalid path."), std::u16string::npos);
    }
    EXPECT_EQ(ReadBytes(dir.File("a")), "keep");
    EXPECT_EQ(ReadBytes(dir.File("caf\xC3\xA9")), "keep");
}

TEST(OpenPaths, AFifoIsRefusedWithoutWaiting) {
    ScratchDir dir;
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (std::int32_t mode : {CFileStream::ModeRead, CFileStream::ModeCreate}) {
        RecordingPresenter presenter;
        CFileStream stream;
        EXPECT_EQ(stream.Open(U16(fifo), mode), 0);
        ASSERT_EQ(presenter.shown.size(), 1u);
        EXPECT_EQ(presenter.shown[0].text,
                  u"File could not be opened: Access to " + U16(fifo) + u" was denied.");
    }
}

TEST(OpenPaths, AFileTheUserMayNotWriteIsRefused) {
    ScratchDir dir;
    const std::string path = dir.File("ro");
    WriteBytes(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    auto attempt = [&] {
        RecordingPresenter presenter;
        CFileStream stream;
        const bool refused = stream.Open(U16(path), CFileStream::ModeCreate) == 0 &&
                             presenter.shown.size() == 1 &&
                             presenter.shown[0].text == u"File could not be opened: Access to " +
                                                            U16(path) + u" was denied.";
        return refused;
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(attempt());
    } else {
        // Root may write anything: try as an ordinary user in a child process.
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(::setuid(65534) == 0 && attempt() ? 0 : 1);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ReadBytes(path), "x");
}

TEST(DiskFull, DevFullStaysUsableAsAnOutputAndReportsDiskFull) {
    CFileStream stream;
    ASSERT_EQ(stream.Open(u"/dev/full", CFileStream::ModeCreate), 1);
    stream.Write("abc", 3);
    try {
        stream.Close();
        FAIL() << "no error";
    } catch (const CFileException& error) {
        EXPECT_EQ(error.cause, CFileException::DiskFull);
        EXPECT_EQ(error.Message(), u"Disk full while accessing /dev/full.");
    }
    EXPECT_FALSE(stream.IsOpen());
    stream.CloseAndRemove();  // a device is never removed
    EXPECT_TRUE(Exists("/dev/full"));

    CFileStream fresh;
    ASSERT_EQ(fresh.Open(u"/dev/full", CFileStream::ModeCreate), 1);
    // The full buffer is passed on with the next write; its failure is reported by that write
    // or, when the piece is written behind, by the close at the latest.
    for (int i = 0; i < 10001; ++i) fresh.Write("z", 1);
    bool reported = false;
    try {
        fresh.Write("z", 1);
        fresh.Close();
    } catch (const CFileException& error) {
        reported = error.cause == CFileException::DiskFull;
    }
    EXPECT_TRUE(reported);
    fresh.CloseAndRemove();
}

class SmallFileSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
        if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    ScratchDir dir_;
    bool mounted_ = false;
};

TEST_F(SmallFileSystem, SingleByteWritesEndInDiskFullAndThePartialFileCanBeRemoved) {
    const std::string path = dir_.File("out.bin");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
    int cause = -1;
    std::u16string text;
    try {
        for (int i = 0; i < 1 << 20; ++i) stream.Write("q", 1);
        stream.Close();
    } catch (const CFileException& error) {
        cause = error.cause;
        text = error.Message();
    }
    EXPECT_EQ(cause, CFileException::DiskFull);
    EXPECT_EQ(text, u"Disk full while accessing " + U16(path) + u".");
    EXPECT_TRUE(Exists(path));
    stream.CloseAndRemove();
    EXPECT_FALSE(Exists(path));
}

TEST_F(SmallFileSystem, HeldBytesThatDoNotFitFailTheClose) {
    const std::string path = dir_.File("out.bin");
    WriteBytes(dir_.File("filler"), std::string(60 * 1024, 'f'));
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(path), CFileStream::ModeCreate), 1);
    const std::string block(9000, 'b');
    stream.Write(block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_THROW(stream.Close(), CFileException);
    EXPECT_FALSE(stream.IsOpen());
}

}  // namespace

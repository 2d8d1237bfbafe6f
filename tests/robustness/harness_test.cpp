// The harness's command line: its trace, its exit status, --trace in any place.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness_runner.h"
#include "support/files.h"

namespace {

using namespace robustness;

// Runs vyx_bench with the words of args (none of them holds a space).
HarnessResult Bench(const std::string& args) {
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string word; in >> word;) words.push_back(word);
    return HarnessRun(words).Finish();
}

class HarnessTest : public testing::Test {
  protected:
    std::string Path(const char* name) const { return (dir / name).string(); }
    ScratchDir dir;
};

TEST_F(HarnessTest, TracePrintsTheStatusRowAndMessagesAndExitsZeroOnCompletion) {
    WriteBytes(dir / "plain", RandomBytes(17, 1));
    HarnessResult run =
        Bench("encrypt " + kKeyText + " " + Path("plain") + " " + Path("enc") + " --trace");
    EXPECT_EQ(run.out,
              "0 %\n5 %\n100 %\n"
              "message: Encryption complete. Please retain this key for future reference.\n");
    EXPECT_EQ(run.exitStatus, 0);

    run = Bench("--trace decrypt " + kKeyText + " " + Path("enc") + " " + Path("back"));
    EXPECT_EQ(run.out, "0 %\n5 %\n100 %\nmessage: Decryption complete\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(ReadBytes(dir / "back"), ReadBytes(dir / "plain"));

    run = Bench("decrypt --trace " + kKeyText + " " + Path("enc") + " " + Path("back"));
    EXPECT_EQ(run.exitStatus, 0);
    run = Bench("decrypt " + kKeyText + " " + Path("enc") + " " + Path("back"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST_F(HarnessTest, RunsWithoutCompletionExitOne) {
    WriteBytes(dir / "plain", RandomBytes(40, 2));
    HarnessResult run =
        Bench("encrypt 7k2q.m9xa.4zbc.pl0d " + Path("plain") + " " + Path("enc") + " --trace");
    EXPECT_EQ(run.out, "message: Invalid key format\n");
    EXPECT_EQ(run.exitStatus, 1);

    run = Bench("decrypt " + kKeyText + " " + Path("plain") + " " + Path("back") + " --trace");
    EXPECT_EQ(run.out, "message: This is not an encrypted file\n");
    EXPECT_EQ(run.exitStatus, 1);
    // The stream's own messages come through the same trace: the hostile input tests.
}

// Paths on the command line are bytes: a Latin-1 name reaches its own file, and a message shows
// its stray byte as U+FFFD. That the look-alike name stays untouched is the operations' test.
TEST_F(HarnessTest, NamesThatAreNotUtf8ReachTheirOwnFiles) {
    const std::string name = (dir / "caf").string() + "\xE9";
    const std::string lookAlike = (dir / "caf").string() + "\xEF\xBF\xBD";
    WriteBytes(name, RandomBytes(17, 1));
    HarnessResult run = Bench("encrypt " + kKeyText + " " + name + " " + name + ".enc");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(ReadBytes(name + ".enc").size(), 19u);

    run = Bench("encrypt " + kKeyText + " " + name + "x " + Path("out") + " --trace");
    EXPECT_EQ(run.out, "message: File could not be opened: " + lookAlike + "x was not found.\n");
}

TEST_F(HarnessTest, ThroughputChecksTheRoundTripAndLeavesNoFilesBehind) {
    const HarnessResult run = Bench("throughput --size 1 --repeat 2 --dir " + dir.Path().string());
    EXPECT_EQ(run.exitStatus, 0);
    for (const char* line :
         {"fastest of 2 rounds\n", "\ncopy:", "\nencrypt:", "\ndecrypt:", "\nencrypt/copy: ",
          "\ndecrypt/copy: ", "\nround trip: identical\n", "\npeak RSS: "}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(HarnessTest, BadCommandLinesAreRefused) {
    for (const char* args : {"", "encrypt", "encrypt a b", "shred a b c", "throughput --size x",
                             "throughput --repeat 0"}) {
        const HarnessResult run = Bench(args);
        EXPECT_EQ(run.exitStatus, 2) << args;
        EXPECT_EQ(run.out, "") << args;
    }
}

}  // namespace

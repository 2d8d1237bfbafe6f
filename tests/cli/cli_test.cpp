// The vyx command line, run as a process: where the key comes from, every refusal and exit
// status, a batch with failures in the middle, progress only on a terminal, a stop by signal, and
// the contract of a Unix tool (no replacing, standard streams, folders, dry run, quoted names).
// Its files are checked against what the window's own operations write.
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "../fileops/test_support.h"
#include "cli/file_choice.h"
#include "filestream/text_convert.h"
#include "support/child.h"
#include "vyx_runner.h"

namespace {

const std::string kEnterKey = "Please enter a key or select 'Generate Key'";
const std::string kWeakKey =
    "This key would leave data unencrypted. Please enter another key or select 'Generate Key'";

// Runs one of the window's operations on the files, as the Encrypt or Decrypt button would.
void RunAsWindow(Op op, const fs::path& input, const fs::path& output) {
    HeadlessWindow window;
    window.SetPage(kKey, input, output);
    RunOp(op, window);
}

class VyxTest : public testing::Test {
  protected:
    VyxResult Vyx(VyxLaunch launch) {
        launch.folder = dir.Path();
        return RunVyx(launch);
    }
    VyxResult Vyx(std::vector<std::string> args, std::optional<std::string> keyEnv = {}) {
        return Vyx({.args = std::move(args), .keyEnv = std::move(keyEnv)});
    }
    // A plaintext, and its encryption as the window writes it.
    void MakePair(const std::string& plain, const std::string& encrypted, std::size_t size,
                  std::uint32_t seed) {
        WriteBytes(dir / plain, RandomBytes(size, seed));
        RunAsWindow(Op::Encrypt, dir / plain, dir / encrypted);
    }
    ScratchDir dir;
};

// --- The key comes from -k FILE, -k - (standard input), VYX_KEY, or the terminal prompt. ---

struct KeyCase {
    const char* name;
    VyxLaunch launch;       // its options, between "encrypt" and the FILE
    std::string keyFile{};  // written to "key" when not empty
};

class KeySourceTest : public VyxTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(KeySourceTest, EncryptsAsTheWindowDoes) {
    const KeyCase& c = GetParam();
    MakePair("doc.txt", "window_encr.txt", 1000, 1);
    if (!c.keyFile.empty()) WriteBytes(dir / "key", c.keyFile);
    VyxLaunch launch = c.launch;
    if (launch.terminal) launch.typed = kKeyText + "\n";  // typed when asked
    launch.args.insert(launch.args.begin(), "encrypt");
    launch.args.push_back("doc.txt");
    const VyxResult run = Vyx(launch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(dir / "doc_encr.txt"), ReadBytes(dir / "window_encr.txt"));
    if (launch.terminal) {
        // Asked for only when no other source has one, and never echoed.
        EXPECT_EQ(run.err.find("Key: ") != std::string::npos, !launch.keyEnv) << run.err;
        EXPECT_EQ(run.err.find(kKeyText), std::string::npos) << "echoed: " << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, KeySourceTest,
    testing::Values(KeyCase{"File", {.args = {"-k", "key"}}, kKeyText + "\nsecond line\n"},
                    KeyCase{"FileWithoutLineBreak", {.args = {"--key-file=key"}}, kKeyText},
                    KeyCase{"FileWrittenOnWindows", {.args = {"-kkey"}}, kKeyText + "\r\n"},
                    KeyCase{"FileBeforeEnvironment",
                            {.args = {"-k", "key"}, .keyEnv = kOtherKeyText},
                            kKeyText},
                    KeyCase{"StandardInput", {.args = {"-k", "-"}, .input = kKeyText + "\n"}},
                    KeyCase{"StandardInputOnATerminal", {.args = {"-k", "-"}, .terminal = true}},
                    KeyCase{"Environment", {.keyEnv = kKeyText}},
                    KeyCase{"EnvironmentBeforePrompt", {.keyEnv = kKeyText, .terminal = true}},
                    KeyCase{"Prompt", {.terminal = true}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Refusals: one line on standard error, the exit status, and not a file touched. ---

struct RefusalCase {
    std::vector<std::string> args;
    std::optional<std::string> keyEnv;
    std::string err;  // the whole of standard error
};

class RefusalTest : public VyxTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, NothingIsTouched) {
    const RefusalCase& c = GetParam();
    MakePair("doc.txt", "doc_encr.txt", 100, 2);
    fs::create_directory(dir / "folder");
    const std::vector<std::string> before = Names(dir.Path());
    const VyxResult run = Vyx(c.args, c.keyEnv);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Names(dir.Path()), before);
}

std::string Usage(const std::string& problem) {
    return "vyx: " + problem + " (see 'vyx --help')\n";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    testing::Values(
        RefusalCase{{}, kKeyText, Usage("no command given")},
        RefusalCase{{"shred", "doc.txt"}, kKeyText, Usage("unknown command 'shred'")},
        RefusalCase{{"genkey", "x"}, {}, Usage("genkey takes no arguments")},
        RefusalCase{{"encrypt"}, kKeyText, Usage("no FILE given")},
        RefusalCase{{"decrypt", "-x", "doc_encr.txt"}, kKeyText, Usage("unknown option '-x'")},
        RefusalCase{{"decrypt", "doc_encr.txt", "-k"}, {}, Usage("option '-k' needs a value")},
        RefusalCase{{"decrypt", "--quiet=yes", "doc_encr.txt"},
                    kKeyText,
                    Usage("option '--quiet' takes no value")},
        RefusalCase{{"decrypt", "-", "-"}, kKeyText, Usage("FILE '-' given more than once")},
        RefusalCase{{"decrypt", "-k", "-", "-"},
                    {},
                    Usage("the key and FILE '-' cannot both come from standard input")},
        RefusalCase{{"encrypt", "-o", "out", "doc.txt", "folder"},
                    kKeyText,
                    Usage("-o/--output is allowed with one FILE only")},
        RefusalCase{{"decrypt", "doc_encr.txt"},
                    {},
                    "vyx: no key: give -k KEYFILE, set VYX_KEY, or run on a terminal\n"},
        RefusalCase{{"decrypt", "-k", "nokey", "doc_encr.txt"},
                    kKeyText,
                    "vyx: nokey: the key could not be read: No such file or directory\n"},
        RefusalCase{{"decrypt", "-k", "folder", "doc_encr.txt"},
                    {},
                    "vyx: folder: the key could not be read: Is a directory\n"},
        RefusalCase{{"decrypt", "doc_encr.txt"}, "", "vyx: " + kEnterKey + "\n"},
        RefusalCase{{"decrypt", "-k", "-", "doc_encr.txt"}, {}, "vyx: " + kEnterKey + "\n"},
        RefusalCase{{"decrypt", "missing"}, "7k2q.m9xa.4zbc.pl0d", "vyx: Invalid key format\n"},
        RefusalCase{{"encrypt", "doc.txt"}, "7K2Q.M9XA.0000.0000", "vyx: " + kWeakKey + "\n"}));

// --- Progress and completion lines only on a terminal, and not with -q. ---

struct DisplayCase {
    bool terminal;
    bool quiet;
};

class DisplayTest : public VyxTest, public testing::WithParamInterface<DisplayCase> {};

TEST_P(DisplayTest, ProgressOnlyOnATerminal) {
    const DisplayCase& c = GetParam();
    MakePair("a.bin", "a_encr.bin", 100000, 21);
    MakePair("b.bin", "b_encr.bin", 10, 22);
    VyxLaunch launch{.args = {"decrypt", "a_encr.bin", "b_encr.bin"},
                     .keyEnv = kKeyText,
                     .terminal = c.terminal};
    if (c.quiet) launch.args.push_back("-q");
    const VyxResult run = Vyx(launch);
    EXPECT_EQ(run.status, 0);
    if (c.quiet) {
        EXPECT_EQ(run.err, "");  // every file done: nothing at all
        return;
    }
    // A progress line is redrawn in place: the name, a bar and the status row's percentage.
    const std::regex progress(R"(\ra_encr\.bin \[#*-*\] +[0-9]+ %)");
    EXPECT_EQ(std::regex_search(run.err, progress), c.terminal) << run.err;
    EXPECT_EQ(run.err.find('\r') != std::string::npos, c.terminal) << run.err;
    EXPECT_EQ(run.err.find("vyx: a_encr.bin -> a_decr.bin") != std::string::npos, c.terminal);
    EXPECT_NE(run.err.find("vyx: 2 files: 2 done, 0 failed"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Streams, DisplayTest,
                         testing::Values(DisplayCase{true, false}, DisplayCase{true, true},
                                         DisplayCase{false, false}, DisplayCase{false, true}),
                         [](const auto& info) {
                             return std::string(info.param.terminal ? "Terminal" : "Pipe") +
                                    (info.param.quiet ? "Quiet" : "");
                         });

// --- A termination signal drops the file being written and skips the rest. ---

struct SignalCase {
    int signal;
    int status;
};

class SignalTest : public VyxTest, public testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, StopsTheBatchAndLeavesNoOutput) {
    WriteBytes(dir / "big.bin", RandomBytes(4 << 20, 31));
    WriteBytes(dir / "small.bin", RandomBytes(10, 32));
    const std::vector<std::string> before = Names(dir.Path());
    // The signal arrives while the first file's progress line is being written: its output is
    // open and staged then, whatever the speed of the machine.
    const VyxResult run = Vyx({.args = {"encrypt", "big.bin", "small.bin"},
                               .keyEnv = kKeyText,
                               .terminal = true,
                               .signalAtProgress = GetParam().signal});
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    EXPECT_EQ(Names(dir.Path()), before);  // no output, staged or complete; the rest skipped
    EXPECT_EQ(run.err.find("files:"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest,
                         testing::Values(SignalCase{SIGINT, 130}, SignalCase{SIGTERM, 143}));

// --- A batch stopped or killed while earlier outputs wait to be committed together. ---

class BatchStopTest : public VyxTest, public testing::WithParamInterface<SignalCase> {};

TEST_P(BatchStopTest, EveryOutputIsOldOrWhole) {
    // Three files done, then the batch waits on standard input when the signal comes.
    for (const std::string name : {"a", "b", "c"})
        MakePair(name + ".bin", name + "_encr.bin", 5000, static_cast<std::uint32_t>(name[0]));
    MakePair("d.bin", "d_encr.bin", 10, 4);
    const Bytes old = {'o', 'l', 'd'};
    WriteBytes(dir / "b_decr.bin", old);
    const VyxResult run =
        Vyx({.args = {"decrypt", "-f", "a_encr.bin", "b_encr.bin", "c_encr.bin", "-", "d_encr.bin"},
             .keyEnv = kKeyText,
             .signalAtInputRead = GetParam().signal});
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    // A kill may come before the group is durable: each output is then its old content or the
    // whole new one. A stop commits what was done first.
    const bool killed = GetParam().signal == SIGKILL;
    for (const std::string name : {"a", "b", "c"}) {
        const fs::path output = dir / (name + "_decr.bin");
        const bool exists = fs::exists(output);
        const bool whole = exists && ReadBytes(output) == ReadBytes(dir / (name + ".bin"));
        const bool unchanged = name == "b" ? exists && ReadBytes(output) == old : !exists;
        EXPECT_TRUE(whole || (killed && unchanged)) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "d_decr.bin"));
    for (const std::string& name : Names(dir.Path())) EXPECT_FALSE(name.starts_with(".")) << name;
}

INSTANTIATE_TEST_SUITE_P(Signals, BatchStopTest,
                         testing::Values(SignalCase{SIGKILL, 256 + SIGKILL},
                                         SignalCase{SIGTERM, 143}));

// --- Many files run in workers, one per processor: a stop reaches them all. ---

struct WorkerStopCase {
    int signal;
    bool toWorker;  // a worker is killed, not vyx
    int status;
};

class WorkerStopTest : public VyxTest, public testing::WithParamInterface<WorkerStopCase> {};

TEST_P(WorkerStopTest, NoWorkerGoesOnAlone) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const auto processors = static_cast<std::size_t>(
        ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1);
    if (processors < 2) GTEST_SKIP() << "one processor: a batch runs without workers";
    // Enough files that the workers are caught while they run.
    const Bytes plain = RandomBytes(10, 41);
    WriteBytes(dir / "plain", plain);
    RunAsWindow(Op::Encrypt, dir / "plain", dir / "reference");
    VyxLaunch launch{.args = {"encrypt"},
                     .keyEnv = kKeyText,
                     .signalWithWorkers = GetParam().signal,
                     .workers = std::min<std::size_t>(processors, 4),
                     .toWorker = GetParam().toWorker};
    for (int i = 0; i < 500; ++i) {
        launch.args.push_back("f" + std::to_string(i));
        WriteBytes(dir / launch.args.back(), plain);
    }
    const VyxResult run = Vyx(launch);
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    EXPECT_EQ(run.workersHeld, launch.workers);
    EXPECT_EQ(run.workersLeft, 0u);
    EXPECT_EQ(run.err, "");
    // Every output that was given its name is whole, and no staged one is left.
    const Bytes reference = ReadBytes(dir / "reference");
    for (const std::string& name : Names(dir.Path())) {
        EXPECT_FALSE(name.starts_with(".")) << name;
        if (name.ends_with("_encr")) {
            EXPECT_EQ(ReadBytes(dir / name), reference) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, WorkerStopTest,
                         testing::Values(WorkerStopCase{SIGTERM, false, 143},
                                         WorkerStopCase{SIGKILL, false, 256 + SIGKILL},
                                         WorkerStopCase{SIGTERM, true, 143},
                                         WorkerStopCase{SIGKILL, true, 128 + SIGKILL}),
                         [](const auto& info) {
                             return std::string(info.param.signal == SIGKILL ? "Kill" : "Term") +
                                    (info.param.toWorker ? "Worker" : "Vyx");
                         });

// --- genkey, --help, --version. ---

TEST_F(VyxTest, GenkeyPrintsAKeyThatEncryptTakes) {
    const VyxResult run = Vyx({"genkey"});
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(std::regex_match(run.out, std::regex("[0-9A-Z]{4}(\\.[0-9A-Z]{4}){3}\n")))
        << run.out;
    EXPECT_EQ(KeyRefusal(fs::path(run.out.substr(0, 19)).u16string(), true), std::nullopt);

    for (const char* option : {"--help", "--version"}) {
        const VyxResult shown = Vyx({option});
        EXPECT_EQ(shown.status, 0);
        EXPECT_NE(shown.out.find("vyx"), std::string::npos) << option;
    }
}

// --- The contract of a Unix tool: no replacing, a batch never eats its own files, standard
// input and output, folders, a dry run, and names that cannot break a line. ---

// What a file holds, by label: "P<n>" a plaintext of its own, "E<n>" that plaintext encrypted as
// the window writes it, anything else the text itself.
Bytes Content(const std::string& label) {
    if (!std::regex_match(label, std::regex("[PE][0-9]"))) return Bytes(label.begin(), label.end());
    const auto n = static_cast<std::uint32_t>(label[1] - '0');
    Bytes plain = RandomBytes(3000 + 1000 * std::size_t{n}, n);
    if (label[0] == 'P') return plain;
    ScratchDir scratch;
    WriteBytes(scratch / "plain", plain);
    RunAsWindow(Op::Encrypt, scratch / "plain", scratch / "encrypted");
    return ReadBytes(scratch / "encrypted");
}

using Files = std::vector<std::pair<std::string, std::string>>;  // name, label

// Every name under the folder (links not followed), and what the regular files hold.
std::map<std::string, Bytes> Tree(const fs::path& folder) {
    std::map<std::string, Bytes> tree;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
        const std::string name = fs::relative(it->path(), folder).string();
        tree[name] = it->is_regular_file() && !it->is_symlink() ? ReadBytes(it->path()) : Bytes{};
    }
    return tree;
}

struct ContractCase {
    const char* name;
    Files files{};  // made first, in order: a label, "dir", "link:TARGET" or "hard:TARGET"
    std::vector<std::string> args{};
    std::string input{};  // the label of standard input, or nothing
    int status = 0;
    std::string err{};
    std::string out{};  // the label of standard output, or nothing
    Files after{};      // the files made or changed; everything else is as it was
};

class ContractTest : public VyxTest, public testing::WithParamInterface<ContractCase> {};

TEST_P(ContractTest, StatusMessagesAndFiles) {
    const ContractCase& c = GetParam();
    for (const auto& [name, label] : c.files) {
        if (label == "dir") {
            fs::create_directory(dir / name);
        } else if (label.starts_with("link:")) {
            fs::create_symlink(label.substr(5), dir / name);
        } else if (label.starts_with("hard:")) {
            fs::create_hard_link(dir / label.substr(5), dir / name);
        } else {
            WriteBytes(dir / name, Content(label));
        }
    }
    std::map<std::string, Bytes> expected = Tree(dir.Path());
    for (const auto& [name, label] : c.after) expected[name] = Content(label);

    const Bytes input = c.input.empty() ? Bytes{} : Content(c.input);
    const VyxResult run =
        Vyx({.args = c.args, .keyEnv = kKeyText, .input = std::string(input.begin(), input.end())});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    const Bytes out = c.out.empty() ? Bytes{} : Content(c.out);
    EXPECT_TRUE(run.out == std::string(out.begin(), out.end())) << run.out.size() << " bytes out";
    EXPECT_TRUE(Tree(dir.Path()) == expected);
}

const std::string kNewline = "x\ny";
const std::string kTitle = "\x1b]0;t\a";   // would retitle the terminal
const std::string kClear = "\x1b[2Jgone";  // would clear it

INSTANTIATE_TEST_SUITE_P(
    Unix, ContractTest,
    testing::Values(
        // A batch goes on past a file not encrypted and one that cannot be read (a folder), and
        // ends with a summary.
        ContractCase{
            .name = "BatchGoesOnPastFailures",
            .files = {{"a_encr.bin", "E1"},
                      {"b_encr.bin", "E2"},
                      {"c_encr.bin", "P3"},
                      {"d_encr.bin", "dir"},
                      {"e_encr.bin", "E5"}},
            .args = {"decrypt", "a_encr.bin", "b_encr.bin", "c_encr.bin", "d_encr.bin",
                     "e_encr.bin"},
            .status = 1,
            .err = "vyx: c_encr.bin: This is not an encrypted file\n"
                   "vyx: d_encr.bin: File could not be opened: Access to d_encr.bin was denied.\n"
                   "vyx: 5 files: 3 done, 2 failed\n",
            .after = {{"a_decr.bin", "P1"}, {"b_decr.bin", "P2"}, {"e_decr.bin", "P5"}}},
        // An existing output is kept, that file fails, the others go on; -f replaces (-o's too).
        ContractCase{.name = "NoReplaceWithoutForce",
                     .files = {{"a.doc", "P1"}, {"a_encr.doc", "old"}, {"b.doc", "P2"}},
                     .args = {"encrypt", "a.doc", "b.doc"},
                     .status = 1,
                     .err = "vyx: a_encr.doc already exists; use -f to replace it\n"
                            "vyx: 2 files: 1 done, 1 failed\n",
                     .after = {{"b_encr.doc", "E2"}}},
        ContractCase{.name = "ForceReplacesTheChosenName",
                     .files = {{"a_encr.doc", "E1"}, {"back", "old"}},
                     .args = {"decrypt", "-f", "-o", "back", "a_encr.doc"},
                     .after = {{"back", "P1"}}},
        // A batch whose output is one of its own files is refused whole, -f or not: by path,
        // by another spelling, and as the same file under another name.
        ContractCase{.name = "OwnInput",
                     .files = {{"a.doc", "P1"}, {"a_encr.doc", "mine"}},
                     .args = {"encrypt", "-f", "a.doc", "a_encr.doc"},
                     .status = 2,
                     .err = "vyx: the output of a.doc would replace a_encr.doc, another FILE of "
                            "this command; nothing done\n"},
        ContractCase{.name = "OwnInputDecrypting",
                     .files = {{"x_encr.doc", "E1"}, {"x_decr.doc", "E2"}},
                     .args = {"decrypt", "x_encr.doc", "./x_decr.doc"},
                     .status = 2,
                     .err = "vyx: the output of x_encr.doc would replace ./x_decr.doc, another "
                            "FILE of this command; nothing done\n"},
        ContractCase{
            .name = "OwnInputByIdentity",
            .files = {{"a.doc", "P1"}, {"a_encr.doc", "mine"}, {"same", "hard:a_encr.doc"}},
            .args = {"encrypt", "a.doc", "same"},
            .status = 2,
            .err = "vyx: the output of a.doc would replace same, another FILE of this "
                   "command; nothing done\n"},
        ContractCase{.name = "TwoFilesOneOutput",
                     .files = {{"a.doc", "P1"}},
                     .args = {"encrypt", "a.doc", "./a.doc"},
                     .status = 2,
                     .err = "vyx: a.doc and ./a.doc would both write ./a_encr.doc; nothing done\n"},
        // "-" is standard input, written to standard output unless -o names a file.
        ContractCase{.name = "Pipe", .args = {"encrypt", "-"}, .input = "P1", .out = "E1"},
        ContractCase{.name = "PipeToFile",
                     .args = {"decrypt", "-o", "back", "-"},
                     .input = "E2",
                     .after = {{"back", "P2"}}},
        ContractCase{.name = "FileToPipe",
                     .files = {{"a_encr.doc", "E3"}},
                     .args = {"decrypt", "-o", "-", "a_encr.doc"},
                     .out = "P3"},
        // A warning, and the file counts as done.
        ContractCase{.name = "EmptyInput",
                     .files = {{"e_encr.doc", ""}},
                     .args = {"decrypt", "e_encr.doc"},
                     .err = "vyx: e_encr.doc: The input file is empty\n",
                     .after = {{"e_decr.doc", ""}}},
        ContractCase{.name = "PipeNotEncrypted",
                     .args = {"decrypt", "-"},
                     .input = "plain text",
                     .status = 1,
                     .err = "vyx: -: This is not an encrypted file\n"},
        // A dry run says what would be done, and does nothing.
        ContractCase{.name = "DryRun",
                     .files = {{"a.doc", "P1"}, {"b.doc", "P2"}},
                     .args = {"encrypt", "-n", "a.doc", "b.doc"},
                     .out = "a.doc -> a_encr.doc\nb.doc -> b_encr.doc\n"},
        // Folders: the encrypted files for decrypt, the others for encrypt, links never
        // followed, the outputs of an earlier run kept; -v says what was skipped.
        ContractCase{.name = "RecursiveDecrypt",
                     .files = {{"d", "dir"},
                               {"d/x_encr.bin", "E1"},
                               {"d/w_encr.bin", "E2"},
                               {"d/w_decr.bin", "old"},
                               {"d/s", "dir"},
                               {"d/s/y.txt", "P2"},
                               {"d/s/z_encr.bin", "E3"},
                               {"d/l_encr.bin", "link:x_encr.bin"}},
                     .args = {"decrypt", "-r", "-v", "d"},
                     .status = 1,
                     .err = "vyx: d/l_encr.bin: skipped: a symbolic link\n"
                            "vyx: d/s/y.txt: skipped: not encrypted\n"
                            "vyx: d/w_decr.bin: skipped: not encrypted\n"
                            "vyx: d/w_decr.bin already exists; use -f to replace it\n"
                            "vyx: 3 files: 2 done, 1 failed\n",
                     .after = {{"d/x_decr.bin", "P1"}, {"d/s/z_decr.bin", "P3"}}},
        ContractCase{.name = "RecursiveEncrypt",
                     .files = {{"d", "dir"},
                               {"d/a.txt", "P1"},
                               {"d/s", "dir"},
                               {"d/s/b.txt", "P2"},
                               {"d/s/b_encr.txt", "E2"}},
                     .args = {"encrypt", "-r", "d"},
                     .status = 1,
                     .err = "vyx: d/s/b_encr.txt already exists; use -f to replace it\n"
                            "vyx: 2 files: 1 done, 1 failed\n",
                     .after = {{"d/a_encr.txt", "E1"}}},
        // Names are quoted as GNU tools quote them: one message is one line, and no escape
        // sequence reaches the terminal.
        ContractCase{.name = "NameWithNewline",
                     .files = {{kNewline, "abc"}},
                     .args = {"decrypt", kNewline},
                     .status = 1,
                     .err = "vyx: 'x'$'\\n''y': This is not an encrypted file\n"},
        ContractCase{.name = "NameWithAQuote",
                     .files = {{"it's", "P1"}},
                     .args = {"encrypt", "-n", "it's"},
                     .out = "\"it's\" -> \"it's_encr\"\n"},
        ContractCase{.name = "NameWithEscapes",
                     .files = {{kTitle, "P1"}},
                     .args = {"encrypt", "-n", kTitle},
                     .out = "''$'\\033'']0;t'$'\\a' -> ''$'\\033'']0;t'$'\\a''_encr'\n"},
        ContractCase{
            .name = "NameInAStreamMessage",
            .args = {"decrypt", kClear},
            .status = 1,
            .err = "vyx: ''$'\\033''[2Jgone': File could not be opened: ''$'\\033''[2Jgone' "
                   "was not found.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Data never goes to a terminal; a pipe's progress counts bytes.
TEST_F(VyxTest, TerminalGetsNoDataAndCountsThePipesBytes) {
    MakePair("plain", "window", 50000, 5);
    VyxLaunch launch{.args = {"encrypt", "-"},
                     .keyEnv = kKeyText,
                     .input = ReadString(dir / "plain"),
                     .terminal = true};
    const VyxResult refused = Vyx(launch);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("refusing to write encrypted data to a terminal"), std::string::npos)
        << refused.err;

    launch.args = {"encrypt", "-o", "out", "-"};
    const VyxResult run = Vyx(launch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex(R"(\r- +[0-9.]+ k?B )"))) << run.err;
    EXPECT_EQ(ReadBytes(dir / "out"), ReadBytes(dir / "window"));
}

// Runs a command line in the test's folder with the key set; returns its exit status.
int Shell(const fs::path& folder, const std::string& line) {
    return RunCommand({.args = {"env", "VYX_KEY=" + kKeyText, std::string("VYX=") + VYX_PATH,
                                "bash", "-c", "set -o pipefail; " + line},
                       .folder = folder})
        .status;
}

// Every failed write to standard output or standard error shows in the exit status.
TEST_F(VyxTest, FailedWritesToTheStandardStreamsFail) {
    MakePair("a.doc", "a_encr.doc", 1 << 20, 6);  // more than a pipe holds
    WriteBytes(dir / "empty_encr", Bytes{});      // done, with a warning on standard error
    for (const char* line :
         {"$VYX --help >/dev/full", "$VYX --version >/dev/full", "$VYX genkey >/dev/full",
          "$VYX encrypt -n -f a.doc >/dev/full", "$VYX decrypt -o - a_encr.doc >/dev/full",
          "$VYX decrypt -o - a_encr.doc | head -c 1 >/dev/null",
          "$VYX decrypt -o - empty_encr 2>/dev/full >/dev/null"}) {
        EXPECT_EQ(Shell(dir.Path(), line), 1) << line;
    }
    EXPECT_EQ(Shell(dir.Path(), "$VYX decrypt -o - empty_encr >/dev/null"), 0);
}

TEST_F(VyxTest, PipelineOf100MegabytesRestoresTheBytes) {
    WriteBytes(dir / "plain", RandomBytes(100 << 20, 7));
    ASSERT_EQ(Shell(dir.Path(), "$VYX encrypt - <plain | $VYX decrypt - >back"), 0);
    EXPECT_EQ(ReadBytes(dir / "back"), ReadBytes(dir / "plain"));
}

// The command line's disk file lends the pieces it read ahead, as the streams' own file does: a
// copy of every byte more otherwise.
TEST_F(VyxTest, AChosenDiskFileLendsWhatItReadAhead) {
    const Bytes content = RandomBytes(1 << 20, 7);
    WriteBytes(dir / "in.bin", content);
    ChosenFile file({});
    file.Open(PathFromOsBytes((dir / "in.bin").string()), FileAccess::Read);
    Bytes piece(10000);
    file.Read(piece.data(), 10000);  // the first reads are made directly
    file.Read(piece.data(), 10000);
    const unsigned char* lent = nullptr;
    ASSERT_EQ(file.ReadLent(piece.data(), 10000, lent), 10000);
    ASSERT_NE(lent, nullptr);
    EXPECT_TRUE(std::equal(lent, lent + 10000, content.begin() + 20000));
    file.Close();
}

}  // namespace

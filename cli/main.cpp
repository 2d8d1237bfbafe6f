// vyx: the Encrypt and Decrypt operations of the window, for scripts, pipelines and whole folders
// of files.
//
//   vyx encrypt [OPTION]... FILE...
//   vyx decrypt [OPTION]... FILE...
//   vyx genkey
//   vyx --help | --version
//
// Each FILE runs through the very same operation as the window's button, with a terminal window
// (cli/terminal_window.h). Before anything is read or written the whole command is planned: every
// FILE's output is worked out (folders walked with -r), and a command whose outputs would land on
// its own inputs, or on each other, is refused. Then the key is judged once, and the files run.

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cipher/cipher.h"
#include "cli/file_choice.h"
#include "cli/key_input.h"
#include "cli/quote.h"
#include "cli/terminal_window.h"
#include "cli/workers.h"
#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "fileops/output_name.h"
#include "fileops/run_signals.h"
#include "filestream/commit_group.h"
#include "filestream/notify.h"
#include "filestream/text_convert.h"
#include "vyx_version.h"

namespace {

namespace fs = std::filesystem;

constexpr int kAllDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;

// Standard input or output in place of a file.
constexpr std::string_view kStandard = "-";

constexpr const char* kHelp =
    "usage: vyx encrypt [OPTION]... FILE...\n"
    "       vyx decrypt [OPTION]... FILE...\n"
    "       vyx genkey\n"
    "       vyx --help | --version\n"
    "\n"
    "Encrypts or decrypts each FILE with a sixteen-character key such as 3F0A.91C2.7B44.E05D.\n"
    "The output goes beside it: report.doc gives report_encr.doc, report_encr.doc gives\n"
    "report_decr.doc. An existing output is not replaced without -f. FILE '-' is standard\n"
    "input, and its output standard output.\n"
    "\n"
    "  -k, --key-file KEYFILE  the key is the first line of KEYFILE ('-': standard input)\n"
    "  -o, --output OUTPUT     write to OUTPUT instead (with one FILE only; '-': standard\n"
    "                          output)\n"
    "  -f, --force             replace outputs that exist\n"
    "  -r, --recursive         FILE may be a folder: its files are taken, without following\n"
    "                          symbolic links; decrypt takes the encrypted ones, encrypt the\n"
    "                          others\n"
    "  -n, --dry-run           print 'FILE -> OUTPUT' for each file, and do nothing\n"
    "  -v, --verbose           name every file that -r skips, and why\n"
    "  -q, --quiet             no progress, no line per finished file, no summary unless\n"
    "                          a file failed\n"
    "  -h, --help              show this help\n"
    "      --version           show the version\n"
    "\n"
    "Without -k the key is taken from the environment variable VYX_KEY, or else asked for\n"
    "on the terminal. genkey prints a fresh key.\n"
    "\n"
    "No output is written over one of the command's own files, and data is never written to\n"
    "a terminal.\n"
    "\n"
    "Exit status: 0 every file done, 1 a file failed, 2 a usage or key error (no file\n"
    "touched), 130 or 143 stopped by SIGINT or SIGTERM.\n";

enum class Command { Encrypt, Decrypt };

struct Request {
    Command command = Command::Encrypt;
    std::optional<std::string> keyFile;
    std::optional<std::string> output;
    bool quiet = false;
    bool force = false;
    bool recursive = false;
    bool dryRun = false;
    bool verbose = false;
    std::vector<std::string> files;
};

// One file of the command: what it reads and writes, as the system's bytes ("-": standard input
// or output).
struct Job {
    std::string input;
    std::string output;
};

// Unwinds a misuse inside a stream to the batch, which drops the staged output on its way.
struct StreamMisuse {};

int UsageError(const std::string& problem) {
    PrintError(problem + " (see 'vyx --help')");
    return kUsageError;
}

// Writes text to standard output; a failure is told and turns into status 1.
int Print(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (written && std::fflush(stdout) == 0) return kAllDone;
    PrintError(std::string("standard output: ") + std::strerror(errno));
    return kSomeFailed;
}

std::string OutputOf(const std::string& input) {
    return PathToOsBytes(ProposeOutputName(PathFromOsBytes(input)))
        .value_or(input + "_out");  // a decoded path always has its bytes back
}

// --- Options ---

constexpr option kLongOptions[] = {
    {"key-file", required_argument, nullptr, 'k'},
    {"output", required_argument, nullptr, 'o'},
    {"force", no_argument, nullptr, 'f'},
    {"recursive", no_argument, nullptr, 'r'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"verbose", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The option as the user spelled it: "--name" of "--name=value", or "-x".
std::string Spelled(std::string_view arg, int letter) {
    if (!arg.starts_with("--")) return std::string("-") + static_cast<char>(letter);
    return std::string(arg.substr(0, arg.find('=')));
}

// Reads the options and files after the command, in any order; "--" ends the options and "-" is
// a FILE. Returns an exit status when the command line is finished with (help, or a usage error).
std::optional<int> ParseRequest(int argc, char** argv, Request& request) {
    opterr = 0;  // the messages are vyx's own
    optind = 1;  // argv[0] is the command
    for (;;) {
        const int letter = getopt_long(argc, argv, ":k:o:frnvqh", kLongOptions, nullptr);
        if (letter == -1) break;
        // The argument that held the option: its value may have been the next one.
        const std::string_view arg = optarg != nullptr && optind >= 2 && optarg == argv[optind - 1]
                                         ? argv[optind - 2]
                                         : argv[optind - 1];
        switch (letter) {
            case 'k':
            case 'o': {
                std::optional<std::string>& value =
                    letter == 'k' ? request.keyFile : request.output;
                if (value) return UsageError("option '" + Spelled(arg, letter) + "' given twice");
                if (*optarg == '\0') {
                    return UsageError("option '" + Spelled(arg, letter) + "' needs a value");
                }
                value = optarg;
                break;
            }
            case 'f':
                request.force = true;
                break;
            case 'r':
                request.recursive = true;
                break;
            case 'n':
                request.dryRun = true;
                break;
            case 'v':
                request.verbose = true;
                break;
            case 'q':
                request.quiet = true;
                break;
            case 'h':
                return Print(kHelp);
            case ':':
                return UsageError("option '" + Spelled(argv[optind - 1], optopt) +
                                  "' needs a value");
            default: {
                // Unknown: a letter (optopt), or a long option (optopt 0). A known letter here
                // is a long option given a value it does not take. A long option is always the
                // whole of the argument just passed.
                const bool letterKnown =
                    optopt != 0 && std::string_view("kofrnvqh").find(static_cast<char>(optopt)) !=
                                       std::string_view::npos;
                if (optopt != 0 && !letterKnown) {
                    return UsageError(
                        "unknown option '" +
                        WithoutControls(std::string(1, '-') + static_cast<char>(optopt)) + "'");
                }
                const std::string name = Spelled(argv[optind - 1], 0);
                return UsageError(letterKnown ? "option '" + name + "' takes no value"
                                              : "unknown option '" + WithoutControls(name) + "'");
            }
        }
    }
    for (int i = optind; i < argc; ++i) request.files.emplace_back(argv[i]);

    if (request.files.empty()) return UsageError("no FILE given");
    if (request.output && request.files.size() != 1) {
        return UsageError("-o/--output is allowed with one FILE only");
    }
    if (request.output && request.recursive) {
        return UsageError("-o/--output cannot be used with -r/--recursive");
    }
    const auto fromStandardInput = std::count(request.files.begin(), request.files.end(), "-");
    if (fromStandardInput > 1) return UsageError("FILE '-' given more than once");
    if (fromStandardInput == 1 && request.keyFile == kStandard) {
        return UsageError("the key and FILE '-' cannot both come from standard input");
    }
    return std::nullopt;
}

// --- The plan: every file and its output, worked out before anything is opened ---

// Whether the regular file at path begins with the encrypted file's two marker bytes; nothing
// when it cannot be read.
std::optional<bool> BeginsWithMarker(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::array<std::uint8_t, EncryptedFileMarker.size()> start{};
    ssize_t got = 0;
    while ((got = ::read(fd, start.data(), start.size())) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (got < 0) return std::nullopt;
    return start == EncryptedFileMarker && got == static_cast<ssize_t>(start.size());
}

// Whether lexically_normal would give the path back as it is: no empty, "." or ".." name in it, and
// no slash at its end.
bool AlreadyNormal(std::string_view path) {
    if (path.empty() || path.back() == '/') return false;
    for (std::size_t start = path.starts_with('/') ? 1 : 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") return false;
        start = end + 1;
    }
    return true;
}

class Planner {
  public:
    explicit Planner(const Request& request) : request_(request) {}

    // The jobs in command-line order (a folder's files sorted by path), or the exit status of a
    // command that must not run.
    std::optional<int> Plan(std::vector<Job>& jobs) {
        for (const std::string& file : request_.files) {
            struct stat info {};
            if (request_.recursive && file != kStandard && ::stat(file.c_str(), &info) == 0 &&
                S_ISDIR(info.st_mode)) {
                Walk(file, jobs);
            } else {
                const bool standard = file == kStandard;
                jobs.push_back({file, request_.output.value_or(standard ? std::string(kStandard)
                                                                        : OutputOf(file))});
            }
        }
        return Collisions(jobs);
    }

    bool Failed() const { return failed_; }

  private:
    void Skip(const fs::path& path, const char* why) {
        if (request_.verbose) skipped_.emplace_back(path.native(), why);
    }

    // Takes the folder's files, never following a symbolic link.
    void Walk(const std::string& folder, std::vector<Job>& jobs) {
        std::vector<std::string> found;
        std::error_code error;
        fs::recursive_directory_iterator it(folder, fs::directory_options::none, error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            const fs::path& path = it->path();
            const fs::file_status status = it->symlink_status(error);
            if (error) break;
            if (fs::is_symlink(status)) {
                Skip(path, "a symbolic link");
            } else if (fs::is_directory(status)) {
                continue;
            } else if (!fs::is_regular_file(status)) {
                Skip(path, "not a regular file");
            } else {
                const std::optional<bool> encrypted = BeginsWithMarker(path.native());
                const bool decrypting = request_.command == Command::Decrypt;
                if (encrypted && *encrypted != decrypting) {
                    Skip(path, decrypting ? "not encrypted" : "already encrypted");
                } else {
                    found.push_back(path.native());  // unreadable: its run says why
                }
            }
        }
        if (error) {
            PrintError(QuoteName(folder) + ": " + error.message());
            failed_ = true;
        }
        std::sort(found.begin(), found.end());
        for (std::string& file : found) jobs.push_back({file, OutputOf(file)});
        std::sort(skipped_.begin(), skipped_.end());
        for (const auto& [path, why] : skipped_) {
            PrintError(QuoteName(path) + ": skipped: " + why);
        }
        skipped_.clear();
    }

    // A command whose output is another of its files (by path or as the same file), or whose
    // files share an output, is refused as a whole.
    static std::optional<int> Collisions(const std::vector<Job>& jobs) {
        // The current folder is asked once, not once for each of a batch's paths.
        std::error_code cwdError;
        const fs::path cwd = fs::current_path(cwdError);
        const std::string cwdPrefix =
            cwd.native().ends_with('/') ? cwd.native() : cwd.native() + '/';
        const auto normal = [&](const std::string& path) {
            // Most names of a batch are normal already: they are only joined, which is a
            // good part faster on thousands of files.
            if (AlreadyNormal(path))
                return path.starts_with('/') || cwdError ? path : cwdPrefix + path;
            const fs::path given(path);
            return (given.is_absolute() || cwdError ? given : cwd / given)
                .lexically_normal()
                .native();
        };
        using Identity = std::pair<dev_t, ino_t>;
        const auto identity = [](const std::string& path) -> std::optional<Identity> {
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0) return std::nullopt;
            return Identity{info.st_dev, info.st_ino};
        };
        std::unordered_map<std::string, std::size_t> inputPaths;
        inputPaths.reserve(jobs.size());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (jobs[i].input != kStandard) inputPaths.emplace(normal(jobs[i].input), i);
        }
        // The inputs' identities matter only to an output that exists already: most batches
        // write new files, and need not look at their inputs here at all.
        std::optional<std::map<Identity, std::size_t>> inputFiles;
        const auto inputFile = [&](const Identity& id) -> std::optional<std::size_t> {
            if (!inputFiles) {
                inputFiles.emplace();
                for (std::size_t i = 0; i < jobs.size(); ++i) {
                    if (jobs[i].input == kStandard) continue;
                    if (const auto input = identity(jobs[i].input)) inputFiles->emplace(*input, i);
                }
            }
            const auto found = inputFiles->find(id);
            return found == inputFiles->end() ? std::nullopt : std::optional(found->second);
        };
        std::unordered_map<std::string, std::size_t> outputPaths;
        outputPaths.reserve(jobs.size());
        std::map<Identity, std::size_t> outputFiles;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            const Job& job = jobs[i];
            if (job.output == kStandard) continue;
            const std::string path = normal(job.output);
            const std::optional<Identity> id = identity(job.output);
            std::optional<std::size_t> input;
            if (auto found = inputPaths.find(path); found != inputPaths.end()) {
                input = found->second;
            } else if (id) {
                input = inputFile(*id);
            }
            if (input && *input != i) {
                PrintError("the output of " + QuoteName(job.input) + " would replace " +
                           QuoteName(jobs[*input].input) +
                           ", another FILE of this command; nothing done");
                return kUsageError;
            }
            std::optional<std::size_t> other;
            if (auto found = outputPaths.find(path); found != outputPaths.end()) {
                other = found->second;
            } else if (auto same = id ? outputFiles.find(*id) : outputFiles.end();
                       same != outputFiles.end()) {
                other = same->second;
            }
            if (other) {
                PrintError(QuoteName(jobs[*other].input) + " and " + QuoteName(job.input) +
                           " would both write " + QuoteName(job.output) + "; nothing done");
                return kUsageError;
            }
            outputPaths.emplace(path, i);
            if (id) outputFiles.emplace(*id, i);
        }
        return std::nullopt;
    }

    const Request& request_;
    std::vector<std::pair<std::string, const char*>> skipped_;  // with -v: what, and why
    bool failed_ = false;  // a folder could not be walked to its end
};

// Whether the output may be written: standard output always; an existing file only with -f.
bool MayWrite(const Request& request, const std::string& output) {
    struct stat info {};
    if (request.force || output == kStandard || ::lstat(output.c_str(), &info) != 0) return true;
    PrintError(QuoteName(output) + " already exists; use -f to replace it");
    return false;
}

// --- The run ---

// The key from the first source that has one: -k, VYX_KEY, the terminal.
std::optional<std::u16string> TakeKey(const Request& request) {
    KeyInput input;
    if (request.keyFile) {
        // Typed on a terminal, the key is asked for without echo.
        input = *request.keyFile == kStandard && ::isatty(STDIN_FILENO) == 1
                    ? KeyFromTerminal()
                    : KeyFromFile(*request.keyFile);
    } else if (std::optional<std::u16string> key = KeyFromEnvironment()) {
        return key;
    } else {
        input = KeyFromTerminal();
    }
    if (!input.key) PrintError(input.problem);
    return input.key;
}

// The length of a regular file, for the progress line's rate and time left.
std::optional<std::uint64_t> FileSize(const std::string& path) {
    struct stat info {};
    const int result =
        path == kStandard ? ::fstat(STDIN_FILENO, &info) : ::stat(path.c_str(), &info);
    if (result != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

// Where a batch's files come from and where their ends go: in order in this process, or from a
// queue that workers share (cli/workers.h).
struct Feed {
    std::function<std::optional<std::size_t>()> next;
    std::function<void(std::size_t)> about;          // what is said from now on is about this file
    std::function<void(std::size_t, bool)> settled;  // the file is done, or failed
};

// Runs the files that the feed gives, until none is left or the batch stops.
BatchStop RunJobs(const Request& request, const std::vector<Job>& jobs, const std::u16string& key,
                  bool chatty, const Feed& feed) {
    // Many files commit in groups: their syncs, renames and folder syncs are shared, and each is
    // reported done once its group is durable. A single file commits on its own, as it always has.
    const bool grouped = jobs.size() > 1;
    TerminalWindow window({.progress = chatty, .completion = chatty, .deferCompletion = grouped});
    SetMessagePresenter(&window);
    SetMisuseHandler([] { throw StreamMisuse{}; });
    // Standard input and output for "-": a pipe's bytes are counted on the progress line, and a
    // signal ends its input where it is.
    SetPlatformFileFactory([&window] {
        return std::make_unique<ChosenFile>([&window](std::uint64_t bytes) {
            window.CountBytes(bytes);
            return CaughtRunSignal() == 0;
        });
    });
    RunResult (*const operation)(IMainWindow&) =
        request.command == Command::Encrypt ? &EncryptFile : &DecryptFile;

    BatchStop stop;
    CommitGroup group;
    std::vector<std::size_t> pending;  // in the group's order
    // Reports the files whose commit has settled, oldest first; with `everything`, all of them.
    const auto flush = [&](bool everything) {
        const std::vector<std::optional<CFileException>> results = group.Flush(everything);
        for (std::size_t i = 0; i < results.size(); ++i) {
            const Job& job = jobs[pending[i]];
            feed.about(pending[i]);
            if (results[i]) {
                window.ReportFailed(PathFromOsBytes(job.input), PathFromOsBytes(job.output),
                                    QuoteName(job.input), QuoteName(job.output),
                                    results[i]->Message());
            } else {
                window.ReportCommitted(QuoteName(job.input), QuoteName(job.output));
            }
            feed.settled(pending[i], !results[i]);
        }
        pending.erase(pending.begin(),
                      pending.begin() + static_cast<std::ptrdiff_t>(results.size()));
    };
    {
        // One scope for the whole batch: a signal stops the file being written, then the batch.
        const RunSignalScope signals;
        std::optional<CommitGroupScope> groupScope;
        if (grouped) groupScope.emplace(group);
        while (const std::optional<std::size_t> next = feed.next()) {
            const Job& job = jobs[*next];
            feed.about(*next);
            if (!MayWrite(request, job.output)) {
                feed.settled(*next, false);
                continue;
            }
            const std::optional<std::uint64_t> size = chatty ? FileSize(job.input) : std::nullopt;
            window.BeginFile(key, PathFromOsBytes(job.input), PathFromOsBytes(job.output),
                             QuoteName(job.input), QuoteName(job.output), size,
                             job.input == kStandard && !FileSize(job.input));
            RunOutcome outcome = RunOutcome::Failed;
            const std::size_t pendingBefore = group.Pending();
            try {
                outcome = operation(window).outcome;
            } catch (const StreamMisuse&) {
                stop.misused = true;  // told; the run's output is dropped by now
            }
            window.EndFile();
            const bool completed = outcome == RunOutcome::Completed;
            stop.signal = CaughtRunSignal();
            if (completed && group.Pending() > pendingBefore) {
                pending.push_back(*next);
            } else if (stop.signal == 0 && !stop.misused) {
                // Without a group the run itself printed the line.
                if (completed && grouped) {
                    window.ReportCommitted(QuoteName(job.input), QuoteName(job.output));
                }
                feed.settled(*next, completed);
            }
            if (stop.signal != 0 || stop.misused) break;
            if (group.Due()) flush(false);
        }
        // What completed before a stop is committed and reported, as when each file committed
        // on its own.
        flush(true);
    }
    SetPlatformFileFactory({});
    SetMisuseHandler(nullptr);
    SetMessagePresenter(nullptr);
    return stop;
}

int RunBatch(const Request& request, const std::vector<Job>& jobs, const std::u16string& key,
             bool planFailed) {
    const bool chatty = ::isatty(STDERR_FILENO) == 1 && !request.quiet;
    std::size_t done = 0;
    std::size_t failed = 0;
    BatchStop stop;
    // Many files share the processors, unless their lines are drawn on a terminal as they run,
    // or one of them is standard input or output.
    const bool standard = std::any_of(jobs.begin(), jobs.end(), [](const Job& job) {
        return job.input == kStandard || job.output == kStandard;
    });
    const unsigned workers = chatty || standard ? 1 : WorkersFor(jobs.size());
    std::optional<WorkersResult> shared;
    if (workers > 1) {
        shared = RunWorkers(jobs.size(), workers, [&](WorkerLink& link) {
            return RunJobs(
                request, jobs, key, chatty,
                {[&link] { return link.Next(); }, [&link](std::size_t job) { link.About(job); },
                 [&link](std::size_t job, bool ok) { link.Settled(job, ok); }});
        });
    }
    if (shared) {
        done = shared->done;
        failed = shared->failed;
        stop = shared->stop;
    } else {
        std::size_t next = 0;
        stop = RunJobs(request, jobs, key, chatty,
                       {[&]() -> std::optional<std::size_t> {
                            if (next == jobs.size()) return std::nullopt;
                            return next++;
                        },
                        [](std::size_t) {}, [&](std::size_t, bool ok) { ++(ok ? done : failed); }});
    }
    if (stop.signal != 0) return 128 + stop.signal;
    if (stop.misused) return kSomeFailed;

    if (jobs.size() > 1 && (!request.quiet || failed > 0)) {
        PrintError(std::to_string(jobs.size()) + " files: " + std::to_string(done) + " done, " +
                   std::to_string(failed) + " failed");
    }
    return failed == 0 && !planFailed ? kAllDone : kSomeFailed;
}

int RunCommand(const Request& request) {
    Planner planner(request);
    std::vector<Job> jobs;
    if (std::optional<int> refused = planner.Plan(jobs)) return *refused;

    if (request.dryRun) {
        std::string lines;
        for (const Job& job : jobs) {
            struct stat info {};
            if (!request.force && job.output != kStandard &&
                ::lstat(job.output.c_str(), &info) == 0) {
                MayWrite(request, job.output);  // says why it would not run
                continue;
            }
            lines += QuoteName(job.input) + " -> " + QuoteName(job.output) + "\n";
        }
        return Print(lines);
    }

    const bool toStandardOutput = std::any_of(
        jobs.begin(), jobs.end(), [](const Job& job) { return job.output == kStandard; });
    if (toStandardOutput && ::isatty(STDOUT_FILENO) == 1) {
        PrintError(std::string("refusing to write ") +
                   (request.command == Command::Encrypt ? "encrypted" : "decrypted") +
                   " data to a terminal; use -o OUTPUT or redirect standard output");
        return kUsageError;
    }

    const std::optional<std::u16string> key = TakeKey(request);
    if (!key) return kUsageError;
    if (std::optional<std::u16string> refusal =
            KeyRefusal(*key, request.command == Command::Encrypt)) {
        PrintError(Utf16ToUtf8(*refusal));
        return kUsageError;
    }
    return RunBatch(request, jobs, *key, planner.Failed());
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away is a failed write like any other: told, and status 1.
    std::signal(SIGPIPE, SIG_IGN);

    int status = kAllDone;
    const std::string command = argc < 2 ? std::string() : argv[1];
    if (argc < 2) {
        status = UsageError("no command given");
    } else if (command == "--help" || command == "-h") {
        status = Print(kHelp);
    } else if (command == "--version") {
        status = Print("vyx " VYX_VERSION "\n");
    } else if (command == "genkey") {
        status =
            argc > 2 ? UsageError("genkey takes no arguments") : Print(GenerateKeyText() + "\n");
    } else if (command == "encrypt" || command == "decrypt") {
        Request request;
        request.command = command == "encrypt" ? Command::Encrypt : Command::Decrypt;
        const std::optional<int> finished = ParseRequest(argc - 1, argv + 1, request);
        status = finished ? *finished : RunCommand(request);
    } else {
        status = UsageError("unknown command '" + WithoutControls(command) + "'");
    }
    // Whatever could not be said on standard error still counts.
    if (status == kAllDone && ErrorOutputFailed()) status = kSomeFailed;
    return status;
}

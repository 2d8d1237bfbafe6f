// vyx: the Encrypt and Decrypt operations of the window, for scripts and whole folders of files.
//
//   vyx encrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...
//   vyx decrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...
//   vyx genkey
//   vyx --help | --version
//
// Each FILE runs through the very same operation as the window's button, with a terminal window
// (cli/terminal_window.h). The key is judged once, before any file is opened.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cipher/cipher.h"
#include "cli/key_input.h"
#include "cli/terminal_window.h"
#include "fileops/file_operations.h"
#include "fileops/output_name.h"
#include "fileops/run_signals.h"
#include "filestream/notify.h"
#include "filestream/text_convert.h"
#include "vyx_version.h"

namespace {

constexpr int kAllDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kHelp =
    "usage: vyx encrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...\n"
    "       vyx decrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...\n"
    "       vyx genkey\n"
    "       vyx --help | --version\n"
    "\n"
    "Encrypts or decrypts each FILE with a sixteen-character key such as 3F0A.91C2.7B44.E05D.\n"
    "The output goes beside it: report.doc gives report_encr.doc, report_encr.doc gives\n"
    "report_decr.doc.\n"
    "\n"
    "  -k, --key-file KEYFILE  the key is the first line of KEYFILE ('-': standard input)\n"
    "  -o, --output OUTPUT     write to OUTPUT instead (with one FILE only)\n"
    "  -q, --quiet             no progress, no line per finished file, no summary unless\n"
    "                          a file failed\n"
    "  -h, --help              show this help\n"
    "      --version           show the version\n"
    "\n"
    "Without -k the key is taken from the environment variable VYX_KEY, or else asked for\n"
    "on the terminal. genkey prints a fresh key.\n"
    "\n"
    "Exit status: 0 every file done, 1 a file failed, 2 a usage or key error (no file\n"
    "touched), 130 or 143 stopped by SIGINT or SIGTERM.\n";

enum class Command { Encrypt, Decrypt };

struct Request {
    Command command = Command::Encrypt;
    std::optional<std::string> keyFile;
    std::optional<std::string> output;
    bool quiet = false;
    std::vector<std::string> files;
};

int UsageError(const std::string& problem) {
    PrintError(problem + " (see 'vyx --help')");
    return kUsageError;
}

// How a path from the command line is shown in messages: bytes that are not UTF-8 as U+FFFD.
std::string Shown(const std::u16string& path) {
    return Utf16ToUtf8(path);
}

// Reads the options and files after the command, in any order; "--" ends the options and "-"
// is a FILE. Returns an exit status when the command line is finished with (help, or a usage
// error).
std::optional<int> ParseRequest(int argc, char** argv, Request& request) {
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            request.files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // The value of -k or -o (spelled as given): the rest of this argument, or else the next
        // one. Each may be given once.
        const auto takeValue = [&](std::string_view spelled, char letter,
                                   std::string_view rest) -> std::optional<int> {
            std::optional<std::string>& value = letter == 'k' ? request.keyFile : request.output;
            if (value) return UsageError("option '" + std::string(spelled) + "' given twice");
            if (rest.empty()) {
                if (i + 1 >= argc) {
                    return UsageError("option '" + std::string(spelled) + "' needs a value");
                }
                rest = argv[++i];
            }
            value = std::string(rest);
            return std::nullopt;
        };
        std::optional<int> finished;
        if (arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            const std::string_view name = arg.substr(0, equals);
            const bool hasValue = equals != std::string_view::npos;
            const std::string_view value = hasValue ? arg.substr(equals + 1) : std::string_view();
            if (name == "--key-file" || name == "--output") {
                if (hasValue && value.empty()) {
                    return UsageError("option '" + std::string(name) + "' needs a value");
                }
                finished = takeValue(name, name == "--key-file" ? 'k' : 'o', value);
            } else if ((name == "--quiet" || name == "--help") && hasValue) {
                return UsageError("option '" + std::string(name) + "' takes no value");
            } else if (name == "--quiet") {
                request.quiet = true;
            } else if (name == "--help") {
                std::fputs(kHelp, stdout);
                return kAllDone;
            } else {
                return UsageError("unknown option '" + std::string(name) + "'");
            }
        } else {
            for (std::size_t j = 1; j < arg.size() && !finished; ++j) {
                const char option = arg[j];
                if (option == 'q') {
                    request.quiet = true;
                } else if (option == 'h') {
                    std::fputs(kHelp, stdout);
                    return kAllDone;
                } else if (option == 'k' || option == 'o') {
                    finished = takeValue(option == 'k' ? "-k" : "-o", option, arg.substr(j + 1));
                    break;
                } else {
                    return UsageError("unknown option '-" + std::string(1, option) + "'");
                }
            }
        }
        if (finished) return finished;
    }
    if (request.files.empty()) return UsageError("no FILE given");
    if (request.output && request.files.size() != 1) {
        return UsageError("-o/--output is allowed with one FILE only");
    }
    return std::nullopt;
}

// The key from the first source that has one: -k, VYX_KEY, the terminal.
std::optional<std::u16string> TakeKey(const Request& request) {
    KeyInput input;
    if (request.keyFile) {
        input = KeyFromFile(*request.keyFile);
    } else if (std::optional<std::u16string> key = KeyFromEnvironment()) {
        return key;
    } else {
        input = KeyFromTerminal();
    }
    if (!input.key) PrintError(input.problem);
    return input.key;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

int RunBatch(const Request& request, const std::u16string& key) {
    const bool onTerminal = ::isatty(STDERR_FILENO) == 1;
    const bool chatty = onTerminal && !request.quiet;
    TerminalWindow window({.progress = chatty, .completion = chatty});
    SetMessagePresenter(&window);
    void (*const operation)(IMainWindow&) =
        request.command == Command::Encrypt ? &EncryptFile : &DecryptFile;

    std::size_t done = 0;
    std::size_t failed = 0;
    int signal = 0;
    {
        // One scope for the whole batch: a signal stops the file being written, then the batch.
        const RunSignalScope signals;
        for (const std::string& file : request.files) {
            std::u16string input = PathFromOsBytes(file);
            std::u16string output =
                request.output ? PathFromOsBytes(*request.output) : ProposeOutputName(input);
            const std::string shownInput = Shown(input);
            const std::string shownOutput = Shown(output);
            window.BeginFile(key, std::move(input), std::move(output), shownInput, shownOutput,
                             chatty ? FileSize(file) : std::nullopt);
            operation(window);
            const bool completed = window.EndFile();
            signal = CaughtRunSignal();
            if (signal != 0) break;
            ++(completed ? done : failed);
        }
    }
    SetMessagePresenter(nullptr);
    if (signal != 0) return 128 + signal;

    if (request.files.size() > 1 && (!request.quiet || failed > 0)) {
        PrintError(std::to_string(request.files.size()) + " files: " + std::to_string(done) +
                   " done, " + std::to_string(failed) + " failed");
    }
    return failed == 0 ? kAllDone : kSomeFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kHelp, stdout);
        return kAllDone;
    }
    if (command == "--version") {
        std::puts("vyx " VYX_VERSION);
        return kAllDone;
    }
    if (command == "genkey") {
        if (argc > 2) return UsageError("genkey takes no arguments");
        std::puts(GenerateKeyText().c_str());
        return std::fflush(stdout) == 0 ? kAllDone : kSomeFailed;
    }

    Request request;
    if (command == "encrypt") {
        request.command = Command::Encrypt;
    } else if (command == "decrypt") {
        request.command = Command::Decrypt;
    } else {
        return UsageError("unknown command '" + command + "'");
    }
    if (std::optional<int> finished = ParseRequest(argc - 2, argv + 2, request)) return *finished;

    const std::optional<std::u16string> key = TakeKey(request);
    if (!key) return kUsageError;
    if (std::optional<std::u16string> refusal =
            KeyRefusal(*key, request.command == Command::Encrypt)) {
        PrintError(Utf16ToUtf8(*refusal));
        return kUsageError;
    }
    return RunBatch(request, *key);
}

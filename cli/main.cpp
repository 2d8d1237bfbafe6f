// vyx: the Encrypt and Decrypt operations of the window, for scripts and whole folders of files.
//
//   vyx encrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...
//   vyx decrypt [-k KEYFILE] [-o OUTPUT] [-q] FILE...
//   vyx genkey
//   vyx --help | --version
//
// Each FILE runs through the very same operation as the window's button, with a terminal window
// (cli/terminal_window.h). The key is judged once, before any file is opened.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cipher/cipher.h"
#include "cli/key_input.h"
#include "cli/path_argument.h"
#include "cli/terminal_window.h"
#include "fileops/file_operations.h"
#include "fileops/output_name.h"
#include "fileops/run_signals.h"
#include "filestream/notify.h"
#include "filestream/text_convert.h"

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

// Reads the options and files after the command. Returns an exit status when the command line
// is finished with (help, or a usage error).
std::optional<int> ParseRequest(int argc, char** argv, Request& request) {
    static const option kOptions[] = {
        {"key-file", required_argument, nullptr, 'k'},
        {"output", required_argument, nullptr, 'o'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    for (;;) {
        const int previous = optind;
        const int option = getopt_long(argc, argv, ":k:o:qh", kOptions, nullptr);
        if (option == -1) break;
        const std::string given = previous < argc ? argv[previous] : "";
        switch (option) {
            case 'k':
            case 'o': {
                std::optional<std::string>& value =
                    option == 'k' ? request.keyFile : request.output;
                if (value)
                    return UsageError("option -" + std::string(1, char(option)) + " given twice");
                value = optarg;
                break;
            }
            case 'q':
                request.quiet = true;
                break;
            case 'h':
                std::fputs(kHelp, stdout);
                return kAllDone;
            case ':':
                return UsageError("option '" + given + "' needs a value");
            default:
                return UsageError("unknown option '" + given + "'");
        }
    }
    request.files.assign(argv + optind, argv + argc);
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
            std::u16string input = PathFromArgument(file);
            std::u16string output =
                request.output ? PathFromArgument(*request.output) : ProposeOutputName(input);
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
    if (std::optional<int> finished = ParseRequest(argc - 1, argv + 1, request)) return *finished;

    const std::optional<std::u16string> key = TakeKey(request);
    if (!key) return kUsageError;
    if (std::optional<std::u16string> refusal =
            KeyRefusal(*key, request.command == Command::Encrypt)) {
        PrintError(Utf16ToUtf8(*refusal));
        return kUsageError;
    }
    return RunBatch(request, *key);
}

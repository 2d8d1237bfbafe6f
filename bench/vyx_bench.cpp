// vyx_bench: the Encrypt and Decrypt operations without a window, for measuring and scripting.
//
//   vyx_bench encrypt KEYTEXT INPUT OUTPUT [--trace]
//   vyx_bench decrypt KEYTEXT INPUT OUTPUT [--trace]
//   vyx_bench throughput [--size MIB] [--dir DIR] [--repeat N]
//
// encrypt/decrypt run the operation through a headless window whose page holds the given values.
// With --trace every value the status row shows is printed when it changes, and every message
// (the operation's and the file stream's) as "message: TEXT", in order. The exit status is 0 when
// the run completed (its output is in place), 1 otherwise, 2 for a bad command line. Elapsed
// seconds and MB/s go to standard error.
//
// throughput makes a random file (default 1024 MiB) in DIR (default a fresh temporary folder),
// times a 64 KiB read/write copy of it, its encryption and the decryption of the result, checks
// the round trip, and prints MB/s for each, the ratios to the copy and the peak resident size.
// With --repeat the three are timed N times over and the fastest of each counts, which keeps a
// busy machine's stalls out of the ratios; the processor time of each is printed too.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/cipher.h"
#include "fileops/file_operations.h"
#include "fileops/run_signals.h"
#include "filestream/notify.h"
#include "filestream/text_convert.h"
#include "support/headless_window.h"
#include "support/operations.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;

int Usage() {
    std::fputs(
        "usage: vyx_bench encrypt KEYTEXT INPUT OUTPUT [--trace]\n"
        "       vyx_bench decrypt KEYTEXT INPUT OUTPUT [--trace]\n"
        "       vyx_bench throughput [--size MIB] [--dir DIR] [--repeat N]\n",
        stderr);
    return 2;
}

void PrintLine(std::u16string_view text) {
    const std::string line = Utf16ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Processor time of this process so far, user and system.
double ProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

template <typename Work>
Timing Measure(Work&& work) {
    const double cpuStart = ProcessorSeconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    return {Seconds(std::chrono::steady_clock::now() - start), ProcessorSeconds() - cpuStart};
}

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
}

std::uint64_t FileSizeOrZero(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

struct Measured {
    bool completed = false;
    Timing time;
};

// One operation through a headless window; the window also presents the stream's messages.
Measured RunOperation(Op op, std::u16string key, std::u16string input, std::u16string output,
                      bool trace) {
    HeadlessWindow window;
    window.page.key = std::move(key);
    window.page.inputFile = std::move(input);
    window.page.outputFile = std::move(output);
    std::u16string shown = window.page.complete;
    if (trace) {
        window.onPageWrite = [&shown](HeadlessWindow& w) {
            if (w.page.complete == shown) return;
            shown = w.page.complete;
            PrintLine(shown);
        };
        window.onMessage = [](HeadlessWindow&, const HeadlessWindow::Message& message) {
            PrintLine(u"message: " + message.text);
        };
    }
    IMessagePresenter* const previous = GetMessagePresenter();
    SetMessagePresenter(&window);
    RunOutcome outcome = RunOutcome::Failed;
    const Timing time = Measure([&] { outcome = RunOp(op, window).outcome; });
    SetMessagePresenter(previous);
    std::fflush(stdout);
    // A termination signal stopped the run, which dropped its output: now it ends the harness.
    ReraiseCaughtRunSignal();

    return {outcome == RunOutcome::Completed, time};
}

int OperationCommand(Op op, const std::vector<std::string>& args) {
    bool trace = false;
    std::vector<std::string> values;
    for (const std::string& arg : args) {
        if (arg == "--trace") {
            trace = true;
        } else {
            values.push_back(arg);
        }
    }
    if (values.size() != 3) return Usage();
    // The paths reach the file layer byte for byte, whatever their encoding.
    const Measured result = RunOperation(op, Utf8ToUtf16(values[0]), PathFromOsBytes(values[1]),
                                         PathFromOsBytes(values[2]), trace);
    const std::uint64_t bytes = FileSizeOrZero(values[1]);
    std::fprintf(stderr, "%s: %.3f s, %.1f MB/s (%llu bytes)\n",
                 op == Op::Encrypt ? "encrypt" : "decrypt", result.time.wall,
                 MegabytesPerSecond(bytes, result.time.wall),
                 static_cast<unsigned long long>(bytes));
    return result.completed ? 0 : 1;
}

// A fast generator is enough: the data only has to be incompressible and unpatterned.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool MakeRandomFile(const fs::path& path, std::uint64_t bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    SplitMix64 rng{static_cast<std::uint64_t>(::getpid()) * 0x2545F4914F6CDD1Dull};
    std::vector<std::uint8_t> chunk(1 << 20);
    bool ok = true;
    while (ok && bytes > 0) {
        for (std::size_t i = 0; i < chunk.size(); i += 8) {
            const std::uint64_t word = rng.Next();
            std::memcpy(chunk.data() + i, &word, 8);
        }
        const std::size_t n = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
        ok = WriteAll(fd, chunk.data(), n);
        bytes -= n;
    }
    return ::close(fd) == 0 && ok;
}

// The reference: what a plain copy costs through 64 KiB reads and writes, made durable at the end
// as the operations make their output.
bool CopyFile(const fs::path& from, const fs::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = in >= 0 && out >= 0;
    std::vector<std::uint8_t> chunk(kCopyChunk);
    while (ok) {
        const ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = WriteAll(out, chunk.data(), static_cast<std::size_t>(n));
    }
    if (out >= 0) ok = ::fsync(out) == 0 && ::close(out) == 0 && ok;
    if (in >= 0) ::close(in);
    return ok;
}

bool SameContent(const fs::path& a, const fs::path& b) {
    const int fa = ::open(a.c_str(), O_RDONLY);
    const int fb = ::open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    std::vector<std::uint8_t> ca(1 << 20), cb(1 << 20);
    while (same) {
        const ssize_t na = ::read(fa, ca.data(), ca.size());
        ssize_t nb = 0;
        while (nb < na) {  // read as much of b as was read of a
            const ssize_t n = ::read(fb, cb.data() + nb, static_cast<std::size_t>(na - nb));
            if (n <= 0) break;
            nb += n;
        }
        if (na < 0 || nb != na ||
            std::memcmp(ca.data(), cb.data(), static_cast<std::size_t>(na)) != 0)
            same = false;
        if (na <= 0) {
            // both at their end: b must have nothing more either
            char extra = 0;
            same = same && na == 0 && ::read(fb, &extra, 1) == 0;
            break;
        }
    }
    if (fa >= 0) ::close(fa);
    if (fb >= 0) ::close(fb);
    return same;
}

long PeakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int ThroughputCommand(const std::vector<std::string>& args) {
    std::uint64_t mebibytes = 1024;
    int repeat = 1;
    std::optional<fs::path> dirArg;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--size" && i + 1 < args.size()) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(args[++i].c_str(), &end, 10);
            if (end == args[i].c_str() || *end != '\0' || value == 0) return Usage();
            mebibytes = value;
        } else if (args[i] == "--dir" && i + 1 < args.size()) {
            dirArg = args[++i];
        } else if (args[i] == "--repeat" && i + 1 < args.size()) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(args[++i].c_str(), &end, 10);
            if (end == args[i].c_str() || *end != '\0' || value == 0 || value > 100) return Usage();
            repeat = static_cast<int>(value);
        } else {
            return Usage();
        }
    }

    // Files of our own inside DIR, or a fresh folder of our own removed afterwards.
    fs::path dir;
    bool ownDir = false;
    if (dirArg) {
        dir = *dirArg;
    } else {
        std::string pattern = (fs::temp_directory_path() / "vyx-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("vyx_bench: temporary folder");
            return 1;
        }
        dir = pattern;
        ownDir = true;
    }
    const std::string tag = "vyx-bench-" + std::to_string(::getpid());
    const fs::path plain = dir / (tag + ".plain");
    const fs::path copy = dir / (tag + ".copy");
    const fs::path encrypted = dir / (tag + ".encr");
    const fs::path decrypted = dir / (tag + ".decr");
    const auto cleanUp = [&] {
        std::error_code ignored;
        for (const fs::path& p : {plain, copy, encrypted, decrypted}) fs::remove(p, ignored);
        if (ownDir) fs::remove(dir, ignored);
    };

    const std::uint64_t bytes = mebibytes << 20;
    std::printf("size: %llu MiB in %s\n", static_cast<unsigned long long>(mebibytes), dir.c_str());
    std::fflush(stdout);
    if (!MakeRandomFile(plain, bytes)) {
        std::perror("vyx_bench: making the input");
        cleanUp();
        return 1;
    }

    const std::string keyText = GenerateKeyText();
    const std::u16string key(keyText.begin(), keyText.end());
    // The fastest of each kind over the repetitions.
    const auto better = [](const Timing& a, const Timing& b) { return a.wall < b.wall ? a : b; };
    Timing copyTime{1e300, 0}, encryptTime{1e300, 0}, decryptTime{1e300, 0};
    bool copied = true;
    bool roundTrip = true;
    for (int round = 0; round < repeat && copied && roundTrip; ++round) {
        bool ok = false;
        const Timing copyRound = Measure([&] { ok = CopyFile(plain, copy); });
        copied = ok;
        std::error_code ignored;
        fs::remove(copy, ignored);
        // Every timed run writes a new file, as the copy does: replacing the last round's output
        // would add the freeing of its pages to the operation's time.
        fs::remove(encrypted, ignored);
        fs::remove(decrypted, ignored);
        const Measured encrypt =
            RunOperation(Op::Encrypt, key, plain.u16string(), encrypted.u16string(), false);
        const Measured decrypt =
            RunOperation(Op::Decrypt, key, encrypted.u16string(), decrypted.u16string(), false);
        roundTrip = encrypt.completed && decrypt.completed && SameContent(plain, decrypted);
        copyTime = better(copyTime, copyRound);
        encryptTime = better(encryptTime, encrypt.time);
        decryptTime = better(decryptTime, decrypt.time);
    }
    cleanUp();

    if (!copied) {
        std::fputs("vyx_bench: the copy failed\n", stderr);
        return 1;
    }
    const double copyRate = MegabytesPerSecond(bytes, copyTime.wall);
    const double encryptRate = MegabytesPerSecond(bytes, encryptTime.wall);
    const double decryptRate = MegabytesPerSecond(bytes, decryptTime.wall);
    const auto line = [](const char* name, const Timing& t, double rate) {
        std::printf("%-8s %8.3f s %9.1f MB/s  (cpu %.3f s)\n", name, t.wall, rate, t.cpu);
    };
    if (repeat > 1) std::printf("fastest of %d rounds\n", repeat);
    line("copy:", copyTime, copyRate);
    line("encrypt:", encryptTime, encryptRate);
    line("decrypt:", decryptTime, decryptRate);
    std::printf("encrypt/copy: %.3f\n", copyRate > 0 ? encryptRate / copyRate : 0.0);
    std::printf("decrypt/copy: %.3f\n", copyRate > 0 ? decryptRate / copyRate : 0.0);
    std::printf("round trip: %s\n", roundTrip ? "identical" : "FAILED");
    std::printf("peak RSS: %ld KiB\n", PeakResidentKiB());
    return roundTrip ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    // --trace may stand anywhere, before the command too.
    if (command == "--trace" && argc >= 3) {
        const std::string real = argv[2];
        std::vector<std::string> rest(argv + 3, argv + argc);
        rest.push_back("--trace");
        if (real == "encrypt") return OperationCommand(Op::Encrypt, rest);
        if (real == "decrypt") return OperationCommand(Op::Decrypt, rest);
        return Usage();
    }
    if (command == "encrypt") return OperationCommand(Op::Encrypt, args);
    if (command == "decrypt") return OperationCommand(Op::Decrypt, args);
    if (command == "throughput") return ThroughputCommand(args);
    return Usage();
}

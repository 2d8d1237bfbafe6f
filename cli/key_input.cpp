#include "cli/key_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cli/quote.h"
#include "filestream/text_convert.h"

namespace {

// More than any key line needs; a file without line breaks (a device, say) is not read to its end.
constexpr std::size_t kLongestLine = 64 * 1024;

// While the prompt waits with echo off, a termination signal must not leave the terminal silent:
// it is noted, the read is interrupted (no restart), and the terminal is restored first.
volatile std::sig_atomic_t g_promptSignal = 0;
extern "C" void NotePromptSignal(int signal) {
    if (g_promptSignal == 0) g_promptSignal = signal;
}
constexpr std::array<int, 4> kPromptSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Reads up to the first line break. False on a read error (errno tells which), or when a signal
// arrived at the prompt.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char chunk[256];
    while (line.size() < kLongestLine) {
        if (g_promptSignal != 0) {
            errno = EINTR;
            return false;
        }
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR && g_promptSignal == 0) continue;
            return false;
        }
        if (got == 0) break;
        line.append(chunk, static_cast<std::size_t>(got));
        const std::size_t end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            break;
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a line written on Windows
    return true;
}

KeyInput Failed(const std::string& what, int error) {
    return {std::nullopt, what + ": the key could not be read: " + std::strerror(error)};
}

}  // namespace

KeyInput KeyFromFile(const std::string& path) {
    std::string line;
    if (path == "-") {
        if (!ReadLine(STDIN_FILENO, line)) return Failed("standard input", errno);
    } else {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return Failed(QuoteName(path), errno);
        const bool read = ReadLine(fd, line);
        const int error = errno;
        ::close(fd);
        if (!read) return Failed(QuoteName(path), error);
    }
    return {Utf8ToUtf16(line), {}};
}

std::optional<std::u16string> KeyFromEnvironment() {
    const char* value = std::getenv("VYX_KEY");
    if (value == nullptr) return std::nullopt;
    return Utf8ToUtf16(value);
}

KeyInput KeyFromTerminal() {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        return {std::nullopt, "no key: give -k KEYFILE, set VYX_KEY, or run on a terminal"};

    termios saved{};
    const bool canSilence = ::tcgetattr(tty, &saved) == 0;
    std::array<struct sigaction, kPromptSignals.size()> previous{};
    g_promptSignal = 0;
    for (std::size_t i = 0; i < kPromptSignals.size(); ++i) {
        struct sigaction note {};
        note.sa_handler = &NotePromptSignal;
        sigemptyset(&note.sa_mask);
        ::sigaction(kPromptSignals[i], &note, &previous[i]);
        if (previous[i].sa_handler == SIG_IGN)
            ::sigaction(kPromptSignals[i], &previous[i], nullptr);
    }
    if (canSilence) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;  // the user's Enter still moves to the next line
        ::tcsetattr(tty, TCSAFLUSH, &silent);
    }
    static constexpr char kPrompt[] = "Key: ";
    [[maybe_unused]] const ssize_t shown = ::write(tty, kPrompt, sizeof kPrompt - 1);

    std::string line;
    const bool read = ReadLine(tty, line);
    const int error = errno;
    if (canSilence) ::tcsetattr(tty, TCSADRAIN, &saved);  // keeps what is typed ahead
    if (g_promptSignal != 0) {
        [[maybe_unused]] const ssize_t moved = ::write(tty, "\n", 1);  // off the prompt's line
    }
    ::close(tty);
    for (std::size_t i = 0; i < kPromptSignals.size(); ++i) {
        ::sigaction(kPromptSignals[i], &previous[i], nullptr);
    }
    if (g_promptSignal != 0) {
        std::raise(g_promptSignal);  // ends the process as the signal would have
        std::_Exit(128 + g_promptSignal);
    }
    if (!read) return Failed("/dev/tty", error);
    return {Utf8ToUtf16(line), {}};
}

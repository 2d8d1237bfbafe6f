#include "cli/terminal_window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

#include "cli/quote.h"
#include "filestream/text_convert.h"

namespace {

constexpr int kBarWidth = 20;

bool g_errorOutputFailed = false;
std::function<void(std::string_view)> g_errorSink;

void WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            g_errorOutputFailed = true;  // nowhere to report it but the exit status
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Replaces every occurrence of the name in text, where it stands as a word of its own (the
// messages put a path between spaces, or before the final full stop), by how it is shown.
void ReplaceName(std::string& text, const std::string& name, const std::string& shown) {
    if (name.empty() || name == shown) return;
    for (std::size_t at = text.find(name); at != std::string::npos;) {
        const std::size_t end = at + name.size();
        const bool alone = (at == 0 || text[at - 1] == ' ') &&
                           (end == text.size() || text[end] == ' ' || text[end] == '.');
        if (!alone) {
            at = text.find(name, at + 1);
            continue;
        }
        text.replace(at, name.size(), shown);
        at = text.find(name, at + shown.size());
    }
}

std::string Amount(double bytes) {
    static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// Characters, not bytes, of UTF-8 text.
std::size_t Columns(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The end of text that fits in `columns` characters, "..." in front when something was cut.
std::string Tail(std::string_view text, std::size_t columns) {
    if (Columns(text) <= columns) return std::string(text);
    if (columns <= 3) return std::string(columns, '.');
    std::size_t keep = columns - 3;
    std::size_t start = text.size();
    while (start > 0 && keep > 0) {
        --start;
        if ((text[start] & 0xC0) != 0x80) --keep;
    }
    return "..." + std::string(text.substr(start));
}

std::string Rate(double bytesPerSecond) {
    return Amount(bytesPerSecond) + "/s";
}

std::string Duration(double seconds) {
    const long long whole = std::llround(seconds);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

void PrintError(std::string_view text) {
    if (g_errorSink) {
        g_errorSink(text);
        return;
    }
    std::string line = "vyx: ";
    line.append(text);
    line.push_back('\n');
    WriteAll(line);
}

void SetErrorSink(std::function<void(std::string_view)> sink) {
    g_errorSink = std::move(sink);
}

bool ErrorOutputFailed() {
    return g_errorOutputFailed;
}

void TerminalWindow::BeginFile(std::u16string key, std::u16string inputPath,
                               std::u16string outputPath, std::string fileName,
                               std::string outputName, std::optional<std::uint64_t> inputSize,
                               bool lengthUnknown) {
    page_ = PageFields{};
    page_.key = std::move(key);
    page_.inputFile = std::move(inputPath);
    page_.outputFile = std::move(outputPath);
    fileName_ = std::move(fileName);
    outputName_ = std::move(outputName);
    inputSize_ = inputSize;
    lengthUnknown_ = lengthUnknown;
    bytesRead_ = 0;
    shown_.clear();
    finished_ = false;
}

void TerminalWindow::EndFile() {
    ClearProgress();
    page_.key.clear();
    fields_.key.clear();
}

void TerminalWindow::WritePageFields() {
    page_ = fields_;
    if (page_.complete == shown_) return;
    if (shown_.empty()) started_ = std::chrono::steady_clock::now();  // the run's "0 %"
    shown_ = page_.complete;
    if (!options_.progress || finished_) return;
    if (lengthUnknown_) {
        DrawByteCount();
    } else {
        DrawProgress();
    }
}

void TerminalWindow::CountBytes(std::uint64_t bytes) {
    bytesRead_ = bytes;
    if (!options_.progress || !lengthUnknown_ || shown_.empty() || finished_) return;
    if (std::chrono::steady_clock::now() - lastDrawn_ < std::chrono::milliseconds(100)) return;
    DrawByteCount();
}

void TerminalWindow::ShowMessage(std::u16string_view text) {
    PrintMessage(text);
}

void TerminalWindow::ShowCompletion(std::u16string_view /*text*/) {
    finished_ = true;
    ClearProgress();
    // In a batch the line waits until the output is durable under its name.
    if (!options_.deferCompletion) ReportCommitted(fileName_, outputName_);
}

void TerminalWindow::ReportCommitted(const std::string& fileName, const std::string& outputName) {
    if (options_.completion) PrintError(fileName + " -> " + outputName);
}

void TerminalWindow::ReportFailed(std::u16string inputPath, std::u16string outputPath,
                                  std::string fileName, std::string outputName,
                                  std::u16string_view text) {
    page_.inputFile = std::move(inputPath);
    page_.outputFile = std::move(outputPath);
    fileName_ = std::move(fileName);
    outputName_ = std::move(outputName);
    PrintMessage(text);
}

void TerminalWindow::Present(std::u16string_view text, MessageButtons /*buttons*/) {
    PrintMessage(text);
}

void TerminalWindow::PrintMessage(std::u16string_view text) {
    ClearProgress();
    // The stream's messages name the files as they were opened: they are shown quoted, as
    // everywhere else, and nothing in them may break the line.
    std::string message = Utf16ToUtf8(text);
    // The longer path first: it may hold the other.
    std::pair<std::u16string, std::string> names[] = {{page_.inputFile, fileName_},
                                                      {page_.outputFile, outputName_}};
    if (names[0].first.size() < names[1].first.size()) std::swap(names[0], names[1]);
    for (const auto& [path, shown] : names) {
        if (path != u"-") ReplaceName(message, Utf16ToUtf8(path), shown);
    }
    message = WithoutControls(message);
    PrintError(fileName_.empty() ? message : fileName_ + ": " + message);
}

// "NAME  12.3 MB  4.1 MB/s": the bytes of an input that told no length.
void TerminalWindow::DrawByteCount() {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string tail = "  " + Amount(static_cast<double>(bytesRead_));
    if (elapsed > 0.0) tail += "  " + Rate(static_cast<double>(bytesRead_) / elapsed);
    const std::size_t width = static_cast<std::size_t>(TerminalColumns()) - 1;
    if (tail.size() > width) tail.resize(width);
    std::string line(1, '\r');
    line += Tail(fileName_, width - tail.size());
    line += tail;
    line += "\x1b[K";  // clears what a longer line left behind
    WriteAll(line);
    progressDrawn_ = true;
    lastDrawn_ = std::chrono::steady_clock::now();
}

// "NAME [#######-------------]  37 %  12.3 MB/s  0:05 left". On a narrow terminal the time left
// and then the rate give way before the name is cut to less than kShortName characters.
void TerminalWindow::DrawProgress() {
    constexpr std::size_t kShortName = 16;
    const std::string percentText = Utf16ToUtf8(shown_);
    const int percent = std::clamp(std::atoi(percentText.c_str()), 0, 100);
    const int filled = percent * kBarWidth / 100;
    std::string tail = " [" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "] ";
    tail += std::string(percentText.size() < 5 ? 5 - percentText.size() : 0, ' ') + percentText;

    // One column short of the width, so the line never wraps and "\r" finds its start again.
    const std::size_t width = static_cast<std::size_t>(TerminalColumns()) - 1;
    const std::size_t nameWanted = std::min(Columns(fileName_), kShortName);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (inputSize_ && percent > 0 && elapsed > 0.0) {
        const double done = static_cast<double>(*inputSize_) * percent / 100.0;
        for (const std::string& extra :
             {"  " + Rate(done / elapsed),
              "  " + Duration(elapsed * (100 - percent) / percent) + " left"}) {
            if (nameWanted + tail.size() + extra.size() > width) break;
            tail += extra;
        }
    }
    if (tail.size() > width) tail.resize(width);  // plain ASCII
    std::string line(1, '\r');
    line += Tail(fileName_, width - tail.size());
    line += tail;
    line += "\x1b[K";  // clears what a longer line left behind
    WriteAll(line);
    progressDrawn_ = true;
}

void TerminalWindow::ClearProgress() {
    if (!progressDrawn_) return;
    WriteAll("\r\x1b[K");
    progressDrawn_ = false;
}

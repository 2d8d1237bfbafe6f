#pragma once
// Runs the built vyx as a separate process, its standard streams on pipes or on a
// pseudo-terminal that becomes its controlling terminal.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct VyxLaunch {
    std::vector<std::string> args{};
    std::filesystem::path folder{};          // the working folder
    std::optional<std::string> keyEnv{};     // VYX_KEY, unset when nothing
    std::string input{};                     // standard input: on a terminal, a pipe when set
    bool terminal = false;                   // the streams on a pseudo-terminal
    std::string typed{};                     // on the terminal: typed once "Key: " shows
    std::optional<int> signalAtProgress{};   // on the terminal: sent while the first progress
                                             // line is being written, then the line goes out
    std::optional<int> signalAtInputRead{};  // on pipes: sent once it waits to read standard
                                             // input, which then ends
    // On pipes: once `workers` worker processes have started, they are held (SIGSTOP), the
    // signal goes to vyx (with toWorker, to its first worker), and they go on once the signal
    // vyx passes on to them has reached them (at once, when vyx is sent SIGKILL).
    std::optional<int> signalWithWorkers{};
    std::size_t workers = 0;
    bool toWorker = false;
};

struct VyxResult {
    int status = -1;              // the exit status; 256 + N when ended by signal N
    std::string out;              // standard output (pipes only)
    std::string err;              // standard error, or everything the terminal showed
    std::size_t workersHeld = 0;  // with signalWithWorkers: the workers held
    std::size_t workersLeft = 0;  // those that still ran once vyx had ended
};

VyxResult RunVyx(const VyxLaunch& launch);

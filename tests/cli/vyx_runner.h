#pragma once
// Runs the built vyx as a separate process, its standard streams on pipes or on a
// pseudo-terminal that becomes its controlling terminal.

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
};

struct VyxResult {
    int status = -1;  // the exit status; 256 + N when ended by signal N
    std::string out;  // standard output (pipes only)
    std::string err;  // standard error, or everything the terminal showed
};

VyxResult RunVyx(const VyxLaunch& launch);

#pragma once
// Where the command line's key comes from. A key is never an argument: other users can read the
// process list.

#include <optional>
#include <string>

struct KeyInput {
    std::optional<std::u16string> key;  // nothing: the key could not be had
    std::string problem;                // why not, for a one-line error
};

// The first line of the file at path ("-": standard input), without its line break.
KeyInput KeyFromFile(const std::string& path);

// The value of the environment variable VYX_KEY, when it is set (even to nothing).
std::optional<std::u16string> KeyFromEnvironment();

// Asks for the key on the controlling terminal with echo off ("Key: "). Nothing when the process
// has no terminal. A termination signal at the prompt restores the terminal and then ends the
// process as the signal would.
KeyInput KeyFromTerminal();

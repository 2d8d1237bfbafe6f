#pragma once
// The two file-to-file operations behind the Encrypt and Decrypt buttons. Each runs from start to
// end on the caller's thread, talks to the user only through the window (and the file stream's own
// messages) and keeps no state between calls, so a run may start another one from inside a pump.

#include <optional>
#include <string>
#include <string_view>

#include "fileops/main_window.h"

// How a run ended.
enum class RunOutcome {
    Completed,  // the output is complete under its name
    Refused,    // the key or the input was refused before the output was opened
    Failed,     // a file could not be opened, read or written; no output remains
    Stopped,    // the window or a signal asked to stop; no output remains
};

// A run's outcome and the last message it showed for it: the completion text, the refusal, or the
// file error. Empty when the run showed none of its own (the stream told why it could not open a
// file, or the window asked to stop before the completion message).
struct RunResult {
    RunOutcome outcome = RunOutcome::Failed;
    std::u16string message;

    friend bool operator==(const RunResult&, const RunResult&) = default;
};

// Encrypts the page's input file into its output file with the page's key: the two marker bytes,
// then every 16-byte block through the block transform. Refuses an empty, malformed or weak key
// before any file is opened.
RunResult EncryptFile(IMainWindow& window);

// Turns an encrypted input file back into plaintext. Refuses an empty or malformed key, and an
// input without the marker before the output is opened.
RunResult DecryptFile(IMainWindow& window);

// The operations' judgement of a key text before any file is opened: the text of its refusal (an
// empty or malformed key, and for encryption a weak one), or nothing when the run would go on.
// The operations ask it first; callers that judge a key once for many runs ask it too.
std::optional<std::u16string> KeyRefusal(std::u16string_view keyText, bool encrypting);

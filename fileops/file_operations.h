#pragma once
// The two file-to-file operations behind the Encrypt and Decrypt buttons. Each runs from start to
// end on the caller's thread, talks to the user only through the window (and the file stream's own
// messages) and keeps no state between calls, so a run may start another one from inside a pump.

#include <optional>
#include <string>
#include <string_view>

#include "fileops/main_window.h"

// Encrypts the page's input file into its output file with the page's key: the two marker bytes,
// then every 16-byte block through the block transform. Refuses an empty, malformed or weak key
// before any file is opened.
void EncryptFile(IMainWindow& window);

// Turns an encrypted input file back into plaintext. Refuses an empty or malformed key, and an
// input without the marker before the output is opened.
void DecryptFile(IMainWindow& window);

// What the operation would show for this key text before opening any file: the text of its
// refusal (an empty or malformed key, and for encryption a weak one), or nothing when it would go
// on. For callers that judge a key once for many runs.
std::optional<std::u16string> KeyRefusal(std::u16string_view keyText, bool encrypting);

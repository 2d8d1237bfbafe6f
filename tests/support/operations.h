#pragma once
// The two file operations as a value, for tests that run both the same way, the inputs and keys
// they take, and the messages of completed runs.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fileops/file_operations.h"
#include "fileops/main_window.h"
#include "support/files.h"
#include "support/headless_window.h"

enum class Op { Encrypt, Decrypt };

RunResult RunOp(Op op, IMainWindow& window);
// Runs op with the window presenting the file stream's messages too, as the program's window does.
RunResult RunPresented(Op op, HeadlessWindow& window);
const char* OpName(Op op);

// n pseudo-random bytes that the operation takes as input: as they are for Encrypt; for Decrypt
// with n >= 2, starting with the encrypted file's marker instead.
Bytes InputFor(Op op, std::size_t n, std::uint32_t seed = 31);

inline const std::u16string kKey = u"7K2Q.M9XA.4ZBC.PL0D";
inline const std::u16string kOtherKey = u"H3N8.2RTW.Q5EV.Y1UJ";
// The same keys as a command line takes them.
inline const std::string kKeyText(kKey.begin(), kKey.end());
inline const std::string kOtherKeyText(kOtherKey.begin(), kOtherKey.end());
inline const std::u16string kEncryptDone =
    u"Encryption complete. Please retain this key for future reference.";
inline const std::u16string kDecryptDone = u"Decryption complete";

#pragma once
// The two file operations as a value, for tests that run both the same way, and inputs they take.

#include <cstddef>
#include <cstdint>

#include "fileops/file_operations.h"
#include "fileops/main_window.h"
#include "support/files.h"

enum class Op { Encrypt, Decrypt };

RunResult RunOp(Op op, IMainWindow& window);
const char* OpName(Op op);

// n pseudo-random bytes that the operation takes as input: as they are for Encrypt; for Decrypt
// with n >= 2, starting with the encrypted file's marker instead.
Bytes InputFor(Op op, std::size_t n, std::uint32_t seed = 31);

#pragma once
// The operating system's random source, with a replaceable reader so that interrupted calls,
// short reads and failures can be exercised.

#include <cstddef>
#include <cstdint>
#include <string>

// Reads up to count random bytes into buffer. Returns how many were read (at least 1 for
// count > 0), or -1 with errno set.
using RandomSourceReader = long (*)(void* buffer, std::size_t count);

// The system reader: getrandom(2) without flags (blocks only until the kernel pool is ready).
long ReadSystemRandom(void* buffer, std::size_t count);

// Fills destination[0..count) from reader, retrying interrupted calls and continuing after short
// reads. Throws std::system_error when the reader fails or delivers nothing.
void FillRandomBytes(std::uint8_t* destination, std::size_t count,
                     RandomSourceReader reader = ReadSystemRandom);

// GenerateKeyText with its bytes from reader.
std::string GenerateKeyText(RandomSourceReader reader);

// plain_loop: the reference the program is measured against. The same cipher in the plainest
// loop one would write: 1 MiB reads, the cipher over the blocks, 1 MiB writes, one thread, the
// output made durable at the end. No stream, no status row, no staging.
//
//   plain_loop encrypt|decrypt KEYTEXT INPUT OUTPUT
//
// Exit status 0 on success, 1 on a failure of the files, 2 for a bad command line or key.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/cipher.h"
#include "fileops/file_format.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kBlock = 16;
constexpr auto& kMarker = EncryptedFileMarker;  // a header alone: no library beyond the cipher

// Fills up to size bytes unless the end comes first; -1 on an error.
ssize_t ReadFull(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int Fail(const char* what) {
    std::perror(what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: plain_loop encrypt|decrypt KEYTEXT INPUT OUTPUT\n", stderr);
        return 2;
    }
    const std::string_view op = argv[1];
    const bool encrypting = op == "encrypt";
    if (!encrypting && op != "decrypt") return 2;
    const std::string keyText = argv[2];
    const KeyParseResult key = ParseKeyText(std::u16string(keyText.begin(), keyText.end()));
    if (key.verdict != KeyVerdict::KeyAccepted) return 2;
    CipherRun run(InitCipherState(key.digits));

    const int in = ::open(argv[3], O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail(argv[3]);
    const int out = ::open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return Fail(argv[4]);

    std::vector<std::uint8_t> from(kChunk);
    std::vector<std::uint8_t> to(kChunk);
    if (encrypting) {
        if (!WriteAll(out, kMarker.data(), kMarker.size())) return Fail("write");
    } else {
        std::uint8_t marker[2] = {0, 0};
        if (ReadFull(in, marker, 2) != 2 || std::memcmp(marker, kMarker.data(), 2) != 0) {
            std::fputs("plain_loop: not an encrypted file\n", stderr);
            return 1;
        }
    }
    for (;;) {
        const ssize_t got = ReadFull(in, from.data(), kChunk);
        if (got < 0) return Fail("read");
        if (got == 0) break;
        const std::size_t blocks = static_cast<std::size_t>(got) / kBlock;
        const int tail = static_cast<int>(static_cast<std::size_t>(got) % kBlock);
        const std::size_t full = blocks * kBlock;
        if (encrypting) {
            run.EncryptBlocks(from.data(), blocks, to.data());
            if (tail > 0) run.EncryptBlock(from.data() + full, tail, to.data() + full);
        } else {
            run.DecryptBlocks(from.data(), blocks, to.data());
            if (tail > 0) {
                std::array<std::uint8_t, kBlock> restoreArea{};
                run.DecryptBlock(from.data() + full, tail, restoreArea);
                std::memcpy(to.data() + full, restoreArea.data(), static_cast<std::size_t>(tail));
            }
        }
        if (!WriteAll(out, to.data(), static_cast<std::size_t>(got))) return Fail("write");
        if (static_cast<std::size_t>(got) < kChunk) break;
    }
    if (::fsync(out) != 0 || ::close(out) != 0) return Fail("close");
    ::close(in);
    return 0;
}

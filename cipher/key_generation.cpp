#include <sys/random.h>

#include <array>
#include <cerrno>
#include <string>
#include <system_error>

#include "cipher/cipher.h"
#include "cipher/random_source.h"

long ReadSystemRandom(void* buffer, std::size_t count) {
    return static_cast<long>(::getrandom(buffer, count, 0));
}

void FillRandomBytes(std::uint8_t* destination, std::size_t count, RandomSourceReader reader) {
    std::size_t filled = 0;
    while (filled < count) {
        errno = 0;
        const long got = reader(destination + filled, count - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno != 0 ? errno : EIO;
            throw std::system_error(error, std::generic_category(), "random source");
        }
        // A source that delivers nothing would never finish the key.
        if (got == 0 || std::size_t(got) > count - filled) {
            throw std::system_error(EIO, std::generic_category(), "random source");
        }
        filled += std::size_t(got);
    }
}

std::uint8_t NextKeyByte() {
    std::uint8_t byte = 0;
    FillRandomBytes(&byte, 1);
    return byte;
}

std::string FormatKeyText(const std::array<std::uint8_t, 8>& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(19);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += kHex[bytes[i] & 0x0F];
        text += kHex[bytes[i] >> 4];
        if (i % 2 == 1 && i + 1 < bytes.size()) text += '.';
    }
    return text;
}

std::string GenerateKeyText(RandomSourceReader reader) {
    // About 4 draws in 20,000 fall under the rule against keys that leave data in the clear.
    for (;;) {
        std::array<std::uint8_t, 8> bytes{};
        FillRandomBytes(bytes.data(), bytes.size(), reader);
        std::string text = FormatKeyText(bytes);
        const KeyParseResult parsed = ParseKeyText(std::u16string(text.begin(), text.end()));
        if (!LeavesDataInClear(InitCipherState(parsed.digits))) return text;
    }
}

std::string GenerateKeyText() {
    return GenerateKeyText(ReadSystemRandom);
}

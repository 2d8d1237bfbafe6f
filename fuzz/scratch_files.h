#pragma once
// Scratch files for the fuzz targets that go through real files: a private folder under TMPDIR
// (scripts/fuzz.sh points it at /dev/shm when it can, so nothing touches a disk), created once
// per process and removed at exit.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

namespace fuzz {

class ScratchFolder {
  public:
    ScratchFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/vyx-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
        path_ = pattern;
    }
    ~ScratchFolder() { ::rmdir(path_.c_str()); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string File(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot write a scratch file");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0, "cannot write a scratch file");
        done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::close(fd) == 0, "cannot write a scratch file");
}

// The whole file, or false when it does not exist.
inline bool ReadFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        FUZZ_CHECK(n >= 0, "cannot read a scratch file");
        if (n == 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

inline std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace fuzz

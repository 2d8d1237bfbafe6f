#pragma once
// What every test suite, the fuzz targets and the harness share: a scratch folder, whole-file
// reading and writing, what a folder holds, and a second view of one.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh folder under TMPDIR (or /tmp), removed with all it holds, even what a test made
// read-only or unreadable.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& Path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }
    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// The whole file; throws when it cannot be read.
Bytes ReadBytes(const fs::path& path);
std::string ReadString(const fs::path& path);
// Replaces the file's content; throws when it cannot be written.
void WriteBytes(const fs::path& path, const Bytes& bytes);
void WriteBytes(const fs::path& path, std::string_view bytes);
// True when anything is at the path, a dangling link included.
bool Exists(const fs::path& path);
// n pseudo-random bytes, the same for the same seed.
Bytes RandomBytes(std::size_t n, std::uint32_t seed = 1);
// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder);
// How many descriptors this process holds, or only those open on something under a path.
int OpenDescriptors(const fs::path& under = {});
// Makes the folder view show source through a FUSE passthrough mount (bindfs), as a second view
// of the same files. Returns why it could not, or "" once mounted; the caller unmounts view.
std::string MountView(const fs::path& source, const fs::path& view);

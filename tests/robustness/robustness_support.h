#pragma once
// Small helpers of the robustness tests: a scratch folder, whole-file reading and writing, and
// the number of descriptors this process holds.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace robustness {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh folder under TMPDIR (or /tmp), removed with all it holds.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

Bytes ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const Bytes& bytes);
// n bytes that differ from block to block.
Bytes Pattern(std::size_t n, std::uint32_t seed = 1);
int OpenDescriptors();
// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder);

}  // namespace robustness

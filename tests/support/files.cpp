#include "support/files.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include "support/child.h"

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/vyx-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

std::string ReadString(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes ReadBytes(const fs::path& path) {
    const std::string content = ReadString(path);
    return Bytes(content.begin(), content.end());
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    WriteBytes(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool Exists(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

int OpenDescriptors(const fs::path& under) {
    int count = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator("/proc/self/fd", ignored); it != fs::directory_iterator();
         it.increment(ignored)) {
        count += fs::read_symlink(it->path(), ignored).native().starts_with(under.native());
    }
    return count;
}

std::string MountView(const fs::path& source, const fs::path& view) {
    if (::geteuid() != 0) return "a FUSE mount needs root here";
    fs::create_directories(source);
    fs::create_directories(view);
    const int status = RunCommand({"bindfs", source.string(), view.string()}).status;
    if (status == 127) return "bindfs is not installed";
    return status == 0 ? "" : "bindfs could not mount here (no /dev/fuse?)";
}

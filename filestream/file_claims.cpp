#include "filestream/file_claims.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace {

struct Claim {
    unsigned long id;
    SeenFile file;  // the file, or the folder of a name
    ClaimRole role;
};

// Claims on files by inode, claims on names by name: a batch holds one of each for every output
// that waits for its commit, and each new claim is checked against only those it could meet.
std::mutex g_mutex;
std::unordered_multimap<ino_t, Claim> g_files;
std::unordered_multimap<std::string, Claim> g_names;
unsigned long g_nextId = 1;
// While a batch runs, each file system's type is asked once: a device number names one mounted
// file system for as long as it stays mounted.
int g_typesKept = 0;
std::unordered_map<dev_t, bool> g_fuseByDevice;

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

template <typename Map>
void Erase(Map& claims, const typename Map::key_type& key, unsigned long id) {
    const auto [from, to] = claims.equal_range(key);
    for (auto it = from; it != to; ++it) {
        if (it->second.id == id) {
            claims.erase(it);
            return;
        }
    }
}

}  // namespace

SeenFile SeeFile(const struct stat& st, int fd) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto known = g_fuseByDevice.find(st.st_dev);
        if (known != g_fuseByDevice.end()) return {st, known->second};
    }
    struct statfs fs {};
    // Unknown counts as FUSE: the cautious side, which refuses rather than writes.
    if (fd < 0 || ::fstatfs(fd, &fs) != 0) return {st, true};
    const bool fuse = fs.f_type == FUSE_SUPER_MAGIC;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_typesKept > 0) g_fuseByDevice.emplace(st.st_dev, fuse);
    return {st, fuse};
}

FileSystemTypesKept::FileSystemTypesKept() {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_typesKept;
}

FileSystemTypesKept::~FileSystemTypesKept() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_typesKept == 0) g_fuseByDevice.clear();
}

bool SameFile(const SeenFile& seenA, const SeenFile& seenB) {
    const struct stat& a = seenA.st;
    const struct stat& b = seenB.st;
    if (a.st_ino != b.st_ino) return false;
    if (a.st_dev == b.st_dev) return true;
    return (seenA.throughFuse || seenB.throughFuse) && a.st_size == b.st_size &&
           SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

bool FileClaim::ClaimFile(const struct stat& st, ClaimRole role, int fd) {
    Release();
    const SeenFile file = SeeFile(st, fd);
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto [from, to] = g_files.equal_range(st.st_ino);
    for (auto it = from; it != to; ++it) {
        const Claim& held = it->second;
        if (!SameFile(held.file, file)) continue;
        if (role == ClaimRole::Writer || held.role == ClaimRole::Writer) return false;
    }
    id_ = g_nextId++;
    ino_ = st.st_ino;
    g_files.emplace(st.st_ino, Claim{id_, file, role});
    return true;
}

bool FileClaim::ClaimName(const struct stat& folder, const std::string& name, int folderFd) {
    Release();
    const SeenFile seen = SeeFile(folder, folderFd);
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto [from, to] = g_names.equal_range(name);
    for (auto it = from; it != to; ++it) {
        if (SameFile(it->second.file, seen)) return false;
    }
    id_ = g_nextId++;
    name_ = name;
    isName_ = true;
    g_names.emplace(name, Claim{id_, seen, ClaimRole::Writer});
    return true;
}

void FileClaim::Release() noexcept {
    if (id_ == 0) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (isName_) {
        Erase(g_names, name_, id_);
        name_.clear();
        isName_ = false;
    } else {
        Erase(g_files, ino_, id_);
    }
    id_ = 0;
}

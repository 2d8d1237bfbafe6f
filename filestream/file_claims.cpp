#include "filestream/file_claims.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Claim {
    unsigned long id;
    SeenFile file;     // the file, or the folder of a name
    std::string name;  // empty for a file claim
    ClaimRole role;
};

std::mutex g_mutex;
std::vector<Claim> g_claims;
unsigned long g_nextId = 1;

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

unsigned long Add(Claim claim) {
    claim.id = g_nextId++;
    g_claims.push_back(std::move(claim));
    return g_claims.back().id;
}

}  // namespace

SeenFile SeeFile(const struct stat& st, int fd) {
    struct statfs fs {};
    // Unknown counts as FUSE: the cautious side, which refuses rather than writes.
    const bool fuse = fd < 0 || ::fstatfs(fd, &fs) != 0 || fs.f_type == FUSE_SUPER_MAGIC;
    return {st, fuse};
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
    for (const Claim& held : g_claims) {
        if (!held.name.empty() || !SameFile(held.file, file)) continue;
        if (role == ClaimRole::Writer || held.role == ClaimRole::Writer) return false;
    }
    id_ = Add({0, file, {}, role});
    return true;
}

bool FileClaim::ClaimName(const struct stat& folder, const std::string& name, int folderFd) {
    Release();
    const SeenFile seen = SeeFile(folder, folderFd);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Claim& held : g_claims) {
        if (held.name == name && SameFile(held.file, seen)) return false;
    }
    id_ = Add({0, seen, name, ClaimRole::Writer});
    return true;
}

void FileClaim::Release() noexcept {
    if (id_ == 0) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    std::erase_if(g_claims, [this](const Claim& c) { return c.id == id_; });
    id_ = 0;
}

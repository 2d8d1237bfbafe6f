#include "filestream/file_claims.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Claim {
    unsigned long id;
    struct stat file;  // the file, or the folder of a name
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

bool SameFile(const struct stat& a, const struct stat& b) {
    if (a.st_ino != b.st_ino) return false;
    if (a.st_dev == b.st_dev) return true;
    return a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim) &&
           SameTime(a.st_ctim, b.st_ctim);
}

FileClaim& FileClaim::operator=(FileClaim&& other) noexcept {
    if (this != &other) {
        Release();
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

bool FileClaim::ClaimFile(const struct stat& st, ClaimRole role) {
    Release();
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Claim& held : g_claims) {
        if (!held.name.empty() || !SameFile(held.file, st)) continue;
        if (role == ClaimRole::Writer || held.role == ClaimRole::Writer) return false;
    }
    id_ = Add({0, st, {}, role});
    return true;
}

bool FileClaim::ClaimName(const struct stat& folder, const std::string& name) {
    Release();
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Claim& held : g_claims) {
        if (held.name == name && SameFile(held.file, folder)) return false;
    }
    id_ = Add({0, folder, name, ClaimRole::Writer});
    return true;
}

void FileClaim::Release() noexcept {
    if (id_ == 0) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    std::erase_if(g_claims, [this](const Claim& c) { return c.id == id_; });
    id_ = 0;
}

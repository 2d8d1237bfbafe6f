#include "filestream/posix_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int CloseFd(int& fd) noexcept {
    if (fd < 0) return 0;
    const int result = ::close(fd);
    fd = -1;
    return result;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool ParentFolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(FolderOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

LockResult LockWholeFile(int fd, bool exclusive) noexcept {
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however far the file grows
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return LockResult::Held;
    const int error = errno;
    if (error == EAGAIN || error == EACCES) return LockResult::InUse;
    if (error == ENOLCK || error == EINVAL || error == EOPNOTSUPP) return LockResult::Unsupported;
    return LockResult::Failed;
}

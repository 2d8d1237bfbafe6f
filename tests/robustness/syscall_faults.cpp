#include "syscall_faults.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>

namespace {

std::atomic<int> g_fd{-1};
std::atomic<int> g_kind{0};
std::atomic<int> g_target{0};
std::atomic<int> g_writes{0};
std::atomic<int> g_fired{0};
std::atomic<bool> g_full{false};
std::atomic<int> g_lockError{0};
std::atomic<bool> g_refuseDirectLinks{false};
std::atomic<int> g_directLinksRefused{0};

bool Armed(int fd) {
    return fd >= 0 && g_fd.load() == fd;
}

syscall_faults::Kind ArmedKind() {
    return static_cast<syscall_faults::Kind>(g_kind.load());
}

ssize_t RealWrite(int fd, const void* buffer, std::size_t count) {
    return ::syscall(SYS_write, fd, buffer, count);
}

// A call the fault strikes: it fails with an I/O error.
int Strike() {
    ++g_fired;
    errno = EIO;
    return -1;
}

bool IsFolder(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int Fcntl(int fd, int command, void* argument) {
    const bool lock = command == F_SETLK || command == F_SETLKW || command == F_GETLK ||
                      command == F_OFD_SETLK || command == F_OFD_SETLKW || command == F_OFD_GETLK;
    if (lock && g_lockError.load() != 0) {
        errno = g_lockError.load();
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
}

}  // namespace

namespace syscall_faults {

void Arm(int fd, Kind kind, int n) {
    g_kind = static_cast<int>(kind);
    g_target = n;
    g_writes = 0;
    g_fired = 0;
    g_full = false;
    g_fd = fd;
}

void FailLocks(int error) {
    g_lockError = error;
}

int RefuseDirectLinks(bool refuse) {
    g_refuseDirectLinks = refuse;
    return g_directLinksRefused.exchange(0);
}

void Disarm() {
    g_fd = -1;
}

void Reset() {
    g_fd = -1;
    g_fired = 0;
}

int Fired() {
    return g_fired.load();
}

}  // namespace syscall_faults

namespace {

// A write, or the same at an offset, as the armed fault would let it go through.
template <typename Real>
ssize_t FaultyWrite(int fd, std::size_t count, Real real) {
    using syscall_faults::Kind;
    const Kind kind = ArmedKind();
    if (!Armed(fd) || (kind != Kind::ShortWriteThenFull && kind != Kind::ShortWriteOnly)) {
        return real(count);
    }
    if (g_full.load()) {
        errno = ENOSPC;
        return -1;
    }
    if (++g_writes == g_target.load() && count > 1) {
        ++g_fired;
        if (kind == Kind::ShortWriteThenFull) g_full = true;
        return real(count / 2);
    }
    return real(count);
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, std::size_t count) {
    return FaultyWrite(fd, count, [&](std::size_t n) { return RealWrite(fd, buffer, n); });
}

extern "C" ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
    return FaultyWrite(fd, count, [&](std::size_t n) {
        return static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, buffer, n, offset));
    });
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, std::size_t count, off_t offset)
    __attribute__((alias("pwrite")));

extern "C" int fsync(int fd) {
    const bool folderFails =
        g_fd.load() >= 0 && ArmedKind() == syscall_faults::Kind::FolderSyncFails && IsFolder(fd);
    if (folderFails || (Armed(fd) && ArmedKind() == syscall_faults::Kind::FsyncFails)) {
        return Strike();
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    if (g_fd.load() >= 0 && ArmedKind() == syscall_faults::Kind::NamingFails) return Strike();
    if (g_refuseDirectLinks.load() && (flags & AT_EMPTY_PATH) != 0) {
        ++g_directLinksRefused;
        errno = ENOENT;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_linkat, fromFolder, from, toFolder, to, flags));
}

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    if (g_fd.load() >= 0 && ArmedKind() == syscall_faults::Kind::NamingFails) return Strike();
    return static_cast<int>(::syscall(SYS_renameat, fromFolder, from, toFolder, to));
}

extern "C" int close(int fd) {
    if (Armed(fd) && ArmedKind() != syscall_faults::Kind::NamingFails &&
        ArmedKind() != syscall_faults::Kind::FolderSyncFails) {
        const bool fail = ArmedKind() == syscall_faults::Kind::CloseFails;
        syscall_faults::Disarm();
        const int rc = static_cast<int>(::syscall(SYS_close, fd));
        return fail && rc == 0 ? Strike() : rc;
    }
    return static_cast<int>(::syscall(SYS_close, fd));
}

// The argument is an int or a pointer; both travel in one register, as the C library reads it.
extern "C" int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return Fcntl(fd, command, argument);
}

// The same call under its large-file name.
extern "C" int fcntl64(int fd, int command, ...) __attribute__((alias("fcntl")));

#pragma once
// Small POSIX steps that the platform file, the staged output and the error causes share.

#include <string>

// Closes fd once when it is open and marks it closed. close() frees the descriptor even when it
// reports an error (EINTR included), so it is never retried. 0, or -1 with errno set.
int CloseFd(int& fd) noexcept;

// The folder that holds path: "." for a bare name, "/" for a name at the root.
std::string FolderOf(const std::string& path);
// Whether the folder that would hold path exists.
bool ParentFolderExists(const std::string& path);

enum class LockResult {
    Held,         // the whole file is locked through this descriptor
    InUse,        // another open file description holds a conflicting lock
    Unsupported,  // the file system keeps no locks (ENOLCK, EINVAL, EOPNOTSUPP)
    Failed,       // any other error, in errno
};

// Takes an open-file-description lock on the whole file: shared, or exclusive when `exclusive`.
// It lasts until the last descriptor of that open file is closed, whichever thread holds it.
LockResult LockWholeFile(int fd, bool exclusive) noexcept;

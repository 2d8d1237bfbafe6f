#pragma once
// Which files the streams of this process hold, so that two of them never write one file, nor
// write a file that another one reads, whatever spelling of the path each was given. Locks say the
// same between processes where the file system keeps them; these claims hold within the process
// even where it does not.
//
// A file is known by what stat reports of it. Two reports name the same file when device and inode
// agree, and also when only the device differs but inode, size and both change times agree to the
// nanosecond, and one of the two was seen through a FUSE file system: that is one file seen
// through a passthrough view (bindfs), which has a device of its own but passes the rest through.
// Two files of local file systems are never taken for one that way: each of two fresh tmpfs
// mounts numbers its inodes alike.

#include <sys/stat.h>

#include <string>

enum class ClaimRole {
    Reader,  // shares with other readers
    Writer,  // shares with nothing
};

class FileClaim {
  public:
    FileClaim() = default;
    ~FileClaim() { Release(); }
    FileClaim(const FileClaim&) = delete;
    FileClaim& operator=(const FileClaim&) = delete;

    // Claims the file that st describes; false when a conflicting claim is held. fd: a
    // descriptor on the file's file system (the file's own, or its folder's, even an O_PATH one).
    [[nodiscard]] bool ClaimFile(const struct stat& st, ClaimRole role, int fd);
    // Claims the name `name` in the folder that folder (and folderFd) describes, for a file about
    // to be made there; false when another stream holds that name.
    [[nodiscard]] bool ClaimName(const struct stat& folder, const std::string& name, int folderFd);
    void Release() noexcept;

  private:
    unsigned long id_ = 0;
    bool isName_ = false;
    ino_t ino_ = 0;     // a file claim's key
    std::string name_;  // a name claim's key
};

// A file as a claim knows it: what stat reports, and whether it was seen through FUSE.
struct SeenFile {
    struct stat st;
    bool throughFuse;
};

// How the file that st describes, reached by fd (as for ClaimFile), is seen.
SeenFile SeeFile(const struct stat& st, int fd);

// While one of these lives (a batch's commit group holds one), SeeFile asks each file system's
// type once instead of once per file.
class FileSystemTypesKept {
  public:
    FileSystemTypesKept();
    ~FileSystemTypesKept();
    FileSystemTypesKept(const FileSystemTypesKept&) = delete;
    FileSystemTypesKept& operator=(const FileSystemTypesKept&) = delete;
};
// Whether the two name the same file (see above).
bool SameFile(const SeenFile& a, const SeenFile& b);

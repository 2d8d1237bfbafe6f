#pragma once
// An output file that costs the user nothing until it is complete. The bytes go to a new file in
// the output's own folder: an unnamed one where the file system offers it (O_TMPFILE), else a
// hidden sibling with a unique name (".NAME.vyx-" and 16 hex digits). Only Commit gives them the
// output's name, in one rename, once they and then the folder are durable; Discard, a failure or a
// crash leaves the output path exactly as it was. The file that the path named before is never
// opened for writing.
//
// Removed is only what this object staged, and what a killed run staged for the same output: a
// hidden sibling of the exact name pattern, of this user, with one link, on which no lock is held.
// A staged file is write-locked from the moment it has a name (a hidden sibling from the moment it
// is made) until it is committed or dropped, so a file that a live run stages is never taken for
// a leftover.
//
// The path is followed through symbolic links, so a link stays a link and its target is replaced
// (a dangling link gets its target made). The links are read here, so the kernel's rule for
// shared folders (fs.protected_symlinks) is kept here too, whatever the setting: in a sticky
// folder that everyone may write, only a link of the follower or of the folder's owner is
// followed; any other is refused with cause 5.
//
// An existing target must be a regular file. The new file takes over its permission bits, its
// owner and group (else its group alone) where the process may set them, its ACL, and its
// extended attributes where the process may set them. The group's bits go to no group but the
// target's; set-id bits and file capabilities only where the owner stays. A new file gets the
// permission bits it is given, limited by the umask, or by the folder's default ACL where there is
// one, as any file created there.

#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "filestream/file_claims.h"

// A folder's descriptor that the staged outputs of one folder share; closed with the last of them.
struct SharedFolder {
    SharedFolder(int descriptor, const struct stat& folder) : fd(descriptor), seen(folder) {}
    ~SharedFolder();
    SharedFolder(const SharedFolder&) = delete;
    SharedFolder& operator=(const SharedFolder&) = delete;
    int fd;
    struct stat seen;  // the folder as it was opened
};

// What a batch's outputs learn once for all the outputs of a folder.
struct BatchFolders {
    using Identity = std::pair<dev_t, ino_t>;
    // The names in each folder that may be what a killed run left staged (".NAME.vyx-" and
    // sixteen hex digits).
    std::map<Identity, std::vector<std::string>> hiddenNames;
    // The descriptor that the outputs of each folder share, while one of them holds it: by the
    // folder, and by the path that it was opened through.
    std::map<Identity, std::weak_ptr<SharedFolder>> shared;
    std::unordered_map<std::string, std::weak_ptr<SharedFolder>> opened;

    // The shared descriptors still open.
    std::size_t OpenDescriptors() const;
    // Forgets the shared descriptors whose last output has let them go.
    void ForgetClosed();
};

class StagedOutput {
  public:
    StagedOutput() = default;
    ~StagedOutput() { Discard(); }
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // Stages a new file for osPath. newFileMode: the permission bits of a file that does not
    // exist yet. Throws CFileException(cause, userPath): 5 for a target that is not a regular
    // file, 11 when another stream of this process or another process uses the target, and the
    // platform's cause otherwise. batch: where a batch keeps what it learnt of each folder, so
    // that a folder is listed and opened once for its outputs; null to do both each time.
    void Begin(const std::string& osPath, const std::u16string& userPath, mode_t newFileMode,
               BatchFolders* batch = nullptr);
    // The staged file's descriptor, open for reading and writing; -1 when nothing is staged.
    int Descriptor() const { return fd_; }
    // Makes the staged bytes durable and gives them the output's name; closes. Throws
    // CFileException, after discarding, when any step fails.
    void Commit();
    // The steps of Commit, for a group that takes many outputs through each step together. Each
    // throws CFileException, after discarding, when it fails.
    void MakeDurable();    // the staged bytes reach the disk
    void Publish();        // the output's name is given to them; the file is closed
    int FolderFd() const;  // the folder to sync, -1 when it cannot or need not be synced
    void Finish() noexcept { Release(); }  // once the folder is durable
    // Drops the staged file; the output path keeps what it had. Never throws.
    void Discard() noexcept;

    // Throws the error of a failed folder sync for this output, after releasing it.
    [[noreturn]] void FailFolder(int error);

    // For a group that holds many outputs: the output's folder as Begin saw it, and the device of
    // its staged file.
    const struct stat& Folder() const { return folderSeen_; }
    dev_t Device() const { return staged_.st_dev; }
    // The descriptors the output holds of its own (a shared folder's is not counted).
    int Descriptors() const;
    // Shares the folder's descriptor with the batch's other outputs of the folder: gives up its
    // own for the one the batch holds, or, with none, hands its own over to be shared. Returns
    // whether that made a new shared descriptor. A folder opened only as a path is not shared.
    bool ShareFolder(BatchFolders& batch) noexcept;

  private:
    friend class CommitGroup;
    // How the staged file was made.
    enum class Kind { None, Unnamed, HiddenSibling };

    [[noreturn]] void Fail(int cause, int error);
    void ResolveTarget(const std::string& osPath);
    std::string FollowLink(const std::string& path);
    void HoldExistingTarget();
    void OpenFolder(const std::string& osPath);
    void RemoveLeftovers() noexcept;
    void CreateStagedFile(mode_t mode);
    bool LockStagedFile();
    void MatchExistingTarget();
    acl_t ReadAcl() const;  // the target's access ACL, nullptr where none can be read
    void RemoveIfStaged(const std::string& name) noexcept;
    void Release() noexcept;

    std::u16string userPath_;
    std::string folder_;  // the target's folder
    std::string name_;    // the target's name in it
    bool targetExists_ = false;
    struct stat target_ {};
    int holdFd_ = -1;  // the existing target, read only: locked so other processes see it in use
    int folderFd_ = -1;
    bool folderReadable_ = false;  // opened for reading, not only as a path: it can be synced
    struct stat folderSeen_ {};
    std::shared_ptr<SharedFolder> sharedFolder_;  // where folderFd_ comes from, when shared
    BatchFolders* batch_ = nullptr;               // the batch that Begin was given, if any
    int fd_ = -1;
    Kind kind_ = Kind::None;
    std::string stagedName_;  // the hidden sibling's name
    struct stat staged_ {};   // the staged file, as made
    FileClaim targetClaim_;
    FileClaim nameClaim_;
};

#pragma once
// Faults below the platform file: this test executable defines its own write(), fsync(), close(),
// linkat(), renameat() and fcntl(), which pass every call straight to the kernel except on the one
// descriptor a test has armed. That descriptor can take only part of a write (and then report a
// full disk, or carry on normally), fail its fsync, fail its close (after really closing it, as
// the kernel does), fail to take its name, or have its folder's fsync fail. Record locks can be
// made to fail everywhere, as on a file system without lock support.

namespace syscall_faults {

enum class Kind {
    ShortWriteThenFull,  // the n-th write takes half its bytes; every later write: ENOSPC
    ShortWriteOnly,      // the n-th write takes half its bytes; later writes are normal
    FsyncFails,          // fsync: EIO
    CloseFails,          // close: the descriptor is released, the call reports EIO
    NamingFails,         // every linkat and renameat while armed: EIO (closing does not disarm)
    FolderSyncFails,     // fsync of any folder while armed: EIO (closing does not disarm)
};

// Arms fd; the count n applies to the write kinds (1-based). Closing fd disarms it.
void Arm(int fd, Kind kind, int n = 1);
void Disarm();
// Every record-lock request (set or test) fails with `error` from now on; 0 lets them through.
void FailLocks(int error);
// Every linkat of a descriptor itself (AT_EMPTY_PATH) is refused with ENOENT from now on, as by a
// kernel that lets only a privileged process make such links; returns how many were refused.
int RefuseDirectLinks(bool refuse);
// Disarms and forgets how many faults fired.
void Reset();
// How many armed faults actually fired since the last Arm.
int Fired();

}  // namespace syscall_faults

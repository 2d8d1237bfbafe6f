#pragma once
// The platform file error: a cause number 0..14 and the path as it was given to Open.

#include <exception>
#include <string>
#include <string_view>

class CFileException : public std::exception {
  public:
    enum Cause : int {
        None = 0,
        Generic = 1,
        FileNotFound = 2,
        BadPath = 3,
        TooManyOpenFiles = 4,
        AccessDenied = 5,
        InvalidFile = 6,
        RemoveCurrentDir = 7,
        DirectoryFull = 8,
        BadSeek = 9,
        HardIO = 10,
        SharingViolation = 11,
        LockViolation = 12,
        DiskFull = 13,
        EndOfFile = 14,
    };

    CFileException(int cause, std::u16string path, int osError = 0);

    int cause;
    std::u16string path;  // empty: the error names no file
    int osError;          // the errno behind the cause, 0 when there was none

    // The cause text with %1 replaced, e.g. u"Disk full while accessing /x."
    std::u16string Message() const;
    // The same in UTF-8.
    const char* what() const noexcept override;

  private:
    std::string utf8Message_;
};

// The text of a cause with %1 replaced by path, or by "an unnamed file" when path is empty.
// A cause outside 0..14 reads as cause 1. Lone surrogates of the path (bytes of a name that are
// not UTF-8) show as U+FFFD.
std::u16string FileErrorText(int cause, std::u16string_view path);

// The cause for an errno that refused an open of osPath (which tells a missing file from a
// missing folder).
int OpenErrorCause(int error, const std::string& osPath);
// The cause for an errno that refused a read, write, sync or close.
int TransferErrorCause(int error);
// Whether a sync's errno means the file system has nothing to sync there.
bool NothingToSync(int error);

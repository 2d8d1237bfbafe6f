#include "filestream/file_error.h"

#include <array>
#include <cerrno>
#include <utility>

#include "filestream/posix_util.h"
#include "filestream/text_convert.h"

namespace {

constexpr std::array<std::u16string_view, 15> kCauseTexts = {
    u"No error occurred.",
    u"An unknown error occurred while accessing %1.",
    u"%1 was not found.",
    u"%1 contains an invalid path.",
    u"%1 could not be opened because there are too many open files.",
    u"Access to %1 was denied.",
    u"An invalid file handle was associated with %1.",
    u"%1 could not be removed because it is the current directory.",
    u"%1 could not be created because the directory is full.",
    u"Seek failed on %1",
    u"A hardware I/O error was reported while accessing %1.",
    u"A sharing violation occurred while accessing %1.",
    u"A locking violation occurred while accessing %1.",
    u"Disk full while accessing %1.",
    u"An attempt was made to access %1 past its end.",
};
}  // namespace

std::u16string FileErrorText(int cause, std::u16string_view path) {
    if (cause < 0 || cause >= static_cast<int>(kCauseTexts.size())) cause = 1;
    const std::u16string_view text = kCauseTexts[static_cast<std::size_t>(cause)];
    // A path may carry bytes that are not text; they show as the replacement character.
    const std::u16string name = path.empty() ? u"an unnamed file" : ShownText(path);
    std::u16string out;
    const std::size_t at = text.find(u"%1");
    if (at == std::u16string_view::npos) return std::u16string(text);
    out.append(text.substr(0, at));
    out.append(name);
    out.append(text.substr(at + 2));
    return out;
}

CFileException::CFileException(int cause_, std::u16string path_, int osError_)
    : cause(cause_),
      path(std::move(path_)),
      osError(osError_),
      utf8Message_(Utf16ToUtf8(FileErrorText(cause, path))) {}

std::u16string CFileException::Message() const {
    return FileErrorText(cause, path);
}

const char* CFileException::what() const noexcept {
    return utf8Message_.c_str();
}

int OpenErrorCause(int error, const std::string& osPath) {
    switch (error) {
        case ENOENT:
            return ParentFolderExists(osPath) ? CFileException::FileNotFound
                                              : CFileException::BadPath;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return CFileException::BadPath;
        case EMFILE:
        case ENFILE:
            return CFileException::TooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ENXIO:  // a socket, or a device that is not there
        case ENODEV:
            return CFileException::AccessDenied;
        case ETXTBSY:
            return CFileException::SharingViolation;
        case ENOSPC:
        case EDQUOT:
            return CFileException::DiskFull;
        case EIO:
            return CFileException::HardIO;
        default:
            return CFileException::Generic;
    }
}

int TransferErrorCause(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return CFileException::DiskFull;
        case EIO:
            return CFileException::HardIO;
        case EBADF:
            return CFileException::InvalidFile;
        case EISDIR:
        case EACCES:
        case EPERM:
        case EROFS:
            return CFileException::AccessDenied;
        default:
            return CFileException::Generic;
    }
}

bool NothingToSync(int error) {
    return error == EINVAL || error == EROFS || error == ENOSYS || error == EOPNOTSUPP;
}

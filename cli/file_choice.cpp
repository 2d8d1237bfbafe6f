#include "cli/file_choice.h"

#include <utility>

#include "filestream/pipelined_file.h"
#include "filestream/posix_file.h"

namespace {

// The usual file on disk, as the stream gets it without a factory.
std::unique_ptr<IPlatformFile> DiskFile() {
    return std::make_unique<PipelinedFile>(std::make_unique<PosixFile>());
}

}  // namespace

ChosenFile::ChosenFile(StdioFile::ReadObserver observer)
    : observer_(std::move(observer)), file_(DiskFile()) {}

void ChosenFile::Open(std::u16string_view path, FileAccess access) {
    const bool standard = path == u"-";
    if (standard != standard_) {
        file_->Abort();
        if (standard) {
            // Written behind the caller as a file on disk is: a pipe's reader works meanwhile.
            file_ = std::make_unique<PipelinedFile>(std::make_unique<StdioFile>(observer_));
        } else {
            file_ = DiskFile();
        }
        file_->SetNewFilePermissions(permissions_);
        standard_ = standard;
    }
    file_->Open(path, access);
}

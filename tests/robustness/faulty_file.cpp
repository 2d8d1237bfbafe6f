#include "faulty_file.h"

#include "syscall_faults.h"

void FaultyFile::SetOpen(bool open) {
    if (open == counted_) return;
    counted_ = open;
    plan_->openFiles += open ? 1 : -1;
}

void FaultyFile::Open(std::u16string_view path, FileAccess access) {
    SetOpen(false);
    real_.Open(path, access);
    access_ = access;
    path_.assign(path);
    SetOpen(true);
    if (!IsOutput()) return;
    switch (plan_->fault) {
        case Fault::KernelShortWriteFull:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::ShortWriteThenFull,
                                plan_->call);
            break;
        case Fault::KernelShortWriteOnly:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::ShortWriteOnly,
                                plan_->call);
            break;
        case Fault::KernelFsyncError:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::FsyncFails);
            break;
        case Fault::KernelCloseError:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::CloseFails);
            break;
        case Fault::KernelNamingError:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::NamingFails);
            break;
        case Fault::KernelFolderSyncError:
            syscall_faults::Arm(real_.Descriptor(), syscall_faults::Kind::FolderSyncFails);
            break;
        default:
            break;
    }
}

std::int32_t FaultyFile::Read(void* destination, std::int32_t count) {
    if (!IsOutput() && ++plan_->inputReads == plan_->call && plan_->fault == Fault::ReadError) {
        ++plan_->fired;
        throw CFileException(CFileException::HardIO, path_, 5);
    }
    return real_.Read(destination, count);
}

void FaultyFile::Write(const void* source, std::int32_t count) {
    if (IsOutput() && ++plan_->outputWrites == plan_->call) {
        if (plan_->fault == Fault::WriteError) {
            ++plan_->fired;
            throw CFileException(CFileException::DiskFull, path_, 28);
        }
        if (plan_->fault == Fault::PartialWrite) {
            ++plan_->fired;
            real_.Write(source, count / 2);
            throw CFileException(CFileException::DiskFull, path_, 28);
        }
    }
    real_.Write(source, count);
}

void FaultyFile::Close() {
    if (IsOutput() && plan_->fault == Fault::CloseError) {
        // A close that fails still closes, and a created file is then dropped.
        real_.Abort();
        SetOpen(false);
        ++plan_->fired;
        throw CFileException(CFileException::HardIO, path_, 5);
    }
    try {
        real_.Close();
    } catch (...) {
        SetOpen(real_.IsOpen());
        throw;
    }
    SetOpen(real_.IsOpen());
}

void FaultyFile::Abort() noexcept {
    real_.Abort();
    SetOpen(false);
}

void FaultyFile::AbortAndRemove() noexcept {
    real_.AbortAndRemove();
    SetOpen(false);
}

FaultyFiles::FaultyFiles(const std::shared_ptr<FaultPlan>& plan) {
    syscall_faults::Reset();
    SetPlatformFileFactory([plan] { return std::make_unique<FaultyFile>(plan); });
}

FaultyFiles::~FaultyFiles() {
    SetPlatformFileFactory({});
    syscall_faults::Disarm();
}

#include "support/fake_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "filestream/posix_file.h"

// Files in memory: a created file is staged and takes its path only when closed; an opened one is
// read and written in place. Sharing between open files is not modelled.
class FakeFile::InMemory : public IPlatformFile {
  public:
    explicit InMemory(MemoryDisk& disk) : disk_(disk) {}

    void Open(std::u16string_view path, FileAccess access) override {
        path_.assign(path);
        if (access == FileAccess::CreateReadWrite) {
            staged_.clear();
            data_ = &staged_;
        } else {
            const auto found = disk_.files.find(path);
            if (found == disk_.files.end()) {
                throw CFileException(CFileException::FileNotFound, path_);
            }
            data_ = &found->second;
        }
        access_ = access;
        position_ = 0;
    }
    std::int32_t Read(void* destination, std::int32_t count) override {
        const std::uint64_t size = data_->size();
        const std::uint64_t left = position_ < size ? size - position_ : 0;
        const auto n =
            static_cast<std::int32_t>(std::min<std::uint64_t>(left, std::uint64_t(count)));
        if (n > 0) std::memcpy(destination, data_->data() + position_, std::size_t(n));
        position_ += std::uint64_t(n);
        return n;
    }
    void Write(const void* source, std::int32_t count) override {
        if (access_ == FileAccess::Read) throw CFileException(CFileException::AccessDenied, path_);
        const std::uint64_t end = position_ + std::uint64_t(count);
        if (data_->size() < end) data_->resize(end);
        std::memcpy(data_->data() + position_, source, std::size_t(count));
        position_ = end;
    }
    std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        std::int64_t base = 0;
        if (origin == SeekOrigin::Current) base = static_cast<std::int64_t>(position_);
        if (origin == SeekOrigin::End) base = static_cast<std::int64_t>(data_->size());
        if (base + offset < 0) throw CFileException(CFileException::BadSeek, path_);
        position_ = static_cast<std::uint64_t>(base + offset);
        return position_;
    }
    std::uint64_t GetPosition() const override { return position_; }
    std::uint64_t GetLength() const override { return data_->size(); }
    void Close() override {
        if (data_ == &staged_) disk_.files[path_].swap(staged_);
        data_ = nullptr;
    }
    void Abort() noexcept override { data_ = nullptr; }
    void AbortAndRemove() noexcept override { data_ = nullptr; }
    bool IsOpen() const override { return data_ != nullptr; }

  private:
    MemoryDisk& disk_;
    std::u16string path_;
    FileAccess access_ = FileAccess::Read;
    std::vector<std::uint8_t>* data_ = nullptr;
    std::vector<std::uint8_t> staged_;
    std::uint64_t position_ = 0;
};

FakeFile::FakeFile(std::unique_ptr<IPlatformFile> store, std::shared_ptr<FileLog> log,
                   FaultPlan plan)
    : store_(std::move(store)),
      // The fault counts its calls in a log; without either, nothing is logged (the fuzz targets'
      // speed).
      log_(log || plan.at == FaultAt::None ? std::move(log) : std::make_shared<FileLog>()),
      plan_(std::move(plan)) {}

FakeFile::FakeFile(std::shared_ptr<FileLog> log, FaultPlan plan)
    : FakeFile(std::make_unique<PosixFile>(), std::move(log), std::move(plan)) {
    real_ = static_cast<PosixFile*>(store_.get());
}

FakeFile::FakeFile(MemoryDisk& disk, std::shared_ptr<FileLog> log, FaultPlan plan)
    : FakeFile(std::make_unique<InMemory>(disk), std::move(log), std::move(plan)) {}

FakeFile::~FakeFile() {
    CountOpen(false);
}

void FakeFile::CountOpen(bool open) {
    if (open == counted_ || !log_) return;
    counted_ = open;
    log_->openFiles += open ? 1 : -1;
}

bool FakeFile::Strikes(FaultAt kind) {
    if (!log_ || plan_.at != kind || (plan_.only && *plan_.only != access_)) return false;
    if (++log_->faultCalls != plan_.call) return false;
    ++log_->faultsFired;
    return true;
}

void FakeFile::Open(std::u16string_view path, FileAccess access) {
    if (log_) ++log_->opens;
    CountOpen(false);
    store_->Open(path, access);
    path_.assign(path);
    access_ = access;
    CountOpen(true);
    if (real_ != nullptr && access == FileAccess::CreateReadWrite && plan_.outputOpened) {
        plan_.outputOpened(real_->Descriptor());
    }
}

std::int32_t FakeFile::Read(void* destination, std::int32_t count) {
    if (log_) log_->reads.push_back(count);
    if (Strikes(FaultAt::Read)) throw CFileException(plan_.cause, path_);
    const std::int32_t got = store_->Read(destination, count);
    if (log_) log_->transfers.push_back("r" + std::to_string(count) + "=" + std::to_string(got));
    return got;
}

void FakeFile::Write(const void* source, std::int32_t count) {
    if (log_) {
        log_->writes.push_back(count);
        log_->transfers.push_back("w" + std::to_string(count));
    }
    if (Strikes(FaultAt::Write)) throw CFileException(plan_.cause, path_);
    store_->Write(source, count);
}

std::uint64_t FakeFile::Seek(std::int64_t offset, SeekOrigin origin) {
    if (log_) log_->transfers.push_back("s" + std::to_string(offset));
    return store_->Seek(offset, origin);
}

void FakeFile::Close() {
    if (log_) ++log_->closes;
    if (Strikes(FaultAt::Close)) {
        Abort();  // a failed close still lets the file go, as the real one does
        throw CFileException(plan_.cause, path_);
    }
    try {
        store_->Close();
    } catch (...) {
        CountOpen(store_->IsOpen());
        throw;
    }
    CountOpen(store_->IsOpen());
}

void FakeFile::Abort() noexcept {
    store_->Abort();
    CountOpen(false);
}

void FakeFile::AbortAndRemove() noexcept {
    store_->AbortAndRemove();
    CountOpen(false);
}

FakeFiles::FakeFiles(std::shared_ptr<FileLog> log, FaultPlan plan) {
    SetPlatformFileFactory([log = std::move(log), plan = std::move(plan)] {
        return std::make_unique<FakeFile>(log, plan);
    });
}

FakeFiles::~FakeFiles() {
    SetPlatformFileFactory({});
}

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

FakeFile::FakeFile(std::shared_ptr<FileLog> log, FaultAt fault, int failingCall, int cause)
    : store_(std::make_unique<PosixFile>()),
      log_(std::move(log)),
      fault_(fault),
      failingCall_(failingCall),
      cause_(cause) {}

FakeFile::FakeFile(MemoryDisk& disk, std::shared_ptr<FileLog> log)
    : store_(std::make_unique<InMemory>(disk)),
      log_(std::move(log)),
      fault_(FaultAt::None),
      failingCall_(1),
      cause_(CFileException::None) {}

FakeFile::~FakeFile() = default;

void FakeFile::MaybeFail(FaultAt kind, int& calls) {
    ++calls;
    if (fault_ == kind && calls == failingCall_) throw CFileException(cause_, path_);
}

void FakeFile::Open(std::u16string_view path, FileAccess access) {
    if (log_) ++log_->opens;
    if (fault_ != FaultAt::None) path_.assign(path);  // for the fault's message
    store_->Open(path, access);
}

std::int32_t FakeFile::Read(void* destination, std::int32_t count) {
    if (log_) log_->reads.push_back(count);
    MaybeFail(FaultAt::Read, readCalls_);
    const std::int32_t got = store_->Read(destination, count);
    if (log_) log_->transfers.push_back("r" + std::to_string(count) + "=" + std::to_string(got));
    return got;
}

void FakeFile::Write(const void* source, std::int32_t count) {
    if (log_) {
        log_->writes.push_back(count);
        log_->transfers.push_back("w" + std::to_string(count));
    }
    MaybeFail(FaultAt::Write, writeCalls_);
    store_->Write(source, count);
}

std::uint64_t FakeFile::Seek(std::int64_t offset, SeekOrigin origin) {
    if (log_) {
        ++log_->seeks;
        log_->transfers.push_back("s" + std::to_string(offset));
    }
    return store_->Seek(offset, origin);
}

void FakeFile::Close() {
    if (log_) ++log_->closes;
    try {
        MaybeFail(FaultAt::Close, closeCalls_);
    } catch (...) {
        store_->Abort();  // a failed close still lets the file go, as the real one does
        throw;
    }
    store_->Close();
}

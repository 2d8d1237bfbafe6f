#include "start_file.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <memory>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"
#include "filestream/platform_file.h"

namespace {

class CHeldMessages : public IMessagePresenter {
  public:
    explicit CHeldMessages(StartFile& start) : start_(start), previous_(GetMessagePresenter()) {
        SetMessagePresenter(this);
    }
    ~CHeldMessages() override { SetMessagePresenter(previous_); }
    CHeldMessages(const CHeldMessages&) = delete;
    CHeldMessages& operator=(const CHeldMessages&) = delete;

    void Present(std::u16string_view text, MessageButtons buttons) override {
        start_.messages.emplace_back(std::u16string(text), buttons);
    }

  private:
    StartFile& start_;
    IMessagePresenter* previous_;
};

// The stream opens devices, yet a device is no file to encrypt: it is refused as a folder is.
class CRefusedDevice : public IPlatformFile {
  public:
    void Open(std::u16string_view path, FileAccess) override {
        throw CFileException(CFileException::AccessDenied, std::u16string(path), ENODEV);
    }
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    void Write(const void*, std::int32_t) override {}
    std::uint64_t Seek(std::int64_t, SeekOrigin) override { return 0; }
    std::uint64_t GetPosition() const override { return 0; }
    std::uint64_t GetLength() const override { return 0; }
    void Close() override {}
    void Abort() noexcept override {}
    void AbortAndRemove() noexcept override {}
    bool IsOpen() const override { return false; }
};

bool IsDevice(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 &&
           (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
}

}  // namespace

StartFile ProbeStartFile(const QString& argument) {
    StartFile start;
    start.path = QFileInfo(argument).absoluteFilePath();
    CHeldMessages held(start);
    // Folders, pipes and missing files the stream refuses by itself.
    CFileStream stream(IsDevice(start.path) ? std::make_unique<CRefusedDevice>() : nullptr);
    start.usable = stream.Open(start.path.toStdU16String(), CFileStream::ModeRead) != 0;
    if (start.usable) {
        try {
            stream.Close();
        } catch (const CFileException&) {
            // Nothing was written; the operation that reads the file will open it again.
        }
    }
    return start;
}

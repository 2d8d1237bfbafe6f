#include "start_file.h"

#include <QFileInfo>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"

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

}  // namespace

StartFile ProbeStartFile(const QString& argument) {
    StartFile start;
    start.path = QFileInfo(argument).absoluteFilePath();
    CHeldMessages held(start);
    // Folders, pipes, character devices and missing files the stream refuses by itself.
    CFileStream stream;
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

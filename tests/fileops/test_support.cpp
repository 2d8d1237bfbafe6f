#include "test_support.h"

#include <algorithm>

#include "filestream/file_stream.h"
#include "filestream/notify.h"

Bytes Marked(const Bytes& body) {
    Bytes bytes(EncryptedFileMarker.size() + body.size());
    std::copy(EncryptedFileMarker.begin(), EncryptedFileMarker.end(), bytes.begin());
    std::copy(body.begin(), body.end(), bytes.begin() + EncryptedFileMarker.size());
    return bytes;
}

bool OperationTest::NotHeldOpen(const fs::path& path) {
    struct Silent : IMessagePresenter {
        void Present(std::u16string_view, MessageButtons) override {}
    } silent;
    SetMessagePresenter(&silent);
    CFileStream probe;
    const bool opened = probe.Open(path.u16string(), CFileStream::ModeReadWrite) == 1;
    if (opened) probe.Close();
    SetMessagePresenter(&window);
    return opened;
}

void OperationTest::SetUp() {
    SetMessagePresenter(&window);
}

void OperationTest::TearDown() {
    SetMessagePresenter(nullptr);
}

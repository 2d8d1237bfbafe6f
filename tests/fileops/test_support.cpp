#include "test_support.h"

#include <algorithm>

#include "fileops/file_operations.h"
#include "filestream/file_stream.h"
#include "filestream/notify.h"

std::u16string RandomKey(std::mt19937& rng) {
    static constexpr char16_t kChars[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uniform_int_distribution<int> pick(0, 35);
    std::u16string key;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) key += u'.';
        // A non-zero first character in groups 0 and 2 keeps both halves away from all "0".
        for (int i = 0; i < 4; ++i) {
            key += kChars[(i == 0 && group % 2 == 0) ? 1 + pick(rng) % 35 : pick(rng)];
        }
    }
    return key;
}

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

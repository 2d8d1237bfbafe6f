#include "test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "fileops/file_operations.h"
#include "filestream/file_stream.h"
#include "filestream/notify.h"

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vyx-fileops-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

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

void RunOp(Op op, HeadlessWindow& window) {
    if (op == Op::Encrypt) {
        EncryptFile(window);
    } else {
        DecryptFile(window);
    }
}

const char* OpName(Op op) {
    return op == Op::Encrypt ? "Encrypt" : "Decrypt";
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

void OperationTest::SetPage(std::u16string key, const fs::path& input, const fs::path& output) {
    window.page.key = std::move(key);
    window.page.inputFile = input.u16string();
    window.page.outputFile = output.u16string();
}

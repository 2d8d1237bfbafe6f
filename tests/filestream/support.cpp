#include "support.h"

#include <cstdio>

#include "filestream/text_convert.h"

void StderrPresenter::Present(std::u16string_view text, MessageButtons buttons) {
    const std::string line = std::string(buttons == MessageButtons::Ok ? "[ok] " : "[ok-cancel] ") +
                             Utf16ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::u16string U16(const std::string& utf8) {
    return Utf8ToUtf16(utf8);
}
std::string U8(const std::u16string& utf16) {
    return Utf16ToUtf8(utf16);
}

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return s;
}

void LoggingFile::MaybeFail(FaultAt kind, int& calls) {
    ++calls;
    if (fault_ == kind && calls == failingCall_) throw CFileException(cause_, path_);
}

void LoggingFile::Open(std::u16string_view path, FileAccess access) {
    path_.assign(path);
    real_.Open(path, access);
}

std::int32_t LoggingFile::Read(void* destination, std::int32_t count) {
    log_->reads.push_back(count);
    MaybeFail(FaultAt::Read, readCalls_);
    return real_.Read(destination, count);
}

void LoggingFile::Write(const void* source, std::int32_t count) {
    log_->writes.push_back(count);
    MaybeFail(FaultAt::Write, writeCalls_);
    real_.Write(source, count);
}

std::uint64_t LoggingFile::Seek(std::int64_t offset, SeekOrigin origin) {
    ++log_->seeks;
    return real_.Seek(offset, origin);
}

void LoggingFile::Close() {
    ++log_->closes;
    try {
        MaybeFail(FaultAt::Close, closeCalls_);
    } catch (...) {
        real_.Abort();  // a failed close still lets the file go, as the real one does
        throw;
    }
    real_.Close();
}

#include "filestream/text_buffer.h"

#include <cstring>
#include <new>

#include "filestream/notify.h"

namespace {

std::uint64_t TextLength(const char16_t* text) {
    std::uint64_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

}  // namespace

CTextBuffer::~CTextBuffer() {
    delete[] chars_;
}

const char16_t* CTextBuffer::Text() const {
    static const char16_t kEmpty[1] = {0};
    return length_ == 0 ? kEmpty : chars_;
}

void CTextBuffer::Assign(const char16_t* text) {
    if (text != nullptr && text == chars_) return;
    if (text == nullptr || text[0] == 0) {
        length_ = 0;
        return;
    }
    Store(text, TextLength(text));
}

void CTextBuffer::Store(const char16_t* text, std::uint64_t n) {
    if (n >= capacity_) {
        // Half again the needed length, plus one.
        const std::uint64_t wanted = n + n / 2 + 1;
        if (wanted > kMaxCapacity) NotifyUserAndExit(u"unable to allocate string buffer");
        auto* block = new (std::nothrow) char16_t[wanted];
        if (block == nullptr) NotifyUserAndExit(u"unable to allocate string buffer");
        delete[] chars_;
        chars_ = block;
        capacity_ = static_cast<std::uint32_t>(wanted);
    }
    // The text may lie inside this very block (a suffix of the contents): move, do not copy.
    std::memmove(chars_, text, n * sizeof(char16_t));
    chars_[n] = 0;
    length_ = static_cast<std::int32_t>(n);
}

void CTextBuffer::Append(const char16_t* t0, const char16_t* t1, const char16_t* t2,
                         const char16_t* t3, const char16_t* t4, const char16_t* t5,
                         const char16_t* t6, const char16_t* t7, const char16_t* t8,
                         const char16_t* t9) {
    if (t0 == nullptr) return;
    const char16_t* texts[] = {t0, t1, t2, t3, t4, t5, t6, t7, t8, t9};
    std::uint64_t lengths[10] = {};
    std::uint64_t total = static_cast<std::uint64_t>(length_);
    for (int i = 0; i < 10; ++i) {
        if (texts[i] != nullptr) lengths[i] = TextLength(texts[i]);
        total += lengths[i];
    }
    // Whatever does not fit the largest block ends the process below; do not build it first.
    if (total >= capacity_ && total + total / 2 + 1 > kMaxCapacity) {
        NotifyUserAndExit(u"unable to allocate string buffer");
    }
    auto* work = new (std::nothrow) char16_t[total + 1];
    if (work == nullptr) NotifyUserAndExit(u"unable to allocate string buffer");
    std::uint64_t at = 0;
    if (length_ != 0) {
        std::memcpy(work, chars_, static_cast<std::size_t>(length_) * sizeof(char16_t));
        at = static_cast<std::uint64_t>(length_);
    }
    for (int i = 0; i < 10; ++i) {
        if (texts[i] == nullptr) continue;
        std::memcpy(work + at, texts[i], lengths[i] * sizeof(char16_t));
        at += lengths[i];
    }
    work[at] = 0;
    if (at != 0) {
        Store(work, at);
    } else {
        length_ = 0;
    }
    delete[] work;
}

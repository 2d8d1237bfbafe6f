#pragma once
// CTextBuffer: the library's small growable text. It grows to half again the needed length plus
// one and never holds a block of more than 10,000 characters.

#include <cstdint>

class CTextBuffer {
  public:
    static constexpr std::uint32_t kMaxCapacity = 10000;

    CTextBuffer() = default;
    ~CTextBuffer();
    CTextBuffer(const CTextBuffer&) = delete;
    CTextBuffer& operator=(const CTextBuffer&) = delete;

    // Replaces the contents with a terminated text; null or empty makes them empty.
    void Assign(const char16_t* text);
    // Adds the texts in order; a null first text does nothing, later null ones are skipped.
    void Append(const char16_t* t0, const char16_t* t1 = nullptr, const char16_t* t2 = nullptr,
                const char16_t* t3 = nullptr, const char16_t* t4 = nullptr,
                const char16_t* t5 = nullptr, const char16_t* t6 = nullptr,
                const char16_t* t7 = nullptr, const char16_t* t8 = nullptr,
                const char16_t* t9 = nullptr);
    // The contents, terminated; an empty buffer yields a shared empty text.
    const char16_t* Text() const;
    std::int32_t Length() const { return length_; }
    std::uint32_t Capacity() const { return capacity_; }

  private:
    void Store(const char16_t* text, std::uint64_t n);

    char16_t* chars_ = nullptr;
    std::int32_t length_ = 0;
    std::uint32_t capacity_ = 0;
};

#pragma once
// Shared pieces of the file stream tests: a scratch fixture, a recording presenter, contract ends
// and small text helpers. The platform file that logs every request and fails the one it is told
// to is support/fake_file.h.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "filestream/file_error.h"
#include "filestream/file_stream.h"
#include "filestream/notify.h"
#include "filestream/posix_file.h"
#include "support/fake_file.h"
#include "support/files.h"

// A fresh scratch folder for each test, and a path in it for tests of one file.
class FileTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    const std::string path = dir.File("f");
};

struct Shown {
    std::u16string text;
    MessageButtons buttons;
};

class RecordingPresenter : public IMessagePresenter {
  public:
    RecordingPresenter() { SetMessagePresenter(this); }
    ~RecordingPresenter() override { SetMessagePresenter(nullptr); }
    RecordingPresenter(const RecordingPresenter&) = delete;
    RecordingPresenter& operator=(const RecordingPresenter&) = delete;
    void Present(std::u16string_view text, MessageButtons buttons) override {
        shown.push_back({std::u16string(text), buttons});
    }
    std::vector<Shown> shown;
};

// Opens path in a fresh stream, which must refuse it with one message and stay closed, and returns
// that message's text ("" when the stream did otherwise). Refused opens offer Ok and Cancel.
std::u16string RefusalOf(const std::u16string& path, std::int32_t mode);
// The message of an open refused because another stream holds the file.
std::u16string SharingViolation(const std::string& path);

// Expects body, run in a death-test child whose messages go to standard error as "[ok] text" or
// "[ok-cancel] text", to end the process with status 0 after printing what matches pattern.
void ExpectContractEnd(const std::function<void()>& body, const std::string& pattern);

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);
std::string Pattern(std::size_t n);  // n bytes, byte i = (i * 7 + 3) & 0xFF

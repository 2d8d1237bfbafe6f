#pragma once
// Helpers of the file operation tests: encrypted files made by hand, and a fixture whose headless
// window also records the file stream's own messages.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fileops/file_format.h"
#include "fileops/file_operations.h"
#include "support/files.h"
#include "support/headless_window.h"
#include "support/operations.h"

// Messages or status values, in order.
using Texts = std::vector<std::u16string>;

// The marker followed by body.
Bytes Marked(const Bytes& body = {});

class OperationTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // True when a stream can open the path for writing now, i.e. no run holds it open any more.
    bool NotHeldOpen(const fs::path& path);

    HeadlessWindow window;
    ScratchDir dir;
};

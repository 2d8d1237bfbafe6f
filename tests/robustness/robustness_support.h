#pragma once
// Small helpers of the robustness tests beside the shared ones: the number of descriptors this
// process holds, and the names in a folder.

#include <string>
#include <vector>

#include "support/files.h"

namespace robustness {

int OpenDescriptors();
// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder);

}  // namespace robustness

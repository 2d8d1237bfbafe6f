#pragma once
// Small helpers of the robustness tests beside the shared ones: the number of descriptors this
// process holds, the names in a folder, and a second view of a folder through a FUSE mount.

#include <string>
#include <vector>

#include "support/files.h"

namespace robustness {

int OpenDescriptors();
// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder);
// Makes the folder view show source through a FUSE passthrough mount (bindfs). Returns why it
// could not, or "" once mounted; the caller unmounts view.
std::string MountView(const fs::path& source, const fs::path& view);

}  // namespace robustness

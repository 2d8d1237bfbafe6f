#pragma once
// A helper of the robustness tests beside the shared ones: a second view of a folder through a
// FUSE mount.

#include <string>

#include "support/files.h"

namespace robustness {

// Makes the folder view show source through a FUSE passthrough mount (bindfs). Returns why it
// could not, or "" once mounted; the caller unmounts view.
std::string MountView(const fs::path& source, const fs::path& view);

}  // namespace robustness

#include "robustness_support.h"

#include <unistd.h>

#include "support/child.h"

namespace robustness {

std::string MountView(const fs::path& source, const fs::path& view) {
    if (::geteuid() != 0) return "a FUSE mount needs root here";
    fs::create_directories(source);
    fs::create_directories(view);
    const int status = RunCommand({"bindfs", source.string(), view.string()}).status;
    if (status == 127) return "bindfs is not installed";
    return status == 0 ? "" : "bindfs could not mount here (no /dev/fuse?)";
}

}  // namespace robustness

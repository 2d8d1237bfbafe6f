#include "robustness_support.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "support/child.h"

namespace robustness {

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string MountView(const fs::path& source, const fs::path& view) {
    if (::geteuid() != 0) return "a FUSE mount needs root here";
    fs::create_directories(source);
    fs::create_directories(view);
    const int status = RunCommand({"bindfs", source.string(), view.string()}).status;
    if (status == 127) return "bindfs is not installed";
    return status == 0 ? "" : "bindfs could not mount here (no /dev/fuse?)";
}

int OpenDescriptors() {
    int count = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator("/proc/self/fd", ignored); it != fs::directory_iterator();
         it.increment(ignored)) {
        ++count;
    }
    return count;
}

}  // namespace robustness

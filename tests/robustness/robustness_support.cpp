#include "robustness_support.h"

#include <algorithm>
#include <system_error>

namespace robustness {

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
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

#include "process_clock.h"

#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

double SecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t afterName = text.rfind(')');
    if (afterName == std::string::npos) return -1;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            timespec now{};
            clock_gettime(CLOCK_BOOTTIME, &now);
            const double started = std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
            return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9 - started;
        }
    }
    return -1;
}

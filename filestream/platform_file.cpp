#include "filestream/platform_file.h"

#include <mutex>
#include <utility>

#include "filestream/posix_file.h"

namespace {
std::mutex g_factoryMutex;
PlatformFileFactory g_factory;
}  // namespace

void SetPlatformFileFactory(PlatformFileFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    g_factory = std::move(factory);
}

std::unique_ptr<IPlatformFile> MakePlatformFile() {
    PlatformFileFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        factory = g_factory;
    }
    if (factory) {
        if (auto file = factory()) return file;
    }
    return std::make_unique<PosixFile>();
}

// The platform file factory that platform_file.h declares. It lives apart from the interface
// because it is the one place that knows the real platform files, which implement that interface.

#include "filestream/platform_file.h"

#include <mutex>
#include <utility>

#include "filestream/pipelined_file.h"
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
    // Writes are gathered into large transfers that overlap with the caller's work on a thread
    // of the file's own; an input read piece by piece is read in large transfers.
    return std::make_unique<PipelinedFile>(std::make_unique<PosixFile>());
}

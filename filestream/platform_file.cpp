#include "filestream/platform_file.h"

#include <mutex>
#include <utility>

#include "filestream/pipelined_file.h"
#include "filestream/posix_file.h"
#include "filestream/read_ahead_file.h"

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
    // Reads come in large transfers through a read-ahead of the process's own; writes are
    // gathered into large transfers that overlap with the caller's work on a thread of the
    // file's own. The stream's pieces of ten thousand bytes thus cost a copy each, not system
    // calls.
    return std::make_unique<ReadAheadFile>(
        std::make_unique<PipelinedFile>(std::make_unique<PosixFile>()));
}

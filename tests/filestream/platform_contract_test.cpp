// The platform file contract over the POSIX file, the pipelined file over it, the chain the
// streams get, and the fake file the stream tests use.

#include "platform_contract.h"
#include "filestream/pipelined_file.h"
#include "support.h"

namespace {

struct Posix {
    static std::unique_ptr<IPlatformFile> Make() { return std::make_unique<PosixFile>(); }
};
struct Pipelined {
    static std::unique_ptr<IPlatformFile> Make() {
        return std::make_unique<PipelinedFile>(std::make_unique<PosixFile>());
    }
};
struct Production {
    static std::unique_ptr<IPlatformFile> Make() { return MakePlatformFile(); }
};
struct Fake {
    static std::unique_ptr<IPlatformFile> Make() {
        return std::make_unique<FakeFile>(std::make_shared<FileLog>());
    }
};

struct Names {
    template <typename T>
    static std::string GetName(int) {
        if (std::is_same_v<T, Posix>) return "Posix";
        if (std::is_same_v<T, Pipelined>) return "Pipelined";
        if (std::is_same_v<T, Production>) return "Production";
        return "Fake";
    }
};

using Implementations = ::testing::Types<Posix, Pipelined, Production, Fake>;
INSTANTIATE_TYPED_TEST_SUITE_P(Files, PlatformFileContract, Implementations, Names);

}  // namespace

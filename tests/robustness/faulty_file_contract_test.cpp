// The platform file contract over the fault double, with no fault planned: the faults the
// robustness tests plant are the only way it differs from the real file.

#include "faulty_file.h"
#include "filestream/platform_contract.h"

namespace {

struct Faulty {
    static std::unique_ptr<IPlatformFile> Make() {
        return std::make_unique<FaultyFile>(std::make_shared<FaultPlan>());
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(FaultDouble, PlatformFileContract, ::testing::Types<Faulty>);

}  // namespace

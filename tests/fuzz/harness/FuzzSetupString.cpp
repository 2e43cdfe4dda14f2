// libFuzzer entry: one input is one setup string.
#include <cstddef>
#include <cstdint>

#include "SetupStringCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvr::fuzz::AbortOnFinding(kvr::fuzz::CheckSetupStringInput(data, size));
    return 0;
}

// libFuzzer entry: one input is one package file.
#include <cstddef>
#include <cstdint>

#include "PackageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvr::fuzz::AbortOnFinding(kvr::fuzz::CheckPackageInput(data, size));
    return 0;
}

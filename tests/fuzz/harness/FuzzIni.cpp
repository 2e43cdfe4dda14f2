// libFuzzer entry: one input is one INI file.
#include <cstddef>
#include <cstdint>

#include "IniCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvr::fuzz::AbortOnFinding(kvr::fuzz::CheckIniInput(data, size));
    return 0;
}

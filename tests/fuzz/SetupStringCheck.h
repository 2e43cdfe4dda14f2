// Fuzz check of the setup string parser: the bytes are one setup string.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"

namespace kvr::fuzz {

// Parses the bytes in place and compares the outcome with an independent reading of the
// grammar "baud,parity,data,stop"; an accepted string written back in its plain form must
// parse to the same settings.
Finding CheckSetupStringInput(const uint8_t* data, size_t size);

}  // namespace kvr::fuzz

// Fuzz check of the package parser: the bytes are one package file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"

namespace kvr::fuzz {

// Parses the bytes in place (no copy, so a read past their end is caught by AddressSanitizer),
// and again with the checksum byte made right so that mutated inputs reach the header checks,
// and compares each outcome with the format's rules, worked out here independently: whether
// the file is accepted, which text a rejection shows, that a rejection leaves the caller's
// package alone, the progress reports, and on acceptance every field, list and page byte.
Finding CheckPackageInput(const uint8_t* data, size_t size);

}  // namespace kvr::fuzz

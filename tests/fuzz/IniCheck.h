// Fuzz check of the INI object: the bytes are one INI file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"

namespace kvr::fuzz {

// Reads the bytes with TMemIniFile and compares every section, key, value and integer with an
// independent reading of the text rules; rewrites the text (Serialize), reads it again and
// requires every key and value to survive; then writes entries taken from the input (some of
// them unwritable on purpose) and requires each either to be refused with nothing changed or
// to read back as written, before and after another rewrite.
Finding CheckIniInput(const uint8_t* data, size_t size);

}  // namespace kvr::fuzz

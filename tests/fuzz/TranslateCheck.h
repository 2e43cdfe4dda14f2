// Fuzz check of message translation over a language file made of the fuzzer's bytes.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"

namespace kvr::fuzz {

// Writes the bytes to languageFilePath (a file in a folder of the caller's own), opens it as the
// language file, and translates every message text of the system plus keys taken from the file
// (with blanks around them and in other letter case). Translate must never throw and must give
// what the rules give: the trimmed text unless section "ru" holds the key with a value other
// than "NULL". The language file is released again before returning.
Finding CheckTranslateInput(const uint8_t* data, size_t size, const QString& languageFilePath);

}  // namespace kvr::fuzz

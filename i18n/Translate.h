// Message translation through the language file ("ru.lng", section "ru").
#pragma once

#include <QString>

namespace kvr {

class TMemIniFile;

// "ru" once OpenLanguageFile() ran, empty before.
const QString& LanguageCode();

// Opens the language file (LanguageFilePath("ru")). A missing file gives an empty object;
// one that exists but cannot be read throws EFOpenError.
void OpenLanguageFile();
// The same over an explicit path (tests, the command line's --lang).
void OpenLanguageFile(const QString& path);
// Releases the language file; Translate then returns its trimmed input. Call only when no
// other thread can be translating.
void ReleaseLanguageFile();

// The translation of text, or text trimmed of characters up to code 32. Never throws;
// safe from any thread while the language file is open.
QString Translate(const QString& text);

}  // namespace kvr

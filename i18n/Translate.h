// Message translation through the language file ("ru.lng", section "ru").
//
// Threads: OpenLanguageFile and ReleaseLanguageFile run on the GUI thread while no other thread
// can translate (before the update thread exists, after it has ended). In between, Translate
// may run on any thread at once: the language file is only read.
#pragma once

#include <QString>

namespace kvr {

class TMemIniFile;

// "ru" once OpenLanguageFile() ran, empty before.
const QString& LanguageCode();

// The open language file, or null before OpenLanguageFile() and after ReleaseLanguageFile().
const TMemIniFile* LanguageFile();

// Opens the language file (LanguageFilePath("ru")). A missing file gives an empty object;
// one that exists but cannot be read throws EFOpenError and leaves the previous state.
void OpenLanguageFile();
// The same over an explicit path (tests, the command line's --lang).
void OpenLanguageFile(const QString& path);
// Releases the language file; Translate then returns its trimmed input. Call only when no
// other thread can be translating.
void ReleaseLanguageFile();

// The translation of text, or text trimmed of characters up to code 32. The key looked up in
// section LanguageCode() is the trimmed text, letter case aside; the value "NULL" (exactly)
// means no translation, an empty value translates to the empty text. Never throws; safe from
// any thread while the language file is open.
QString Translate(const QString& text);

}  // namespace kvr

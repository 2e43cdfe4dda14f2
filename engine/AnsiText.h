// The serial number goes to the device one byte per character in the ANSI code page of the
// Russian Windows systems the instrument is serviced from (Windows-1251). The field accepts
// digits only, so in practice this is ASCII.
#pragma once

#include <QByteArray>
#include <QString>

namespace kvr {

// Encodes text as Windows-1251, one byte per character. Returns false, leaving out empty, when
// a character has no single-byte form there.
bool EncodeWindows1251(const QString& text, QByteArray& out);

}  // namespace kvr

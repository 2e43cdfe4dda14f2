// The string-to-integer conversion of the serial number button.
#pragma once

#include <QString>

namespace kvr {

// Leading blanks, an optional sign and decimal digits, within the range of a signed 32-bit
// integer; nothing may follow. Throws EConvertError "''<text>'' is not a valid integer value"
// for anything else, the empty text included.
int StrToInt(const QString& text);

}  // namespace kvr

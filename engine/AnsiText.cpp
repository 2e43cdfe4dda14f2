#include "AnsiText.h"

#include "MemIniFile.h"

namespace kvr {

bool EncodeWindows1251(const QString& text, QByteArray& out) {
    out.clear();
    std::optional<QByteArray> bytes = kvr::EncodeWindows1251(text);
    if (!bytes)
        return false;
    out = *bytes;
    return true;
}

}  // namespace kvr

#include "PortOpenHint.h"

#include <windows.h>

#include "Cli.h"

namespace kvr::cli {

QString PortOpenHint(const QString& port, int systemCode) {
    switch (systemCode) {
        case ERROR_ACCESS_DENIED:  // what opening a COM port that is already open gives
            return QStringLiteral(
                       "hint: %1 is held by another program (a terminal program or another copy "
                       "of this tool may have it open)")
                .arg(port);
        case ERROR_FILE_NOT_FOUND:
            return QStringLiteral(
                       "hint: %1 does not exist; the adapter may be unplugged or have another name "
                       "now (see \"%2 ports\")")
                .arg(port, QLatin1String(kProgramName));
        default:
            return QString();
    }
}

}  // namespace kvr::cli

#include "PortOpenHint.h"

#include <cerrno>

#include "Cli.h"

namespace kvr::cli {

QString PortOpenHint(const QString& port, int systemCode) {
    switch (systemCode) {
        case EACCES:
            return QStringLiteral(
                       "hint: %1: permission denied; add your user to the \"dialout\" group (sudo "
                       "usermod -aG dialout $USER) and log in again")
                .arg(port);
        case EBUSY:
        case EWOULDBLOCK:  // another program holds the port's lock
            return QStringLiteral(
                       "hint: %1 is held by another program (ModemManager or brltty often claim "
                       "serial adapters)")
                .arg(port);
        case ENOENT:
            return QStringLiteral(
                       "hint: %1 does not exist; the adapter may be unplugged or have another name "
                       "now (see \"%2 ports\")")
                .arg(port, QLatin1String(kProgramName));
        default:
            return QString();
    }
}

}  // namespace kvr::cli

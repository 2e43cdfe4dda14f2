// One line that names the usual cause of a port that will not open, from the system's error code
// (EPortOpenError::SystemCode()); empty when the code has no usual cause or is unknown. The
// codes are the platform's own, so each platform has its half (PortOpenHint_posix.cpp,
// PortOpenHint_win32.cpp).
#pragma once

#include <QString>

namespace kvr::cli {

QString PortOpenHint(const QString& port, int systemCode);

}  // namespace kvr::cli

// What a run's row says of its package, the same from the window and the command line.
#pragma once

#include <QString>

#include "Record.h"
#include "UpdatePackage.h"

namespace kvr::record {

// The package's file name, its SHA-256 (empty when the file no longer reads), its page count and
// both version lists as the window's lists show them (", " between items), and this station's
// host name.
RunStart DescribePackage(const QString& path, const UpdatePackage& package);

}  // namespace kvr::record

// What a run's row says of its package, the same from every program.
#pragma once

#include <QString>

#include "Record.h"
#include "UpdatePackage.h"

namespace kvr::record {

// The package's file name, the SHA-256 of the bytes its pages were read from (never the file
// read again: it may have been replaced since), its page count and both version lists as the
// window's lists show them (", " between items), and this station's host name.
RunStart DescribePackage(const QString& path, const UpdatePackage& package);

}  // namespace kvr::record

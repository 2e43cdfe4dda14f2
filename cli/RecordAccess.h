// The record as the commands open it: --record URL, "default" for the station's own file.
#pragma once

#include <QString>
#include <memory>

#include "Record.h"

namespace kvr::cli {

// Opens the record named by `given` (a URL, or "default"). Null with a one-line message in
// `error` when it names no record or cannot be opened; `usage` tells a bad name from a record
// that does not answer.
std::unique_ptr<record::Record> OpenRecord(const QString& given, QString& error, bool& usage);

}  // namespace kvr::cli

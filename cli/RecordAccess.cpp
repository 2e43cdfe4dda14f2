#include "RecordAccess.h"

#include "AppPaths.h"
#include "ProductionRun.h"

namespace kvr::cli {

std::unique_ptr<record::Record> OpenRecord(const QString& given, QString& error, bool& usage) {
    return station::OpenNamedRecord(given, QString(), UpdateLogPath(), error, usage);
}

}  // namespace kvr::cli

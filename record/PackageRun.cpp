#include "PackageRun.h"

#include <QFileInfo>
#include <QStringList>
#include <QSysInfo>

#include "PackageLoader.h"

namespace kvr::record {

RunStart DescribePackage(const QString& path, const UpdatePackage& package) {
    RunStart start;
    start.packageName = QFileInfo(path).fileName();
    start.packageSha256 = package.sha256;
    start.pageCount = static_cast<int>(package.pages.size());
    QStringList hardware;
    for (uint16_t v : package.hardwareVersions)
        hardware << FormatHardwareVersionText(package.hwPrefixMajor, package.hwPrefixMinor, v);
    QStringList program;
    for (uint16_t v : package.programVersions)
        program << FormatProgramVersionText(v);
    start.hardwareVersions = hardware.join(QStringLiteral(", "));
    start.programVersions = program.join(QStringLiteral(", "));
    start.station = QSysInfo::machineHostName();
    return start;
}

}  // namespace kvr::record

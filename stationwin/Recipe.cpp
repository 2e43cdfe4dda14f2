#include "Recipe.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <functional>
#include <memory>

#include "Exception.h"
#include "LinkTypes.h"
#include "MemIniFile.h"
#include "PackageLoader.h"
#include "PortLogs.h"
#include "Station.h"

namespace kvr::stationwin {

namespace {

const QString kSection = QStringLiteral("Station");

bool Flag(const TMemIniFile& ini, const char* key, bool& out, QString& error) {
    const QString value = ini.ReadString(kSection, QLatin1String(key), QStringLiteral("0"));
    if (value != QLatin1String("0") && value != QLatin1String("1")) {
        error = QStringLiteral("%1 takes 0 or 1, not \"%2\"").arg(QLatin1String(key), value);
        return false;
    }
    out = value == QLatin1String("1");
    return true;
}

bool Refused(QString& error, const QString& why) {
    error = why;
    return false;
}

// Ports: 1 to 8 names, each its own port under any of its names.
bool ReadPorts(const QString& text, Recipe& r, QString& error) {
    for (const QString& port : text.split(u';')) {
        const QString name = port.trimmed();
        if (!name.isEmpty())
            r.ports << name;
    }
    if (r.ports.isEmpty() || r.ports.size() > kMaxLanes)
        return Refused(
            error,
            QStringLiteral("Ports takes 1 to %1 ports, not %2").arg(kMaxLanes).arg(r.ports.size()));
    const QString twice = station::SamePortTwice(r.ports);
    if (!twice.isEmpty())
        return Refused(error, QStringLiteral("Ports: %1").arg(twice));
    return true;
}

bool ReadNumbering(const std::function<QString(const char*)>& value, Recipe& r, QString& error) {
    r.hardware = value("HW");
    r.pool = value("Pool");
    // Kept as given: a relative sqlite: path lies beside the recipe, which the run knows.
    r.record = value("Record");
    if (r.technology) {
        static const QRegularExpression digits(
            QStringLiteral("^[0-9]{1,%1}$").arg(kHardwareMaxDigits));
        if (!digits.match(r.hardware).hasMatch())
            return Refused(error, QStringLiteral("HW takes 1 to %1 digits, not \"%2\"")
                                      .arg(kHardwareMaxDigits)
                                      .arg(r.hardware));
        if (r.pool.isEmpty())
            return Refused(error,
                           QStringLiteral("Technology=1 takes its serial numbers from a Pool"));
        if (r.record.isEmpty())
            r.record = QStringLiteral("default");
    } else if (!r.pool.isEmpty()) {
        return Refused(error, QStringLiteral("Pool goes with Technology=1"));
    }
    return true;
}

// LeaseSize, LeaseRefill and LeaseHours: a whole number each, with a Pool only.
bool ReadLease(const std::function<QString(const char*)>& value, Recipe& r, QString& error) {
    struct Key {
        const char* name;
        int64_t min, max;
        int64_t* into;
    };
    int64_t size = 0, refill = 0, hours = 0;
    const Key keys[] = {{"LeaseSize", station::kLeaseSizeMin, station::kLeaseSizeMax, &size},
                        {"LeaseRefill", 1, station::kLeaseSizeMax, &refill},
                        {"LeaseHours", station::kLeaseHoursMin, station::kLeaseHoursMax, &hours}};
    for (const Key& key : keys) {
        const QString text = value(key.name);
        if (text.isEmpty())
            continue;
        if (r.pool.isEmpty())
            return Refused(error,
                           QStringLiteral("%1 goes with a Pool").arg(QLatin1String(key.name)));
        bool ok = false;
        const int64_t n = text.toLongLong(&ok);
        if (!ok || n < key.min || n > key.max)
            return Refused(error, QStringLiteral("%1 takes %2 to %3, not \"%4\"")
                                      .arg(QLatin1String(key.name))
                                      .arg(key.min)
                                      .arg(key.max)
                                      .arg(text));
        *key.into = n;
    }
    r.leaseSize = static_cast<int>(size);
    r.leaseRefillBelow = static_cast<int>(refill);
    r.leaseLifetimeS = hours * 3600;
    return true;
}

bool ReadAnswers(const std::function<QString(const char*)>& value, Recipe& r, QString& error) {
    const QString mismatch = value("ProgramMismatch");
    if (!mismatch.isEmpty() && mismatch != QLatin1String("continue") &&
        mismatch != QLatin1String("stop"))
        return Refused(
            error,
            QStringLiteral("ProgramMismatch takes continue or stop, not \"%1\"").arg(mismatch));
    r.continueOnProgramMismatch = mismatch == QLatin1String("continue");
    const QString removal = value("RemovalSeconds");
    if (removal.isEmpty())
        return true;
    bool isNumber = false;
    const double seconds = removal.toDouble(&isNumber);
    if (!isNumber ||
        !(seconds >= station::kRemovalSecondsMin && seconds <= station::kRemovalSecondsMax))
        return Refused(error, QStringLiteral("RemovalSeconds takes %1 to %2 seconds, not \"%3\"")
                                  .arg(station::kRemovalSecondsMin)
                                  .arg(station::kRemovalSecondsMax)
                                  .arg(removal));
    r.removalMs = static_cast<uint32_t>(seconds * 1000 + 0.5);
    return true;
}

// The package last, its checks being the slowest. Hashed as it is parsed, from one read, so
// that the file cannot change between the check and the pages flashed.
bool ReadPackage(Recipe& r, QString& error) {
    QString loadError;
    if (!LoadUpdatePackageFile(r.packagePath, r.package, loadError)) {
        const bool unreadable = loadError.startsWith(QLatin1String("Cannot "));
        return Refused(error, unreadable
                                  ? QStringLiteral("Package %1 cannot be read: %2")
                                        .arg(QDir::toNativeSeparators(r.packagePath), loadError)
                                  : QStringLiteral("Package: %1").arg(loadError));
    }
    if (r.package.sha256 != r.packageSha256)
        return Refused(error, QStringLiteral("Package %1 is not the recipe's: its SHA-256 is %2")
                                  .arg(QDir::toNativeSeparators(r.packagePath), r.package.sha256));
    return true;
}

}  // namespace

bool LoadRecipe(const QString& path, Recipe& out, QString& error) {
    std::unique_ptr<TMemIniFile> ini;
    try {
        ini = std::make_unique<TMemIniFile>(path);
    } catch (const Exception& e) {
        error = QString::fromStdString(e.Message());
        return false;
    }
    if (!QFileInfo::exists(path))
        return Refused(
            error,
            QStringLiteral("The recipe %1 does not exist").arg(QDir::toNativeSeparators(path)));
    if (!ini->SectionExists(kSection))
        return Refused(error, QStringLiteral("The recipe has no [Station] section"));
    const std::function<QString(const char*)> value = [&](const char* key) {
        return ini->ReadString(kSection, QLatin1String(key), QString());
    };
    Recipe r;
    r.path = path;
    for (const char* key : {"Package", "PackageSHA256", "Ports"}) {
        if (value(key).isEmpty())
            return Refused(error, QStringLiteral("The recipe has no %1").arg(QLatin1String(key)));
    }
    r.packagePath = QDir(QFileInfo(path).absolutePath()).filePath(value("Package"));
    r.packageSha256 = value("PackageSHA256").toLower();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (!hex.match(r.packageSha256).hasMatch())
        return Refused(error,
                       QStringLiteral("PackageSHA256 takes 64 hexadecimal digits, not \"%1\"")
                           .arg(value("PackageSHA256")));
    if (!ReadPorts(value("Ports"), r, error) || !Flag(*ini, "BootAll", r.bootAll, error) ||
        !Flag(*ini, "Technology", r.technology, error) || !ReadNumbering(value, r, error) ||
        !ReadLease(value, r, error) || !ReadAnswers(value, r, error) || !ReadPackage(r, error))
        return false;
    out = std::move(r);
    return true;
}

}  // namespace kvr::stationwin

#include "Recipe.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <memory>

#include "Exception.h"
#include "MemIniFile.h"
#include "PackageLoader.h"

namespace kvr::stationwin {

namespace {

const QString kSection = QStringLiteral("Station");
constexpr double kRemovalSecondsMin = 0.5;
constexpr double kRemovalSecondsMax = 3600;
constexpr int kHardwareMaxDigits = 3;

bool Flag(const TMemIniFile& ini, const char* key, bool& out, QString& error) {
    const QString value = ini.ReadString(kSection, QLatin1String(key), QStringLiteral("0"));
    if (value != QLatin1String("0") && value != QLatin1String("1")) {
        error = QStringLiteral("%1 takes 0 or 1, not \"%2\"").arg(QLatin1String(key), value);
        return false;
    }
    out = value == QLatin1String("1");
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
    if (!QFileInfo::exists(path)) {
        error = QStringLiteral("The recipe %1 does not exist").arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (!ini->SectionExists(kSection)) {
        error = QStringLiteral("The recipe has no [Station] section");
        return false;
    }
    const auto value = [&](const char* key) {
        return ini->ReadString(kSection, QLatin1String(key), QString());
    };
    Recipe r;
    r.path = path;
    for (const char* key : {"Package", "PackageSHA256", "Ports"}) {
        if (value(key).isEmpty()) {
            error = QStringLiteral("The recipe has no %1").arg(QLatin1String(key));
            return false;
        }
    }
    r.packagePath = QDir(QFileInfo(path).absolutePath()).filePath(value("Package"));
    r.packageSha256 = value("PackageSHA256").toLower();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (!hex.match(r.packageSha256).hasMatch()) {
        error = QStringLiteral("PackageSHA256 takes 64 hexadecimal digits, not \"%1\"")
                    .arg(value("PackageSHA256"));
        return false;
    }
    for (const QString& port : value("Ports").split(u';')) {
        const QString name = port.trimmed();
        if (name.isEmpty())
            continue;
        if (r.ports.contains(name)) {
            error = QStringLiteral("Ports names %1 twice").arg(name);
            return false;
        }
        r.ports << name;
    }
    if (r.ports.isEmpty() || r.ports.size() > kMaxLanes) {
        error =
            QStringLiteral("Ports takes 1 to %1 ports, not %2").arg(kMaxLanes).arg(r.ports.size());
        return false;
    }
    if (!Flag(*ini, "BootAll", r.bootAll, error) || !Flag(*ini, "Technology", r.technology, error))
        return false;
    r.hardware = value("HW");
    r.pool = value("Pool");
    r.record = value("Record");
    // "sqlite:records.sqlite" lies beside the recipe, wherever the window was started from.
    const QString sqlite = QStringLiteral("sqlite:");
    if (r.record.startsWith(sqlite) && QFileInfo(r.record.mid(sqlite.size())).isRelative())
        r.record =
            sqlite + QDir(QFileInfo(path).absolutePath()).filePath(r.record.mid(sqlite.size()));
    if (r.technology) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,3}$"));
        if (!digits.match(r.hardware).hasMatch()) {
            error = QStringLiteral("HW takes 1 to %1 digits, not \"%2\"")
                        .arg(kHardwareMaxDigits)
                        .arg(r.hardware);
            return false;
        }
        if (r.pool.isEmpty()) {
            error = QStringLiteral("Technology=1 takes its serial numbers from a Pool");
            return false;
        }
        if (r.record.isEmpty())
            r.record = QStringLiteral("default");
    } else if (!r.pool.isEmpty()) {
        error = QStringLiteral("Pool goes with Technology=1");
        return false;
    }
    const QString mismatch = value("ProgramMismatch");
    if (!mismatch.isEmpty() && mismatch != QLatin1String("continue") &&
        mismatch != QLatin1String("stop")) {
        error = QStringLiteral("ProgramMismatch takes continue or stop, not \"%1\"").arg(mismatch);
        return false;
    }
    r.continueOnProgramMismatch = mismatch == QLatin1String("continue");
    const QString removal = value("RemovalSeconds");
    if (!removal.isEmpty()) {
        bool isNumber = false;
        const double seconds = removal.toDouble(&isNumber);
        if (!isNumber || !(seconds >= kRemovalSecondsMin && seconds <= kRemovalSecondsMax)) {
            error = QStringLiteral("RemovalSeconds takes %1 to %2 seconds, not \"%3\"")
                        .arg(kRemovalSecondsMin)
                        .arg(kRemovalSecondsMax)
                        .arg(removal);
            return false;
        }
        r.removalMs = static_cast<uint32_t>(seconds * 1000 + 0.5);
    }

    // The package last, its checks being the slowest. Hashed and checked from one read, so that
    // the file cannot change between the two.
    QFile file(r.packagePath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Package %1 cannot be read: %2")
                    .arg(QDir::toNativeSeparators(r.packagePath), file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    if (sha != r.packageSha256) {
        error = QStringLiteral("Package %1 is not the recipe's: its SHA-256 is %2")
                    .arg(QDir::toNativeSeparators(r.packagePath), sha);
        return false;
    }
    QString loadError;
    if (!ParseUpdatePackage(bytes, r.package, loadError)) {
        error = QStringLiteral("Package: %1").arg(loadError);
        return false;
    }
    out = std::move(r);
    return true;
}

}  // namespace kvr::stationwin

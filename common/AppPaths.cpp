#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace kvr {

namespace {

constexpr char kToolFolderName[] = "kvr-uplinker";

QString WithSeparator(const QString& folder) {
    QString f = QDir::toNativeSeparators(folder);
    if (!f.endsWith(QDir::separator()))
        f += QDir::separator();
    return f;
}

// Only a try tells: Windows calls folders under Program Files writable (permissions are not
// looked up) and then refuses the write, and a read-only medium has no permission bits to ask.
bool FolderWritable(const QString& folder) {
    if (!QFileInfo(folder).isDir())
        return false;
    QTemporaryFile probe(folder + QStringLiteral(".kvr-write-probe-XXXXXX"));
    return probe.open();
}

}  // namespace

QString ExecutableFolder() {
    return WithSeparator(QCoreApplication::applicationDirPath());
}

QString DataFolder() {
    const QString exeFolder = ExecutableFolder();
    if (!FolderWritable(exeFolder)) {
        // One folder for the window and the command line, so that both keep one log.
        const QString base =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString config = base.isEmpty()
                                   ? QString()
                                   : base + QStringLiteral("/") + QLatin1String(kToolFolderName);
        if (!config.isEmpty()) {
            QDir().mkpath(config);
            return WithSeparator(config);
        }
    }
    return exeFolder;
}

QString SettingsFilePath() {
    const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return DataFolder() + base + QStringLiteral(".ini");
}

QString UpdateLogPath() {
    return DataFolder() + QStringLiteral("log.txt");
}

QString LanguageFilePath(const QString& languageCode) {
    const QString name = languageCode + QStringLiteral(".lng");
    const QString beside = ExecutableFolder() + name;
    if (QFileInfo::exists(beside))
        return beside;
    return DataFolder() + name;
}

}  // namespace kvr

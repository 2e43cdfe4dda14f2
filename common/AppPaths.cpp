#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kvr {

namespace {

QString WithSeparator(const QString& folder) {
    QString f = QDir::toNativeSeparators(folder);
    if (!f.endsWith(QDir::separator())) f += QDir::separator();
    return f;
}

bool FolderWritable(const QString& folder) {
    QFileInfo info(folder);
    return info.isDir() && info.isWritable();
}

}  // namespace

QString ExecutableFolder() { return WithSeparator(QCoreApplication::applicationDirPath()); }

QString DataFolder() {
    const QString exeFolder = ExecutableFolder();
#ifndef Q_OS_WIN
    if (!FolderWritable(exeFolder)) {
        const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        if (!config.isEmpty()) {
            QDir().mkpath(config);
            return WithSeparator(config);
        }
    }
#endif
    return exeFolder;
}

QString SettingsFilePath() {
    const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return DataFolder() + base + QStringLiteral(".ini");
}

QString UpdateLogPath() { return DataFolder() + QStringLiteral("log.txt"); }

QString LanguageFilePath(const QString& languageCode) {
    const QString name = languageCode + QStringLiteral(".lng");
    const QString beside = ExecutableFolder() + name;
    if (QFileInfo::exists(beside)) return beside;
    return DataFolder() + name;
}

}  // namespace kvr

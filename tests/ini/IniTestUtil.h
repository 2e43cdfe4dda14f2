// Small helpers shared by the INI tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include "MemIniFile.h"

namespace kvr::test {

inline QString FixturePath(const char* name) {
    return QStringLiteral(KVR_INI_DATA_DIR "/") + QString::fromUtf8(name);
}

inline QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline bool WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// An object over ASCII or UTF-8 text written inline in a test (with at least one non-ASCII
// character the bytes are UTF-8, else they are ASCII either way).
inline TMemIniFile IniFromText(const char* utf8) {
    return TMemIniFile(QStringLiteral("inline.ini"), QByteArray(utf8));
}

}  // namespace kvr::test

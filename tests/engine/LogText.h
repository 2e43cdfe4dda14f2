// Reading the update log back in tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

namespace kvr::test {

inline QByteArray ReadFileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// UTF-16LE, written out byte by byte so it does not depend on the code under test.
inline QByteArray Utf16Le(const QString& text) {
    QByteArray out;
    for (QChar c : text) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

inline QString FromUtf16Le(const QByteArray& bytes) {
    QString s;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
        s += QChar(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return s;
}

// The length of a stamp "dd/mm/yyyy hh:nn:ss:zzz: ".
inline constexpr qsizetype kStampChars = 25;

// The entries of a log file without their stamps, in file order.
inline QStringList LogEntries(const QString& path) {
    const QByteArray bytes = ReadFileBytes(path);
    if (bytes.size() < 2)
        return {};
    const QString text = FromUtf16Le(bytes.mid(2));
    QStringList entries;
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        if (line.isEmpty())
            continue;
        entries << line.mid(kStampChars);
    }
    return entries;
}

}  // namespace kvr::test

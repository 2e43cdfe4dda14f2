// Files in tests: whole reads and writes, and the update log read back. The log's text is
// decoded here byte by byte, apart from the code under test.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kvr::test {

// The whole file; empty when it cannot be read.
inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Replaces the file's contents; false when not every byte was written.
inline bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
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

// The whole text of an update log after its byte-order mark; empty without the mark.
inline QString LogText(const QString& path) {
    const QByteArray bytes = ReadAll(path);
    if (!bytes.startsWith("\xFF\xFE"))
        return {};
    return FromUtf16Le(bytes.mid(2));
}

// The entries of an update log without their stamps, in file order.
inline QStringList LogEntries(const QString& path) {
    QStringList entries;
    for (const QString& line : LogText(path).split(QStringLiteral("\r\n"))) {
        if (!line.isEmpty())
            entries << line.mid(kStampChars);
    }
    return entries;
}

// True when nobody (this process included) holds the update log's lock on the file now.
inline bool LogLockIsFree(const QString& path) {
#ifdef _WIN32
    // The log is held open with read sharing only: a writer gets in only when it is free. A
    // folder cannot be held as a log at all.
    if (QFileInfo(path).isDir())
        return true;
    const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
#endif
}

}  // namespace kvr::test

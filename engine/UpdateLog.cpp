#include "UpdateLog.h"

#include <QByteArray>
#include <QFileInfo>
#include <algorithm>

#include "LogFile.h"

namespace kvr {

namespace {

constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kLineFeed = u'\n';
constexpr char kByteOrderMark[] = {'\xFF', '\xFE'};

bool IsFormatLetter(QChar c) {
    return c.isLetter() || c == QLatin1Char('\'');
}

// The first character between two fields of a short format that is no letter and no blank.
QChar SeparatorIn(const QString& format, QChar fallback) {
    bool seenField = false;
    for (QChar c : format) {
        if (IsFormatLetter(c)) {
            seenField = true;
        } else if (seenField && !c.isSpace()) {
            return c;
        }
    }
    return fallback;
}

// UTF-16LE whatever the host's byte order.
void AppendUtf16Le(QByteArray& out, const QString& text) {
    for (QChar c : text) {
        const char16_t unit = c.unicode();
        out.append(static_cast<char>(unit & 0xFF));
        out.append(static_cast<char>(unit >> 8));
    }
}

QString TwoDigits(int value) {
    return QString::number(value).rightJustified(2, QLatin1Char('0'));
}

}  // namespace

LogSeparators LogSeparatorsOf(const QLocale& locale) {
    LogSeparators s;
    s.date = SeparatorIn(locale.dateFormat(QLocale::ShortFormat), s.date);
    s.time = SeparatorIn(locale.timeFormat(QLocale::ShortFormat), s.time);
    return s;
}

QString FormatLogStamp(const QDateTime& when, LogSeparators separators) {
    const QDate d = when.date();
    const QTime t = when.time();
    QString s;
    s.reserve(25);
    s += TwoDigits(d.day());
    s += separators.date;
    s += TwoDigits(d.month());
    s += separators.date;
    s += QString::number(d.year()).rightJustified(4, QLatin1Char('0'));
    s += QLatin1Char(' ');
    s += TwoDigits(t.hour());
    s += separators.time;
    s += TwoDigits(t.minute());
    s += separators.time;
    s += TwoDigits(t.second());
    s += separators.time;
    s += QString::number(t.msec()).rightJustified(3, QLatin1Char('0'));
    s += separators.time;
    s += QLatin1Char(' ');
    return s;
}

QString FormatLogDump(const uint8_t* bytes, uint32_t count) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    QString s;
    if (bytes == nullptr)
        return s;
    s.reserve(static_cast<qsizetype>(count) * 3);
    for (uint32_t i = 0; i < count; ++i) {
        s += QLatin1Char(kHexDigits[bytes[i] >> 4]);
        s += QLatin1Char(kHexDigits[bytes[i] & 0x0F]);
        s += QLatin1Char(' ');
    }
    return s;
}

TUpdateLog::TUpdateLog(IClock& clock, LogSeparators separators)
    : clock_(clock), separators_(separators) {}

TUpdateLog::~TUpdateLog() = default;

bool TUpdateLog::Open(const QString& path) {
    Close();
    if (path.isEmpty())
        return false;
    auto file = std::make_unique<LogFile>();
    if (!file->Open(QFileInfo(path).filesystemFilePath()))
        return false;
    const int64_t size = file->Size();
    if (size < 0)
        return false;

    QByteArray separator;
    AppendUtf16Le(separator, QStringLiteral("\r\n"));
    // An empty file is taken as new, so that it too starts with the byte-order mark.
    if (size == 0) {
        QByteArray start(kByteOrderMark, sizeof kByteOrderMark);
        start += separator;
        file->WriteAt(0, start.constData(), static_cast<size_t>(start.size()));
        logWritePosition_ = kByteOrderMarkBytes;
    } else {
        logWritePosition_ = static_cast<int32_t>(std::min<int64_t>(size, kSizeLimitBytes));
        file->WriteAt(size, separator.constData(), static_cast<size_t>(separator.size()));
    }
    file_ = std::move(file);
    return true;
}

bool TUpdateLog::IsOpen() const {
    return file_ != nullptr;
}

void TUpdateLog::Close() {
    file_.reset();
}

void TUpdateLog::WriteLog(const QString& text, const uint8_t* bytes, uint32_t count) {
    if (!file_)
        return;
    QString line;
    line += QChar(kCarriageReturn);
    line += QChar(kLineFeed);
    line += FormatLogStamp(clock_.LocalNow(), separators_);
    line += text;
    if (count > 0)
        line += FormatLogDump(bytes, count);
    QByteArray entry;
    entry.reserve(line.size() * 2);
    AppendUtf16Le(entry, line);

    const int64_t entryBytes = entry.size();
    // An entry that could not fit even right after the byte-order mark is dropped rather
    // than let the file outgrow its limit.
    if (kByteOrderMarkBytes + entryBytes >= kSizeLimitBytes)
        return;
    const int64_t size = file_->Size();
    if (size < 0)
        return;
    if (size + entryBytes < kSizeLimitBytes) {
        file_->WriteAt(size, entry.constData(), static_cast<size_t>(entryBytes));
        return;
    }
    if (int64_t{logWritePosition_} + entryBytes >= kSizeLimitBytes) {
        logWritePosition_ = kByteOrderMarkBytes;
    }
    file_->WriteAt(logWritePosition_, entry.constData(), static_cast<size_t>(entryBytes));
    logWritePosition_ += static_cast<int32_t>(entryBytes);
}

}  // namespace kvr

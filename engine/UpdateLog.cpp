#include "UpdateLog.h"

#include <QByteArray>
#include <QFileInfo>
#include <algorithm>
#include <bit>

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

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
constexpr int kYearDigits = 4;
constexpr int kMaxFourDigitYear = 9999;

// `digits` decimal digits of a value that has at most that many.
void AppendDigits(std::u16string& out, int value, int digits) {
    char16_t buffer[kYearDigits];
    for (int i = digits - 1; i >= 0; --i) {
        buffer[i] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<size_t>(digits));
}

// The stamp and the dump are built straight into the entry: one pass, no temporaries.
void AppendStamp(std::u16string& out, const QDateTime& when, LogSeparators separators) {
    int year = 0;
    int month = 0;
    int day = 0;
    when.date().getDate(&year, &month, &day);  // one calendar conversion, not three
    const QTime t = when.time();
    const char16_t date = separators.date.unicode();
    const char16_t time = separators.time.unicode();
    AppendDigits(out, day, 2);
    out += date;
    AppendDigits(out, month, 2);
    out += date;
    if (year >= 0 && year <= kMaxFourDigitYear) {
        AppendDigits(out, year, kYearDigits);
    } else {
        // Far outside any clock's range; written as the year's own digits, at least four.
        const QString digits = QString::number(year).rightJustified(kYearDigits, u'0');
        out.append(reinterpret_cast<const char16_t*>(digits.utf16()),
                   static_cast<size_t>(digits.size()));
    }
    out += u' ';
    AppendDigits(out, t.hour(), 2);
    out += time;
    AppendDigits(out, t.minute(), 2);
    out += time;
    AppendDigits(out, t.second(), 2);
    out += time;
    AppendDigits(out, t.msec(), 3);
    out += time;
    out += u' ';
}

void AppendDump(std::u16string& out, const uint8_t* bytes, uint32_t count) {
    if (bytes == nullptr)
        return;
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(count) * 3);
    char16_t* p = out.data() + start;
    for (uint32_t i = 0; i < count; ++i) {
        *p++ = kHexDigits[bytes[i] >> 4];
        *p++ = kHexDigits[bytes[i] & 0x0F];
        *p++ = u' ';
    }
}

QString ToQString(const std::u16string& text) {
    return QString(reinterpret_cast<const QChar*>(text.data()),
                   static_cast<qsizetype>(text.size()));
}

}  // namespace

LogSeparators LogSeparatorsOf(const QLocale& locale) {
    LogSeparators s;
    s.date = SeparatorIn(locale.dateFormat(QLocale::ShortFormat), s.date);
    s.time = SeparatorIn(locale.timeFormat(QLocale::ShortFormat), s.time);
    return s;
}

QString FormatLogStamp(const QDateTime& when, LogSeparators separators) {
    std::u16string s;
    AppendStamp(s, when, separators);
    return ToQString(s);
}

QString FormatLogDump(const uint8_t* bytes, uint32_t count) {
    std::u16string s;
    AppendDump(s, bytes, count);
    return ToQString(s);
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
    bool written = false;
    if (size == 0) {
        QByteArray start(kByteOrderMark, sizeof kByteOrderMark);
        start += separator;
        written = file->WriteAt(0, start.constData(), static_cast<size_t>(start.size()));
        logWritePosition_ = kByteOrderMarkBytes;
        fileSize_ = start.size();
    } else {
        logWritePosition_ = static_cast<int32_t>(std::min<int64_t>(size, kSizeLimitBytes));
        written = file->WriteAt(size, separator.constData(), static_cast<size_t>(separator.size()));
        fileSize_ = size + separator.size();
    }
    if (!written)
        fileSize_ = kSizeUnknown;
    file_ = std::move(file);
    open_.store(true, std::memory_order_relaxed);
    return true;
}

bool TUpdateLog::IsOpen() const {
    return open_.load(std::memory_order_relaxed);
}

void TUpdateLog::Close() {
    open_.store(false, std::memory_order_relaxed);
    file_.reset();
}

void TUpdateLog::WriteLog(const QString& text, const uint8_t* bytes, uint32_t count) {
    if (!file_)
        return;
    // The entry's buffer keeps its capacity from entry to entry: no allocation once the
    // longest entry has been seen.
    entry_.clear();
    entry_ += kCarriageReturn;
    entry_ += kLineFeed;
    AppendStamp(entry_, clock_.LocalNow(), separators_);
    entry_.append(reinterpret_cast<const char16_t*>(text.utf16()),
                  static_cast<size_t>(text.size()));
    if (count > 0)
        AppendDump(entry_, bytes, count);
    if constexpr (std::endian::native != std::endian::little) {
        for (char16_t& unit : entry_)
            unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
    }
    const char* data = reinterpret_cast<const char*>(entry_.data());
    const int64_t entryBytes = static_cast<int64_t>(entry_.size() * sizeof(char16_t));

    // An entry that could not fit even right after the byte-order mark is dropped rather
    // than let the file outgrow its limit.
    if (kByteOrderMarkBytes + entryBytes >= kSizeLimitBytes)
        return;
    // This log is the file's only writer, so its size is followed here instead of asked for
    // every entry; after a failed write it is asked for again.
    if (fileSize_ < 0)
        fileSize_ = file_->Size();
    if (fileSize_ < 0)
        return;
    int64_t offset = fileSize_;
    if (fileSize_ + entryBytes >= kSizeLimitBytes) {
        if (int64_t{logWritePosition_} + entryBytes >= kSizeLimitBytes)
            logWritePosition_ = kByteOrderMarkBytes;
        offset = logWritePosition_;
        logWritePosition_ += static_cast<int32_t>(entryBytes);
    }
    if (file_->WriteAt(offset, data, static_cast<size_t>(entryBytes))) {
        fileSize_ = std::max(fileSize_, offset + entryBytes);
    } else {
        fileSize_ = kSizeUnknown;
    }
}

}  // namespace kvr

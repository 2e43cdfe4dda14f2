// TUpdateLog: the update log, one UTF-16LE text file kept across runs.
//
// Layout on disk:
// - a file the log creates begins with the byte-order mark FF FE;
// - every Open() appends a run separator, CR LF (0D 00 0A 00);
// - every entry is CR LF, the stamp "dd/mm/yyyy hh:nn:ss:zzz: " (each "/" the system's date
//   separator, each ":" its time separator), the text and, for a dump, each byte as two
//   upper-case hex digits followed by a space;
// - the file grows until an entry would take it to kSizeLimitBytes; from then on entries
//   overwrite older text from WritePosition(), restarting at offset 2 (just after the byte-order
//   mark) when the limit would be reached there too. The file never shrinks.
//
// Each entry goes to the file in one write as soon as it is built: nothing is buffered. Every
// error is swallowed (the entry is lost, the run goes on). On POSIX the open file holds an
// advisory exclusive lock (flock): a log that another process (or another open run) holds is
// not opened, and that run writes no entries. Readers that take no lock may still read.
//
// Not thread-safe: one thread at a time (the update thread while its run goes on).
#pragma once

#include <QChar>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Clock.h"

namespace kvr {

class LogFile;

// The separators the stamp uses in place of "/" and ":".
struct LogSeparators {
    QChar date = QLatin1Char('/');
    QChar time = QLatin1Char(':');
};

// The date and time separators of a locale, taken from its short date and time formats
// ("/" and ":" when a format shows none).
LogSeparators LogSeparatorsOf(const QLocale& locale);

// "dd/mm/yyyy hh:nn:ss:zzz: " with the given separators.
QString FormatLogStamp(const QDateTime& when, LogSeparators separators);
// Each byte as two upper-case hex digits and a space ("55 01 " for 0x55 0x01).
QString FormatLogDump(const uint8_t* bytes, uint32_t count);

class TUpdateLog {
public:
    static constexpr int32_t kSizeLimitBytes = 10'000 * 1024;
    static constexpr int32_t kByteOrderMarkBytes = 2;

    // The clock gives the stamps' local time.
    explicit TUpdateLog(IClock& clock,
                        LogSeparators separators = LogSeparatorsOf(QLocale::system()));
    ~TUpdateLog();
    TUpdateLog(const TUpdateLog&) = delete;
    TUpdateLog& operator=(const TUpdateLog&) = delete;

    // Opens (or creates) the log at path and writes the run separator. Returns false when the
    // file cannot be opened or is held by another writer; the log then stays closed and every
    // WriteLog does nothing. An open log is closed first.
    bool Open(const QString& path);
    // Callable from any thread while another writes.
    bool IsOpen() const;
    void Close();

    // Appends one entry: the text, then a dump of `count` bytes (no dump for count 0).
    void WriteLog(const QString& text, const uint8_t* bytes = nullptr, uint32_t count = 0);

    // Where the next entry goes once the file has reached its limit.
    int32_t WritePosition() const { return logWritePosition_; }

private:
    static constexpr int64_t kSizeUnknown = -1;

    IClock& clock_;
    LogSeparators separators_;
    std::unique_ptr<LogFile> file_;
    std::atomic<bool> open_{false};  // file_ != nullptr, readable from other threads
    int32_t logWritePosition_ = 0;
    // The file's length as this log wrote it; kSizeUnknown after a failed write.
    int64_t fileSize_ = kSizeUnknown;
    std::u16string entry_;  // the entry being built, UTF-16LE once complete
};

}  // namespace kvr

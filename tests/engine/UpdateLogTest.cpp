// The update log as bytes on disk.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <ctime>
#include <thread>
#include <vector>

#include "LocalOffsetCache.h"
#include "TestFiles.h"
#include "UpdateLog.h"
#include "VirtualClock.h"

namespace kvr::test {
namespace {

const LogSeparators kSlashColon{QLatin1Char('/'), QLatin1Char(':')};
constexpr int64_t kLimit = 10'240'000;

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values)
        b.append(static_cast<char>(v));
    return b;
}

class UpdateLogFile : public ::testing::Test {
protected:
    QString Path() const { return dir_.filePath(QStringLiteral("log.txt")); }
    QByteArray OnDisk() const { return ReadAll(Path()); }

    void WriteFile(const QByteArray& bytes) { ASSERT_TRUE(WriteAll(Path(), bytes)); }
    // A log of `size` bytes that starts with the byte-order mark; the rest reads as zeros.
    void MakeLogOfSize(int64_t size) {
        WriteFile(Bytes({0xFF, 0xFE}));
        ASSERT_TRUE(QFile::resize(Path(), size));
    }

    QTemporaryDir dir_;
    devsim::VirtualClock clock_{0, QDateTime(QDate(2026, 12, 7), QTime(21, 5, 8, 123))};
};

TEST_F(UpdateLogFile, FirstRunCreatesFileWithByteOrderMarkSeparatorAndEntry) {
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    log.WriteLog(QStringLiteral("Запуск обновления"));

    // Read while the log is still open: each entry is on disk as soon as it is written.
    const QByteArray expected =
        Bytes({0xFF, 0xFE, 0x0D, 0x00, 0x0A, 0x00, 0x0D, 0x00, 0x0A, 0x00}) +
        Utf16Le(QStringLiteral("07/12/2026 21:05:08:123: Запуск обновления"));
    EXPECT_EQ(OnDisk(), expected);
    EXPECT_EQ(log.WritePosition(), 2);
}

TEST_F(UpdateLogFile, SecondRunAppendsSeparatorAndLeavesEarlierTextAlone) {
    {
        TUpdateLog first(clock_, kSlashColon);
        ASSERT_TRUE(first.Open(Path()));
        first.WriteLog(QStringLiteral("one"));
    }
    const QByteArray before = OnDisk();
    clock_.Advance(1001);
    TUpdateLog second(clock_, kSlashColon);
    ASSERT_TRUE(second.Open(Path()));
    EXPECT_EQ(second.WritePosition(), before.size());
    second.WriteLog(QStringLiteral("two"));

    const QByteArray after = OnDisk();
    ASSERT_TRUE(after.startsWith(before));
    EXPECT_EQ(after.mid(before.size()),
              Bytes({0x0D, 0x00, 0x0A, 0x00}) +
                  Utf16Le(QStringLiteral("\r\n07/12/2026 21:05:09:124: two")));
}

TEST_F(UpdateLogFile, ExistingEmptyFileIsStartedLikeANewOne) {
    WriteFile({});
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    EXPECT_EQ(OnDisk(), Bytes({0xFF, 0xFE, 0x0D, 0x00, 0x0A, 0x00}));
}

TEST_F(UpdateLogFile, DumpIsUpperCaseHexEachByteFollowedBySpace) {
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    const uint8_t frame[] = {0x55, 0x01, 0x02, 0x00, 0x01, 0x02};
    log.WriteLog(QStringLiteral("Запись: "), frame, sizeof frame);
    const uint8_t odd[] = {0x0A, 0xBC, 0xFF, 0x00};
    log.WriteLog(QStringLiteral("Чтение: "), odd, sizeof odd);
    log.WriteLog(QStringLiteral("no dump"), odd, 0);

    EXPECT_EQ(LogEntries(Path()),
              (QStringList{QStringLiteral("Запись: 55 01 02 00 01 02 "),
                           QStringLiteral("Чтение: 0A BC FF 00 "), QStringLiteral("no dump")}));
}

TEST_F(UpdateLogFile, ShortEntryAfterALongOneCarriesNothingOfIt) {
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    std::vector<uint8_t> frame(274);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    log.WriteLog(QStringLiteral("Запись: "), frame.data(), static_cast<uint32_t>(frame.size()));
    log.WriteLog(QStringLiteral("x"));
    const uint8_t two[] = {0xAB, 0x01};
    log.WriteLog(QStringLiteral("Чтение: "), two, sizeof two);

    const QStringList entries = LogEntries(Path());
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].size(), 8 + 3 * 274);
    EXPECT_EQ(entries[1], QStringLiteral("x"));
    EXPECT_EQ(entries[2], QStringLiteral("Чтение: AB 01 "));
    EXPECT_EQ(OnDisk().size(), 6 + 2 * (3 * 27 + entries[0].size() + 1 + 14));
}

TEST_F(UpdateLogFile, OpenLogKeepsOtherWritersOut) {
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    TUpdateLog second(clock_, kSlashColon);
    EXPECT_FALSE(second.Open(Path()));
    log.Close();
    EXPECT_TRUE(second.Open(Path()));
}

TEST_F(UpdateLogFile, UnusablePathsLeaveTheLogClosed) {
    TUpdateLog log(clock_, kSlashColon);
    EXPECT_FALSE(log.Open(QString()));
    EXPECT_FALSE(log.Open(dir_.filePath(QStringLiteral("missing/log.txt"))));
    EXPECT_FALSE(log.Open(dir_.path()));  // a directory
    log.WriteLog(QStringLiteral("nowhere"));
    EXPECT_FALSE(log.IsOpen());
}

// Entry sizes in bytes: CR LF, 25-character stamp, text.
int64_t EntryBytes(const QString& text) {
    return 2 * (2 + 25 + text.size());
}

TEST_F(UpdateLogFile, EntryThatStaysBelowTheLimitIsAppended) {
    const QString text(20, QLatin1Char('a'));
    const int64_t start = kLimit - 4 - EntryBytes(text) - 1;  // the separator takes 4
    MakeLogOfSize(start);
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    log.WriteLog(text);
    EXPECT_EQ(OnDisk().size(), kLimit - 1);
    EXPECT_EQ(log.WritePosition(), start);
}

TEST_F(UpdateLogFile, EntryThatWouldReachTheLimitGoesToWritePosition) {
    const QString text(20, QLatin1Char('b'));
    // After the separator the file is 4 bytes short of an entry's room; the write position
    // (the length before the separator) still leaves room, so the entry covers the separator.
    const int64_t start = kLimit - EntryBytes(text) - 1;
    MakeLogOfSize(start);
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    log.WriteLog(text);

    const QByteArray bytes = OnDisk();
    EXPECT_EQ(bytes.size(), kLimit - 1);  // from the write position, just below the limit
    EXPECT_EQ(bytes.mid(start, EntryBytes(text)),
              Utf16Le(QStringLiteral("\r\n07/12/2026 21:05:08:123: ") + text));
    EXPECT_EQ(log.WritePosition(), start + EntryBytes(text));
    EXPECT_TRUE(bytes.startsWith(Bytes({0xFF, 0xFE})));
}

TEST_F(UpdateLogFile, WrapRestartsJustAfterTheByteOrderMark) {
    const QString text(40, QLatin1Char('c'));
    const int64_t start = kLimit - 50;
    MakeLogOfSize(start);
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    log.WriteLog(text);
    log.WriteLog(QStringLiteral("next"));

    const QByteArray bytes = OnDisk();
    EXPECT_EQ(bytes.size(), start + 4);
    EXPECT_EQ(bytes.left(2), Bytes({0xFF, 0xFE}));
    const QString expected = QStringLiteral("\r\n07/12/2026 21:05:08:123: ") + text +
                             QStringLiteral("\r\n07/12/2026 21:05:08:123: next");
    EXPECT_EQ(bytes.mid(2, 2 * expected.size()), Utf16Le(expected));
    EXPECT_EQ(log.WritePosition(), 2 + 2 * expected.size());
}

TEST_F(UpdateLogFile, WrappedLogKeepsCyclingWithoutGrowing) {
    MakeLogOfSize(kLimit - 10);
    TUpdateLog log(clock_, kSlashColon);
    ASSERT_TRUE(log.Open(Path()));
    const QString text(1000, QLatin1Char('d'));  // 2054 bytes per entry
    int wraps = 0;
    int32_t previous = log.WritePosition();
    for (int i = 0; i < 5100; ++i) {
        log.WriteLog(text);
        if (log.WritePosition() < previous)
            ++wraps;
        previous = log.WritePosition();
        ASSERT_LT(previous, kLimit);
    }
    EXPECT_EQ(wraps, 2);  // 4984 entries fit between offset 2 and the limit
    const QByteArray bytes = OnDisk();
    EXPECT_EQ(bytes.size(), kLimit - 6);
    EXPECT_EQ(bytes.left(2), Bytes({0xFF, 0xFE}));
}

TEST(LogStamp, FollowsTheGivenSeparatorsAndDigitCounts) {
    const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 8, 123));
    EXPECT_EQ(FormatLogStamp(when, {QLatin1Char('.'), QLatin1Char(':')}),
              QStringLiteral("07.12.2026 21:05:08:123: "));
    EXPECT_EQ(FormatLogStamp(when, {QLatin1Char('-'), QLatin1Char('.')}),
              QStringLiteral("07-12-2026 21.05.08.123. "));
    const QDateTime early(QDate(987, 1, 2), QTime(0, 0, 0, 5));
    EXPECT_EQ(FormatLogStamp(early, kSlashColon), QStringLiteral("02/01/0987 00:00:00:005: "));
}

TEST(LogStamp, YearsKeepAtLeastFourDigits) {
    const QDateTime first(QDate(1, 3, 4), QTime(9, 8, 7, 60));
    EXPECT_EQ(FormatLogStamp(first, kSlashColon), QStringLiteral("04/03/0001 09:08:07:060: "));
    const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59, 999));
    EXPECT_EQ(FormatLogStamp(last, kSlashColon), QStringLiteral("31/12/9999 23:59:59:999: "));
    const QDateTime beyond(QDate(12345, 6, 7), QTime(1, 2, 3, 4));
    EXPECT_EQ(FormatLogStamp(beyond, kSlashColon), QStringLiteral("07/06/12345 01:02:03:004: "));
}

TEST(LogDump, EveryByteValueIsTwoUpperCaseHexDigitsAndASpace) {
    std::vector<uint8_t> all(256);
    QString expected;
    for (int v = 0; v < 256; ++v) {
        all[static_cast<size_t>(v)] = static_cast<uint8_t>(v);
        expected += QString::asprintf("%02X ", v);
    }
    EXPECT_EQ(FormatLogDump(all.data(), 256), expected);
    EXPECT_EQ(FormatLogDump(all.data(), 0), QString());
    EXPECT_EQ(FormatLogDump(nullptr, 3), QString());
}

TEST(LocalClock, OffsetIsLookedUpOncePerUtcSecond) {
    LocalOffsetCache cache;
    std::vector<int64_t> asked;
    // A zone that moves from +3 h to +4 h at second 100.
    const auto lookup = [&asked](int64_t second) {
        asked.push_back(second);
        return second < 100 ? 3 * 3600 : 4 * 3600;
    };
    EXPECT_EQ(cache.OffsetAt(0, lookup), 3 * 3600);
    EXPECT_EQ(cache.OffsetAt(999, lookup), 3 * 3600);
    EXPECT_EQ(cache.OffsetAt(99'999, lookup), 3 * 3600);
    EXPECT_EQ(cache.OffsetAt(100'000, lookup), 4 * 3600);  // the transition's first millisecond
    EXPECT_EQ(cache.OffsetAt(100'999, lookup), 4 * 3600);
    EXPECT_EQ(cache.OffsetAt(-1, lookup), 3 * 3600);  // before 1970: second -1
    EXPECT_EQ(cache.OffsetAt(-1000, lookup), 3 * 3600);
    EXPECT_EQ(cache.OffsetAt(-1001, lookup), 3 * 3600);
    EXPECT_EQ(asked, (std::vector<int64_t>{0, 99, 100, -1, -2}));
}

TEST(LocalClock, SystemClockNamesTheSystemsLocalTime) {
    const QByteArray saved = qgetenv("TZ");
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    // POSIX zone rules, so that no time-zone database is needed: UTC, +5:30, and New York's
    // rules with summer time.
    struct Zone {
        const char* rules;
        int winterOffset;
        int summerOffset;
    };
    const Zone zones[] = {
        {"UTC0", 0, 0}, {"IST-5:30", 19'800, 19'800}, {"EST5EDT,M3.2.0,M11.1.0", -18'000, -14'400}};
    for (const Zone& zone : zones) {
        SCOPED_TRACE(zone.rules);
        qputenv("TZ", zone.rules);
        ::tzset();
        QDateTime now;
        // A thread of its own starts with an empty offset cache.
        std::thread([&now] {
            SystemClock clock;
            now = clock.LocalNow();
        }).join();
        const QDateTime local =
            QDateTime::fromMSecsSinceEpoch(now.toMSecsSinceEpoch(), Qt::LocalTime);
        EXPECT_EQ(now.date(), local.date());
        EXPECT_EQ(now.time(), local.time());
        EXPECT_EQ(now.offsetFromUtc(), local.offsetFromUtc());
        EXPECT_TRUE(now.offsetFromUtc() == zone.winterOffset ||
                    now.offsetFromUtc() == zone.summerOffset)
            << now.offsetFromUtc();
    }
    if (hadZone) {
        qputenv("TZ", saved);
    } else {
        qunsetenv("TZ");
    }
    ::tzset();
}

TEST(LogStamp, SeparatorsComeFromTheLocale) {
    const LogSeparators german = LogSeparatorsOf(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(german.date, QLatin1Char('.'));
    EXPECT_EQ(german.time, QLatin1Char(':'));
    const LogSeparators us = LogSeparatorsOf(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(us.date, QLatin1Char('/'));
    EXPECT_EQ(us.time, QLatin1Char(':'));
    const LogSeparators finnish = LogSeparatorsOf(QLocale(QLocale::Finnish, QLocale::Finland));
    EXPECT_EQ(finnish.date, QLatin1Char('.'));
    EXPECT_EQ(finnish.time, QLatin1Char('.'));
    const LogSeparators swedish = LogSeparatorsOf(QLocale(QLocale::Swedish, QLocale::Sweden));
    EXPECT_EQ(swedish.date, QLatin1Char('-'));
}

}  // namespace
}  // namespace kvr::test

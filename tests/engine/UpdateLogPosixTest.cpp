// The update log against a lock that another process holds (flock belongs to the open file, so
// a second descriptor of this process stands for that process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

#include "TestFiles.h"
#include "UpdateLog.h"
#include "VirtualClock.h"

namespace kvr::test {
namespace {

TEST(UpdateLogLock, HeldByAnotherWriterMeansNoEntriesAndNoHarm) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    ASSERT_TRUE(WriteAll(path, QByteArray("\xFF\xFE", 2) + Utf16Le(QStringLiteral("\r\nold"))));
    const QByteArray before = ReadAll(path);
    const int other = ::open(QFile::encodeName(path).constData(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);

    devsim::VirtualClock clock;
    TUpdateLog log(clock, LogSeparators{QLatin1Char('/'), QLatin1Char(':')});
    EXPECT_FALSE(log.Open(path));
    EXPECT_FALSE(log.IsOpen());
    log.WriteLog(QStringLiteral("lost"));
    EXPECT_EQ(ReadAll(path), before);

    ::close(other);
    EXPECT_TRUE(log.Open(path));  // free again
}

}  // namespace
}  // namespace kvr::test

// Settings files against what only POSIX systems can arrange: permission bits and a file size
// limit standing in for a full disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QFile>

#include "IniFileFixture.h"
#include "IniTestUtil.h"

namespace kvr {
namespace {

using test::ExpectCreateError;
using test::IniFileTest;
using test::ReadBytes;
using test::WriteBytes;

TEST_F(IniFileTest, UnreadableFileCannotBeOpened) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permission bits do not stop reading";
    const QString path = Path("settings.ini");
    ASSERT_TRUE(WriteBytes(path, "[Common]\nSN=1\n"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::WriteOwner));
    EXPECT_THROW(TMemIniFile ini(path), EFOpenError);
}

TEST_F(IniFileTest, SaveIntoAReadOnlyFolderKeepsTheOldFile) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permission bits do not stop writing";
    const QString sub = Path("locked");
    ASSERT_TRUE(QDir().mkdir(sub));
    const QString path = sub + "/settings.ini";
    const QByteArray old("[Common]\nSN=old\n");
    ASSERT_TRUE(WriteBytes(path, old));
    TMemIniFile ini(path);
    ini.WriteString("Common", "SN", "new");
    ASSERT_TRUE(QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    ExpectCreateError(ini);
    QFile::setPermissions(sub,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(ReadBytes(path), old);
}

// Lowers this process's file size limit for one scope, so that a write past it fails the way a
// full disk does (EFBIG instead of the SIGXFSZ signal). Root is bound by it too.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ok_ = ok_ && oldHandler_ != SIG_ERR && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        if (oldHandler_ != SIG_ERR)
            signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    sighandler_t oldHandler_ = SIG_ERR;
    bool ok_ = false;
};

TEST_F(IniFileTest, SaveThatRunsOutOfSpaceKeepsTheOldFileWhole) {
    constexpr rlim_t kLimitBytes = 4096;
    const QString path = Path("settings.ini");
    const QByteArray old("[Common]\r\nSN=old\r\n\r\n");
    ASSERT_TRUE(WriteBytes(path, old));
    TMemIniFile ini(path);
    ini.WriteString("Common", "SN", "new");
    ini.WriteString("Common", "Padding", QString(64 * 1024, u'x'));
    {
        FileSizeLimit limit(kLimitBytes);
        ASSERT_TRUE(limit.ok());
        ExpectCreateError(ini);
    }
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(Entries(), QStringList({"settings.ini"}));
}

}  // namespace
}  // namespace kvr

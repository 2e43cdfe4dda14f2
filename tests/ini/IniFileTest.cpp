// The INI object against the file system: reading, saving, and saving that fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "Exception.h"
#include "IniTestUtil.h"
#include "MemIniFile.h"

namespace kvr {
namespace {

using test::FixturePath;
using test::ReadBytes;
using test::WriteBytes;

const QString kMissing = QStringLiteral("<missing>");

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString Path(const QString& name) const { return dir_.filePath(name); }
    QStringList Entries() const {
        return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir_;
};

TEST_F(IniFileTest, MissingFileGivesAnEmptyObjectAndIsCreatedOnSave) {
    const QString path = Path("settings.ini");
    TMemIniFile ini(path);
    EXPECT_TRUE(ini.ReadSections().isEmpty());
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", 0), 0);
    EXPECT_FALSE(QFile::exists(path));  // reading never creates the file

    ini.WriteString("Common", "SN", "0");
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), QByteArray("[Common]\r\nSN=0\r\n\r\n"));
}

TEST_F(IniFileTest, FolderInPlaceOfTheFileCannotBeOpened) {
    const QString path = Path("settings.ini");
    ASSERT_TRUE(QDir().mkdir(path));
    try {
        TMemIniFile ini(path);
        FAIL() << "a folder was read as a settings file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Cannot open file \"" + path.toStdString() + "\".", 0), 0u)
            << e.what();
    }
}

TEST_F(IniFileTest, UnreadableFileCannotBeOpened) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permission bits do not stop reading";
    const QString path = Path("settings.ini");
    ASSERT_TRUE(WriteBytes(path, "[Common]\nSN=1\n"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::WriteOwner));
    EXPECT_THROW(TMemIniFile ini(path), EFOpenError);
}

TEST_F(IniFileTest, OversizedFileIsRefused) {
    const QString path = Path("huge.ini");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(TMemIniFile::kMaxIniFileBytes + 1));  // sparse: no disk used
    }
    EXPECT_THROW(TMemIniFile ini(path), EFOpenError);
}

TEST_F(IniFileTest, WriteSaveAndRereadKeepsEveryKeyAndValue) {
    const QString path = Path("roundtrip.ini");
    ASSERT_TRUE(QFile::copy(FixturePath("comments_and_foreign_section.ini"), path));
    const struct {
        QString section;
        QString key;
        QString value;
    } written[] = {
        {"Common", "PortIndex", "-1"},
        {"Common", "FileName", QStringLiteral("C:\\Прошивки\\КВР-17 — «Ё» №2.bsk")},
        {"Common", "SN", "000123"},
        {"Common", "HW", ""},
        {QStringLiteral("Журнал"), QStringLiteral("Путь"), QStringLiteral("/var/log/квр")},
        {"Calibration", "Offset", "$20"},
    };
    {
        TMemIniFile ini(path);
        for (const auto& w : written)
            ini.WriteString(w.section, w.key, w.value);
        ini.UpdateFile();
    }
    EXPECT_FALSE(ReadBytes(path).startsWith("\xEF\xBB\xBF"));  // all of it fits Windows-1251

    const TMemIniFile reread(path);
    for (const auto& w : written) {
        EXPECT_EQ(reread.ReadString(w.section, w.key, kMissing), w.value) << w.key.toStdString();
    }
    EXPECT_EQ(reread.ReadString("Calibration", "Gain", kMissing), "-7");
    EXPECT_EQ(reread.ReadSections(),
              QStringList({"Common", "Calibration", QStringLiteral("Журнал")}));
    EXPECT_EQ(reread.ReadSection("Common"), QStringList({"PortIndex", "SN", "FileName", "HW"}));
    EXPECT_EQ(Entries(), QStringList({"roundtrip.ini"}));  // no temporary file left behind
}

TEST_F(IniFileTest, PathOutsideWindows1251SurvivesSaveAndReread) {
    const QString path = Path("unicode.ini");
    const QString picked = QStringLiteral("/home/οπερατέρ/ファーム/КВР-17.bsk");
    {
        TMemIniFile ini(path);
        ini.WriteString("Common", "FileName", picked);
        ini.UpdateFile();
    }
    EXPECT_TRUE(ReadBytes(path).startsWith("\xEF\xBB\xBF"));
    EXPECT_EQ(TMemIniFile(path).ReadString("Common", "FileName", kMissing), picked);
}

TEST_F(IniFileTest, SaveReplacesTheWholeOldContent) {
    const QString path = Path("settings.ini");
    ASSERT_TRUE(WriteBytes(path, QByteArray(4000, ';') + "\n[Common]\nSN=1\n"));
    TMemIniFile ini(path);
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), QByteArray("[Common]\r\nSN=1\r\n\r\n"));
}

// Saving that fails must name the file and leave what was there untouched.
void ExpectCreateError(const TMemIniFile& ini) {
    try {
        ini.UpdateFile();
        FAIL() << "saving succeeded";
    } catch (const EFileStreamError& e) {
        const std::string expected = "Cannot create file \"" + ini.FileName().toStdString() + "\".";
        EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
    }
}

TEST_F(IniFileTest, SaveOverAFolderFailsAndKeepsTheFolder) {
    const QString path = Path("settings.ini");
    ASSERT_TRUE(QDir().mkdir(path));
    ASSERT_TRUE(WriteBytes(path + "/inside.txt", "kept"));
    TMemIniFile ini(path, QByteArray("[Common]\nSN=1\n"));
    ExpectCreateError(ini);
    EXPECT_TRUE(QFileInfo(path).isDir());
    EXPECT_EQ(ReadBytes(path + "/inside.txt"), QByteArray("kept"));
    EXPECT_EQ(Entries(), QStringList({"settings.ini"}));
}

TEST_F(IniFileTest, SaveIntoAMissingFolderFailsAndCreatesNothing) {
    TMemIniFile ini(Path("no-such-folder/settings.ini"), QByteArray("[Common]\nSN=1\n"));
    ExpectCreateError(ini);
    EXPECT_TRUE(Entries().isEmpty());
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

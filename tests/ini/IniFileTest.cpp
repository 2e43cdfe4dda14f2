// The INI object against the file system: reading, saving, and saving that fails.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "Exception.h"
#include "IniFileFixture.h"
#include "IniTestUtil.h"
#include "MemIniFile.h"

namespace kvr {
namespace {

using test::ExpectCreateError;
using test::FixturePath;
using test::IniFileTest;
using test::ReadBytes;
using test::WriteBytes;

const QString kMissing = QStringLiteral("<missing>");

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

}  // namespace
}  // namespace kvr

// A temporary folder for settings files, and the check that a failed save names its file.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <string>

#include "Exception.h"
#include "MemIniFile.h"

namespace kvr::test {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString Path(const QString& name) const { return dir_.filePath(name); }
    QStringList Entries() const {
        return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir_;
};

// Saving that fails must name the file and leave what was there untouched.
inline void ExpectCreateError(const TMemIniFile& ini) {
    try {
        ini.UpdateFile();
        FAIL() << "saving succeeded";
    } catch (const EFileStreamError& e) {
        const std::string expected = "Cannot create file \"" + ini.FileName().toStdString() + "\".";
        EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
    }
}

}  // namespace kvr::test

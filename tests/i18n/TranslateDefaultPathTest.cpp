// OpenLanguageFile() without a path finds "ru.lng" beside the executable. This executable
// lives in a folder of its own, so the file it puts there disturbs nothing else.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "MemIniFile.h"
#include "Translate.h"

namespace kvr {
namespace {

QString BesideExecutable() {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("ru.lng"));
}

class LanguageFileBesideExecutable : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(BesideExecutable()); }
    void TearDown() override {
        ReleaseLanguageFile();
        QFile::remove(BesideExecutable());
    }
};

TEST_F(LanguageFileBesideExecutable, IsFoundAndReadFromSectionRu) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(KVR_LNG_DATA_DIR "/ru_cp1251.lng"), BesideExecutable()));
    OpenLanguageFile();
    EXPECT_EQ(LanguageCode(), QStringLiteral("ru"));
    ASSERT_NE(LanguageFile(), nullptr);
    EXPECT_EQ(QFileInfo(LanguageFile()->FileName()).canonicalFilePath(),
              QFileInfo(BesideExecutable()).canonicalFilePath());
    EXPECT_EQ(Translate(QStringLiteral("ошибка обмена!")), QStringLiteral("Exchange failure"));
}

TEST_F(LanguageFileBesideExecutable, MissingFileStillOpensAndTranslatesNothing) {
    OpenLanguageFile();
    EXPECT_EQ(LanguageCode(), QStringLiteral("ru"));
    ASSERT_NE(LanguageFile(), nullptr);
    EXPECT_EQ(Translate(QStringLiteral("Ошибка обмена! ")), QStringLiteral("Ошибка обмена!"));
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
    // The executable's folder comes from the application object.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Nothing has opened the language file yet.
    if (!kvr::LanguageCode().isEmpty() || kvr::LanguageFile() != nullptr) {
        fprintf(stderr, "language file state set before any open\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}

// Translate through a language file: trimming, letter case, "NULL", empty values, sections.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "Exception.h"
#include "MemIniFile.h"
#include "Translate.h"

namespace kvr {
namespace {

QString LngPath(const char* name) {
    return QStringLiteral(KVR_LNG_DATA_DIR "/") + QString::fromUtf8(name);
}

TEST(TranslateWithoutLanguageFile, ReturnsTheTextTrimmedOfControlCharacters) {
    ReleaseLanguageFile();
    EXPECT_EQ(LanguageFile(), nullptr);
    EXPECT_EQ(Translate(QStringLiteral("Ошибка CRC! ")), QStringLiteral("Ошибка CRC!"));
    EXPECT_EQ(Translate(QStringLiteral("\t\x01 Нет ответа!\r\n")), QStringLiteral("Нет ответа!"));
    EXPECT_EQ(Translate(QStringLiteral("\u00A0кв\u00A0")), QStringLiteral("\u00A0кв\u00A0"));
    EXPECT_EQ(Translate(QString()), QString());
}

// The same language file in two encodings must translate alike.
class TranslateWithFile : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        OpenLanguageFile(LngPath(GetParam()));
        ASSERT_NE(LanguageFile(), nullptr);
        ASSERT_EQ(LanguageCode(), QStringLiteral("ru"));
    }
    void TearDown() override { ReleaseLanguageFile(); }
};

TEST_P(TranslateWithFile, MatchesKeysInAnyLetterCase) {
    EXPECT_EQ(Translate(QStringLiteral("Ошибка обмена!")), QStringLiteral("Exchange failure"));
    EXPECT_EQ(Translate(QStringLiteral("ОШИБКА ОБМЕНА!")), QStringLiteral("Exchange failure"));
}

TEST_P(TranslateWithFile, IgnoresBlanksAroundTheEqualsSignAndAroundTheText) {
    EXPECT_EQ(Translate(QStringLiteral("Ошибка CRC!")), QStringLiteral("Checksum failure"));
    EXPECT_EQ(Translate(QStringLiteral("  Ошибка CRC! \r\n")), QStringLiteral("Checksum failure"));
}

TEST_P(TranslateWithFile, NullMeansNoTranslationOnlyInUpperCase) {
    EXPECT_EQ(Translate(QStringLiteral("Нет ответа! ")), QStringLiteral("Нет ответа!"));
    EXPECT_EQ(Translate(QStringLiteral("Обновление успешно завершено!")), QStringLiteral("null"));
}

TEST_P(TranslateWithFile, EmptyValueTranslatesToEmptyText) {
    const QString translated = Translate(QStringLiteral("Ошибка записи страницы!"));
    EXPECT_TRUE(translated.isEmpty());
}

TEST_P(TranslateWithFile, EntriesOfOtherSectionsAreIgnored) {
    EXPECT_EQ(Translate(QStringLiteral("Ошибка подключения!")),
              QStringLiteral("Ошибка подключения!"));
}

TEST_P(TranslateWithFile, MissingEntryGivesTheTrimmedText) {
    EXPECT_EQ(Translate(QStringLiteral(" Ошибка обновления!\n")),
              QStringLiteral("Ошибка обновления!"));
}

TEST_P(TranslateWithFile, MessagesWithEqualsOrSeveralLinesStayUntranslated) {
    EXPECT_EQ(Translate(QStringLiteral("Ключ=со знаком")), QStringLiteral("Ключ=со знаком"));
    EXPECT_EQ(Translate(QStringLiteral("Ключ")), QStringLiteral("со знаком=перевод"));
    EXPECT_EQ(Translate(QStringLiteral("Ошибка CRC!\nОшибка обмена!")),
              QStringLiteral("Ошибка CRC!\nОшибка обмена!"));
}

INSTANTIATE_TEST_SUITE_P(Encodings, TranslateWithFile,
                         ::testing::Values("ru_cp1251.lng", "ru_utf16le_bom.lng"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             return name.substr(0, name.find('.'));
                         });

TEST(TranslateLifecycle, MissingLanguageFileLeavesEveryTextUntranslated) {
    OpenLanguageFile(QStringLiteral("/nonexistent-folder/ru.lng"));
    ASSERT_NE(LanguageFile(), nullptr);
    EXPECT_EQ(Translate(QStringLiteral("Ошибка обмена! ")), QStringLiteral("Ошибка обмена!"));
    ReleaseLanguageFile();
}

TEST(TranslateLifecycle, AfterReleaseTextsComeBackTrimmed) {
    OpenLanguageFile(LngPath("ru_cp1251.lng"));
    ASSERT_EQ(Translate(QStringLiteral("Ошибка обмена!")), QStringLiteral("Exchange failure"));
    ReleaseLanguageFile();
    EXPECT_EQ(LanguageFile(), nullptr);
    EXPECT_EQ(Translate(QStringLiteral("Ошибка обмена! ")), QStringLiteral("Ошибка обмена!"));
}

TEST(TranslateLifecycle, UnreadableFileThrowsAndKeepsThePreviousOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folderNamedLikeTheFile = dir.filePath("ru.lng");
    ASSERT_TRUE(QDir().mkdir(folderNamedLikeTheFile));

    OpenLanguageFile(LngPath("ru_cp1251.lng"));
    const TMemIniFile* before = LanguageFile();
    EXPECT_THROW(OpenLanguageFile(folderNamedLikeTheFile), EFOpenError);
    EXPECT_EQ(LanguageFile(), before);
    EXPECT_EQ(Translate(QStringLiteral("Ошибка обмена!")), QStringLiteral("Exchange failure"));
    ReleaseLanguageFile();
}

TEST(TranslateLifecycle, ReopeningReadsTheFileAgain) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("ru.lng");
    auto write = [&path](const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    ASSERT_TRUE(write("[ru]\nHello=first\n"));
    OpenLanguageFile(path);
    ASSERT_TRUE(write("[ru]\nHello=second\n"));
    EXPECT_EQ(Translate("Hello"), "first");  // read once, at open
    OpenLanguageFile(path);
    EXPECT_EQ(Translate("Hello"), "second");
    ReleaseLanguageFile();
}

}  // namespace
}  // namespace kvr

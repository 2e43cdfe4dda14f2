// The text rules of the INI object: lines, sections, keys, lookups, writes and the saved layout.
#include <gtest/gtest.h>

#include <climits>
#include <optional>

#include "Exception.h"
#include "IniTestUtil.h"
#include "MemIniFile.h"

namespace kvr {
namespace {

using test::FixturePath;
using test::IniFromText;

const QString kMissing = QStringLiteral("<missing>");

TEST(IniReading, DropsCommentsBlankLinesAndLinesBeforeTheFirstSection) {
    const TMemIniFile ini(FixturePath("comments_and_foreign_section.ini"));
    EXPECT_EQ(ini.ReadSections(), QStringList({"Common", "Calibration"}));
    EXPECT_EQ(ini.ReadSection("Common"), QStringList({"PortIndex", "SN"}));
    EXPECT_EQ(ini.ReadString("Common", "stray", kMissing), kMissing);
    EXPECT_EQ(ini.ReadString("Common", "; indented comment", kMissing), kMissing);
}

TEST(IniReading, TrimsLinesKeysAndValuesOfBlanksAndControlCharacters) {
    const TMemIniFile ini(FixturePath("comments_and_foreign_section.ini"));
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", -1), 2);
    EXPECT_EQ(ini.ReadString("Common", "SN", kMissing), "00123");

    const TMemIniFile controls = IniFromText("\x01[ Sec ]\x1F\n\x02 Key \x03=\x04 a b \x05\r\n");
    EXPECT_EQ(controls.ReadString("Sec", "Key", kMissing), "a b");
}

TEST(IniReading, KeepsBlanksAboveCode32) {
    // A no-break space is not a blank of the format: it stays part of the value and the key.
    const TMemIniFile ini = IniFromText("[S]\nKey\xC2\xA0=\xC2\xA0value\xC2\xA0\n");
    EXPECT_EQ(ini.ReadString("S", "Key", kMissing), kMissing);
    EXPECT_EQ(ini.ReadString("S", QStringLiteral("Key\u00A0"), kMissing),
              QStringLiteral("\u00A0value\u00A0"));
}

TEST(IniReading, SplitsAtTheFirstEqualsSign) {
    const TMemIniFile ini = IniFromText("[S]\nA = b = c\n=no key\n");
    EXPECT_EQ(ini.ReadString("S", "A", kMissing), "b = c");
    EXPECT_EQ(ini.ReadString("S", "A = b", kMissing), kMissing);
    EXPECT_EQ(ini.ReadString("S", "", kMissing), "no key");
}

TEST(IniReading, EmptyValueIsEmptyTextNotTheDefault) {
    const TMemIniFile ini = IniFromText("[S]\nEmpty=\nBlank=   \n");
    EXPECT_EQ(ini.ReadString("S", "Empty", kMissing), "");
    EXPECT_EQ(ini.ReadString("S", "Blank", kMissing), "");
    EXPECT_EQ(ini.ReadInteger("S", "Empty", 17), 17);
}

TEST(IniReading, MissingSectionOrKeyGivesTheDefault) {
    const TMemIniFile ini = IniFromText("[S]\nKey=1\n");
    EXPECT_EQ(ini.ReadString("Other", "Key", kMissing), kMissing);
    EXPECT_EQ(ini.ReadString("S", "Other", kMissing), kMissing);
    EXPECT_EQ(ini.ReadInteger("Other", "Key", -5), -5);
    EXPECT_FALSE(ini.SectionExists("Other"));
    EXPECT_TRUE(ini.ReadSection("Other").isEmpty());
}

TEST(IniReading, SectionHeaderNeedsBothBrackets) {
    const TMemIniFile ini = IniFromText("[S]\n[Open\nClose]\n[ ]\nK=v\n");
    EXPECT_EQ(ini.ReadSections(), QStringList({"S", ""}));
    EXPECT_EQ(ini.ReadString("", "K", kMissing), "v");
    EXPECT_TRUE(ini.ReadSection("S").isEmpty());  // "[Open" and "Close]" are lines without "="
}

TEST(IniReading, LineWithoutEqualsMatchesNoKey) {
    const TMemIniFile ini(FixturePath("comments_and_foreign_section.ini"));
    EXPECT_EQ(ini.ReadString("Common", "just a note without equals", kMissing), kMissing);
}

TEST(IniCase, SectionsAndKeysMatchInAnyLetterCaseCyrillicIncluded) {
    const TMemIniFile ini(FixturePath("duplicate_sections_and_keys.ini"));
    EXPECT_TRUE(ini.SectionExists("COMMON"));
    EXPECT_TRUE(ini.SectionExists(QStringLiteral("Порты")));
    EXPECT_EQ(ini.ReadString(QStringLiteral("пОрТы"), QStringLiteral("ЁМКОСТЬ"), kMissing),
              QStringLiteral("новое"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("порты"), QStringLiteral("емкость"), kMissing),
              kMissing);  // Е and Ё are different letters
}

TEST(IniDuplicates, LastOccurrenceOfSectionAndKeyWins) {
    const TMemIniFile ini(FixturePath("duplicate_sections_and_keys.ini"));
    EXPECT_EQ(ini.ReadString("Common", "SN", kMissing), "third");
    // Only the last "[Common]" is looked at.
    EXPECT_EQ(ini.ReadString("Common", "OnlyInFirst", kMissing), kMissing);
    EXPECT_EQ(ini.ReadSections(), QStringList({"Common", QStringLiteral("ПОРТЫ")}));
    EXPECT_EQ(ini.ReadSection("COMMON"), QStringList({"sn"}));
}

TEST(IniDuplicates, WriteReplacesTheLastOccurrenceAndKeepsTheRest) {
    TMemIniFile ini(FixturePath("duplicate_sections_and_keys.ini"));
    ini.WriteString("COMMON", "Sn", "new");
    ini.WriteString("Common", "OnlyInFirst", "2");
    const QString saved = DecodeIniText(ini.Serialize());
    EXPECT_EQ(saved, QStringLiteral("[Common]\r\nSN=first\r\nOnlyInFirst=1\r\n\r\n"
                                    "[common]\r\nsn=second\r\nSN=new\r\nOnlyInFirst=2\r\n\r\n"
                                    "[ПОРТЫ]\r\nЁмкость=старое\r\n\r\n"
                                    "[порты]\r\nёМКОСТЬ=новое\r\n\r\n"));
}

TEST(IniWriting, ReplacesInPlaceAppendsToItsSectionAndAddsSectionsAtTheEnd) {
    TMemIniFile ini = IniFromText("[A]\nOne=1\nTwo=2\n[B]\nThree=3\n");
    ini.WriteString("a", "ONE", "uno");
    ini.WriteInteger("A", "Four", -4);
    ini.WriteString("C", "Five", "5");
    EXPECT_EQ(ini.Serialize(), QByteArray("[A]\r\nOne=uno\r\nTwo=2\r\nFour=-4\r\n\r\n"
                                          "[B]\r\nThree=3\r\n\r\n"
                                          "[C]\r\nFive=5\r\n\r\n"));
    EXPECT_EQ(ini.ReadInteger("A", "four", 0), -4);
}

TEST(IniWriting, FirstWrittenFileKeepsKeysInWriteOrder) {
    TMemIniFile ini(QStringLiteral("never-created.ini"), QByteArray());
    EXPECT_TRUE(ini.Serialize().isEmpty());
    ini.WriteInteger("Common", "PortIndex", -1);
    ini.WriteString("Common", "FileName", "");
    ini.WriteString("Common", "SN", "0");
    ini.WriteString("Common", "HW", "0");
    EXPECT_EQ(ini.Serialize(),
              QByteArray("[Common]\r\nPortIndex=-1\r\nFileName=\r\nSN=0\r\nHW=0\r\n\r\n"));
}

TEST(IniWriting, CommentsAreLostUnknownSectionsAndLinesWithoutEqualsSurvive) {
    TMemIniFile ini(FixturePath("comments_and_foreign_section.ini"));
    ini.WriteInteger("Common", "PortIndex", 3);
    EXPECT_EQ(ini.Serialize(), QByteArray("[Common]\r\nPortIndex=3\r\nSN=00123\r\n"
                                          "just a note without equals\r\n\r\n"
                                          "[Calibration]\r\nOffset=$1F\r\nGain=-7\r\n\r\n"));
}

TEST(IniWriting, RefusesTextThatWouldNotReadBackAndChangesNothing) {
    TMemIniFile ini = IniFromText("[S]\nK=v\n");
    const QByteArray before = ini.Serialize();
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } refused[] = {
        {"S", "K", "two\nlines"}, {"S", "K", "carriage\rreturn"},
        {"S\n", "K", "v"},        {"S", "K\r\n", "v"},
        {"S", "", "v"},           {"S", "a=b", "v"},
        {"S", ";comment", "v"},   {"S", "[x", "y]"},
        {"S", " K", "v"},         {"S", "K\t", "v"},
        {" S", "K", "v"},         {"New ", "K", "v"},
    };
    for (const auto& r : refused) {
        EXPECT_THROW(ini.WriteString(r.section, r.key, r.value), Exception)
            << r.section << "|" << r.key << "|" << r.value;
    }
    EXPECT_EQ(ini.Serialize(), before);
}

TEST(IniWriting, OddButLegalNamesAndValuesReadBackUnchanged) {
    const struct {
        QString section;
        QString key;
        QString value;
    } entries[] = {
        {"]odd[ name]", "a[b]", "[value]"},
        {"", "Semicolon", ";not a comment"},
        {"S", "Equals", "=x=y="},
        {"S", "Inner  blanks", "a \t b"},
        {QStringLiteral("Раздел"), QStringLiteral("Ключ"), QStringLiteral("Значение")},
    };
    TMemIniFile ini(QStringLiteral("x.ini"), QByteArray());
    for (const auto& e : entries)
        ini.WriteString(e.section, e.key, e.value);
    const TMemIniFile reread(QStringLiteral("x.ini"), ini.Serialize());
    for (const auto& e : entries) {
        EXPECT_EQ(reread.ReadString(e.section, e.key, kMissing), e.value) << e.key.toStdString();
    }
}

struct IntegerCase {
    const char* text;
    std::optional<int> expected;
};

class IniIntegerParsing : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IniIntegerParsing, ReadsDecimalAndHexadecimalWithinIntRange) {
    const IntegerCase& c = GetParam();
    EXPECT_EQ(ParseIniInteger(QString::fromUtf8(c.text)), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniIntegerParsing,
    ::testing::Values(
        IntegerCase{"0", 0}, IntegerCase{"42", 42}, IntegerCase{"+42", 42}, IntegerCase{"-42", -42},
        IntegerCase{"007", 7}, IntegerCase{"0x1F", 31}, IntegerCase{"0X1f", 31},
        IntegerCase{"$ff", 255}, IntegerCase{"$FF", 255}, IntegerCase{"-$10", -16},
        IntegerCase{"-0x10", -16}, IntegerCase{"0x00000000000000FF", 255},
        IntegerCase{"2147483647", INT_MAX}, IntegerCase{"-2147483648", INT_MIN},
        IntegerCase{"$7FFFFFFF", INT_MAX}, IntegerCase{"-$80000000", INT_MIN},
        IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483649", std::nullopt},
        IntegerCase{"$80000000", std::nullopt}, IntegerCase{"$FFFFFFFF", std::nullopt},
        IntegerCase{"99999999999999999999999", std::nullopt}, IntegerCase{"", std::nullopt},
        IntegerCase{"-", std::nullopt}, IntegerCase{"+", std::nullopt},
        IntegerCase{"$", std::nullopt}, IntegerCase{"0x", std::nullopt},
        IntegerCase{"x10", std::nullopt}, IntegerCase{"12abc", std::nullopt},
        IntegerCase{"1 2", std::nullopt}, IntegerCase{" 12", std::nullopt},
        IntegerCase{"0x1G", std::nullopt}, IntegerCase{"$-1", std::nullopt},
        IntegerCase{"--1", std::nullopt}, IntegerCase{"1e3", std::nullopt},
        IntegerCase{"1.0", std::nullopt}, IntegerCase{"abc", std::nullopt},
        IntegerCase{"\xD9\xA1\xD9\xA2", std::nullopt},  // Arabic-Indic digits
        IntegerCase{"\xEF\xBC\x91", std::nullopt}));    // full-width one

TEST(IniIntegers, ReadIntegerFallsBackToTheDefaultOnNoNumber) {
    const TMemIniFile ini =
        IniFromText("[Common]\nPortIndex=abc\nHex=$1f\nSpaced =  0x10 \nBig=4294967296\n");
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", 0), 0);
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", 9), 9);
    EXPECT_EQ(ini.ReadInteger("Common", "Hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Common", "Spaced", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Common", "Big", -1), -1);
}

TEST(IniText, TrimControlCharsStripsOnlyCodesUpTo32) {
    EXPECT_EQ(TrimControlChars(QStringLiteral("\x01\t \r\n x y \x1F\x20")), "x y");
    EXPECT_EQ(TrimControlChars(QStringLiteral("\u00A0x\u3000")), QStringLiteral("\u00A0x\u3000"));
    EXPECT_EQ(TrimControlChars(QStringLiteral(" \t\r\n")), "");
    EXPECT_EQ(TrimControlChars(QString()), "");
    EXPECT_EQ(TrimControlChars(QStringLiteral("\x21!")), "!!");
}

}  // namespace
}  // namespace kvr

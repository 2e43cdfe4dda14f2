// How INI bytes become text and back: byte-order marks, UTF-8 detection, Windows-1251.
#include <gtest/gtest.h>

#include <set>

#include "IniTestUtil.h"
#include "MemIniFile.h"

namespace kvr {
namespace {

using test::FixturePath;

const QString kMissing = QStringLiteral("<missing>");
const QString kSerial = QStringLiteral("Серийный №5");
const QString kFileName = QStringLiteral("C:\\Прошивки\\КВР-17 — версия «Ё».bsk");

class IniEncodingFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(IniEncodingFixture, ReadsTheSameSettings) {
    const TMemIniFile ini(FixturePath(GetParam()));
    EXPECT_EQ(ini.ReadSections(), QStringList({"Common"}));
    EXPECT_EQ(ini.ReadString("Common", "SN", kMissing), kSerial);
    EXPECT_EQ(ini.ReadString("Common", "FileName", kMissing), kFileName);
}

INSTANTIATE_TEST_SUITE_P(Files, IniEncodingFixture,
                         ::testing::Values("encoding_cp1251_no_bom.ini",
                                           "encoding_cp1251_lf_line_ends.ini",
                                           "encoding_utf8_no_bom.ini",
                                           "encoding_utf8_cr_line_ends.ini",
                                           "encoding_utf8_bom.ini", "encoding_utf16le_bom.ini",
                                           "encoding_utf16be_bom.ini"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             return name.substr(0, name.find('.'));
                         });

TEST(IniDecoding, Cp1251TableMapsKnownLetters) {
    const struct {
        unsigned char byte;
        char16_t expected;
    } known[] = {
        {0xC0, u'А'},      {0xDF, u'Я'}, {0xE0, u'а'}, {0xFF, u'я'}, {0xA8, u'Ё'}, {0xB8, u'ё'},
        {0xB9, u'№'},      {0x88, u'€'}, {0x96, u'–'}, {0x97, u'—'}, {0xAB, u'«'}, {0xBB, u'»'},
        {0xA0, u'\u00A0'}, {0x80, u'Ђ'}, {0xA5, u'Ґ'}, {0xB4, u'ґ'}, {0xB2, u'І'}, {0xBF, u'ї'},
    };
    for (const auto& k : known) {
        // A lone high byte is never valid UTF-8, so this is the Windows-1251 path.
        const QString text = DecodeIniText(QByteArray(1, static_cast<char>(k.byte)));
        ASSERT_EQ(text.size(), 1);
        EXPECT_EQ(text[0].unicode(), k.expected) << "byte " << int(k.byte);
    }
}

TEST(IniDecoding, EveryCp1251ByteRoundTripsToItselfThroughDistinctCharacters) {
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = DecodeIniText(all);
    ASSERT_EQ(text.size(), all.size());
    std::set<char16_t> distinct;
    for (QChar c : text)
        distinct.insert(c.unicode());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(all.size()));
    EXPECT_EQ(EncodeIniText(text), all);
}

TEST(IniDecoding, AsciiOnlyIsReadAsIs) {
    EXPECT_EQ(DecodeIniText(QByteArray("[A]\r\nk=v\tw")), QStringLiteral("[A]\r\nk=v\tw"));
    EXPECT_EQ(DecodeIniText(QByteArray()), QString());
}

TEST(IniDecoding, ValidUtf8WithNonAsciiIsUtf8) {
    EXPECT_EQ(DecodeIniText(QByteArray("k=\xD0\x9F\xD1\x80\xD0\xB8")), QStringLiteral("k=При"));
    EXPECT_EQ(DecodeIniText(QByteArray("\xF0\x9F\x98\x80")), QStringLiteral("\U0001F600"));
}

TEST(IniDecoding, MalformedUtf8WithoutMarkIsWindows1251) {
    const struct {
        const char* bytes;
        const char16_t* expected;
    } cases[] = {
        {"\xC3\x28", u"Г("},            // lead byte without continuation
        {"\xC0\xAF", u"АЇ"},            // overlong "/"
        {"\xED\xA0\x80", u"н\u00A0Ђ"},  // UTF-16 surrogate
        {"\xF4\x90\x80\x80", u"фђЂЂ"},  // above U+10FFFF
        {"ok \xE2\x82", u"ok в‚"},      // truncated at the end
        {"\xD0\x9F\xBF", u"Рџї"},       // valid pair, then a stray continuation
    };
    for (const auto& c : cases) {
        const QByteArray bytes(c.bytes);
        EXPECT_FALSE(IsValidUtf8(bytes)) << c.bytes;
        EXPECT_EQ(DecodeIniText(bytes), QString::fromUtf16(c.expected)) << c.bytes;
    }
}

TEST(IniDecoding, Utf8ValidatorAcceptsTheEdgesOfTheRange) {
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xC2\x80")));           // U+0080
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xDF\xBF")));           // U+07FF
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xE0\xA0\x80")));       // U+0800
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xED\x9F\xBF")));       // U+D7FF
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xEE\x80\x80")));       // U+E000
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xF0\x90\x80\x80")));   // U+10000
    EXPECT_TRUE(IsValidUtf8(QByteArray("\xF4\x8F\xBF\xBF")));   // U+10FFFF
    EXPECT_FALSE(IsValidUtf8(QByteArray("\xE0\x9F\xBF")));      // overlong U+07FF
    EXPECT_FALSE(IsValidUtf8(QByteArray("\xF0\x8F\xBF\xBF")));  // overlong U+FFFF
    EXPECT_FALSE(IsValidUtf8(QByteArray("\xF8\x88\x80\x80\x80")));
    EXPECT_FALSE(IsValidUtf8(QByteArray("\x80")));
    EXPECT_FALSE(IsValidUtf8(QByteArray("\xFF")));
}

TEST(IniDecoding, ByteOrderMarkDecidesOverContent) {
    // Without the mark these bytes would be UTF-8 ("П"); the mark says UTF-16 LE.
    EXPECT_EQ(DecodeIniText(QByteArray("\xFF\xFE\x1F\x04", 4)), QStringLiteral("П"));
    EXPECT_EQ(DecodeIniText(QByteArray("\xFE\xFF\x04\x1F", 4)), QStringLiteral("П"));
    // A UTF-8 mark in front of bytes that are not UTF-8: replacement characters, not 1251.
    const QString broken =
        DecodeIniText(QByteArray("\xEF\xBB\xBF"
                                 "a\xC0z"));
    EXPECT_TRUE(broken.startsWith(u'a'));
    EXPECT_TRUE(broken.endsWith(u'z'));
    EXPECT_TRUE(broken.contains(QChar(0xFFFD)));
}

TEST(IniDecoding, MarkOnlyAndOddUtf16LengthsStayInsideTheBuffer) {
    EXPECT_EQ(DecodeIniText(QByteArray("\xEF\xBB\xBF")), QString());
    EXPECT_EQ(DecodeIniText(QByteArray("\xFF\xFE", 2)), QString());
    EXPECT_EQ(DecodeIniText(QByteArray("\xFE\xFF", 2)), QString());
    EXPECT_EQ(DecodeIniText(QByteArray("\xFF\xFE"
                                       "A\0B",
                                       5)),
              QString(QStringLiteral("A") + QChar(0xFFFD)));
    EXPECT_EQ(DecodeIniText(QByteArray("\xFE\xFF\0A\0", 5)),
              QString(QStringLiteral("A") + QChar(0xFFFD)));
}

TEST(IniEncoding, TextThatFitsIsWrittenAsWindows1251WithoutMark) {
    EXPECT_EQ(EncodeIniText(QStringLiteral("[Common]\r\nSN=Привет №1\r\n")),
              QByteArray("[Common]\r\nSN=\xCF\xF0\xE8\xE2\xE5\xF2 \xB9"
                         "1\r\n"));
    EXPECT_EQ(EncodeIniText(QStringLiteral("plain")), QByteArray("plain"));
}

TEST(IniEncoding, TextThatDoesNotFitIsUtf8WithMarkAndReadsBack) {
    const QString texts[] = {
        QStringLiteral("FileName=/home/оператор/ファーム/κβρ.bsk"),
        QStringLiteral("Emoji=\U0001F600"),
        QStringLiteral("Greek=Ω"),
    };
    for (const QString& text : texts) {
        const QByteArray bytes = EncodeIniText(text);
        EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << text.toStdString();
        EXPECT_EQ(DecodeIniText(bytes), text);
    }
}

TEST(IniEncoding, Windows1251BytesThatWouldReadBackDifferentlyGoOutAsUtf8) {
    // "Рџ" is D0 9F in Windows-1251, which is valid UTF-8 for "П"; "яю" is FF FE, a UTF-16
    // mark; "п»ї" is EF BB BF, a UTF-8 mark.
    const QString texts[] = {QStringLiteral("Рџ"), QStringLiteral("яю[Common]"),
                             QStringLiteral("п»ї[Common]"), QStringLiteral("юя")};
    for (const QString& text : texts) {
        const QByteArray bytes = EncodeIniText(text);
        EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << text.toStdString();
        EXPECT_EQ(DecodeIniText(bytes), text) << text.toStdString();
    }
}

TEST(IniEncoding, ObjectRoundTripKeepsTextInEitherEncoding) {
    for (const QString& value : {QStringLiteral("Серийный №5 «Ё»"), QStringLiteral("ファーム")}) {
        TMemIniFile ini(QStringLiteral("x.ini"), QByteArray());
        ini.WriteString(QStringLiteral("Раздел"), QStringLiteral("Ключ"), value);
        const TMemIniFile reread(QStringLiteral("x.ini"), ini.Serialize());
        EXPECT_EQ(reread.ReadString(QStringLiteral("раздел"), QStringLiteral("КЛЮЧ"), kMissing),
                  value);
    }
}

}  // namespace
}  // namespace kvr

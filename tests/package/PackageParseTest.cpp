// The package parser over bytes made by the builder: validation order and texts, the page
// split, progress reports, and that a failure leaves the previous package alone.
#include <gtest/gtest.h>
#include "PackageMessages.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>

#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "Translate.h"

namespace kvr {
namespace {

using test::BuildPackage;
using test::PackageOptions;
using test::PutU16;
using test::StampChecksum;

using namespace kvr::test;  // the loader's texts

struct Outcome {
    bool ok = false;
    QString error;
    UpdatePackage package;
    std::vector<int> progress;
};

Outcome Parse(const QByteArray& bytes) {
    Outcome o;
    o.ok = ParseUpdatePackage(bytes, o.package, o.error,
                              [&o](int percent) { o.progress.push_back(percent); });
    return o;
}

// The parser's failure text, or "" when it loads.
QString FailureOf(const QByteArray& bytes) {
    const Outcome o = Parse(bytes);
    return o.ok ? QString() : o.error;
}

PackageOptions SmallOptions() {
    PackageOptions o;
    o.pageCount = 4;
    o.pageSize = 128;
    o.hardwareVersions = {9, 10, 1};
    o.programVersions = {0x1203, 0x10A5};
    o.seed = 5;
    return o;
}

void ExpectSamePackage(const UpdatePackage& a, const UpdatePackage& b) {
    EXPECT_EQ(a.pageSize, b.pageSize);
    EXPECT_EQ(a.hwPrefixMajor, b.hwPrefixMajor);
    EXPECT_EQ(a.hwPrefixMinor, b.hwPrefixMinor);
    EXPECT_EQ(a.hardwareVersions, b.hardwareVersions);
    EXPECT_EQ(a.programVersions, b.programVersions);
    ASSERT_EQ(a.pages.size(), b.pages.size());
    for (auto ia = a.pages.begin(), ib = b.pages.begin(); ia != a.pages.end(); ++ia, ++ib) {
        EXPECT_EQ(ia->first, ib->first);
        EXPECT_EQ(ia->second.pageHeader, ib->second.pageHeader);
        EXPECT_EQ(ia->second.pageData, ib->second.pageData);
    }
}

// ---- the page split and the model --------------------------------------------------------

TEST(PackageSplit, PagesAreTheFileCutIntoPageSizeSlices) {
    PackageOptions options = SmallOptions();
    options.hwPrefixMajor = 200;
    options.hwPrefixMinor = 0xBEEF;
    const QByteArray file = BuildPackage(options);
    const Outcome o = Parse(file);
    ASSERT_TRUE(o.ok) << o.error.toStdString();

    EXPECT_EQ(o.package.pageSize, 128u);
    EXPECT_EQ(o.package.hwPrefixMajor, 200);
    EXPECT_EQ(o.package.hwPrefixMinor, 0xBEEF);
    EXPECT_EQ(o.package.hardwareVersions, options.hardwareVersions);  // file order, not sorted
    EXPECT_EQ(o.package.programVersions, options.programVersions);
    ASSERT_EQ(o.package.pages.size(), 4u);
    int32_t expectedKey = 0;
    for (const auto& [key, page] : o.package.pages) {
        EXPECT_EQ(key, expectedKey);
        const QByteArray slice = file.mid(key * 128, 128);
        EXPECT_EQ(0, std::memcmp(page.pageHeader.data(), slice.constData(), 8)) << key;
        EXPECT_EQ(page.pageData, slice.mid(8)) << key;
        ++expectedKey;
    }
}

TEST(PackageSplit, OnePagePackageStartsWithTheSignatureAndKeepsTheBarAtZero) {
    PackageOptions options = SmallOptions();
    options.pageCount = 1;
    options.pageSize = 300;
    const QByteArray file = BuildPackage(options);
    const Outcome o = Parse(file);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    ASSERT_EQ(o.package.pages.size(), 1u);
    const PackagePage& page0 = o.package.pages.at(0);
    EXPECT_EQ(0, std::memcmp(page0.pageHeader.data(), "BOOT_KVR", 8));
    ASSERT_EQ(page0.pageData.size(), 292);
    EXPECT_EQ(page0.pageData.at(0), '\0');  // the signature's terminating zero
    EXPECT_EQ(page0.pageData, file.mid(8, 292));
    EXPECT_EQ(o.progress, std::vector<int>{0});
}

TEST(PackageSplit, EmptyListsLoad) {
    PackageOptions options = SmallOptions();
    options.hardwareVersions.clear();
    options.programVersions.clear();
    const Outcome o = Parse(BuildPackage(options));
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    EXPECT_TRUE(o.package.hardwareVersions.empty());
    EXPECT_TRUE(o.package.programVersions.empty());
    EXPECT_EQ(o.package.pages.size(), 4u);
}

TEST(PackageSplit, ProgramVersionIsReadLittleEndian) {
    PackageOptions options = SmallOptions();
    options.hardwareVersions.clear();
    options.programVersions = {0};
    QByteArray file = BuildPackage(options);
    file[26] = 0x03;
    file[27] = 0x12;
    StampChecksum(file);
    const Outcome o = Parse(file);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    ASSERT_EQ(o.package.programVersions.size(), 1u);
    EXPECT_EQ(o.package.programVersions[0], 0x1203);
    EXPECT_EQ(FormatProgramVersionText(o.package.programVersions[0]), QStringLiteral("1.2.0.3"));
}

TEST(PackageSplit, TrailingBytesAreNoPageButCountInTheChecksum) {
    PackageOptions options = SmallOptions();
    options.trailing = QByteArray("\x10\x20\x30", 3);
    QByteArray file = BuildPackage(options);
    const Outcome plain = Parse(BuildPackage(SmallOptions()));
    const Outcome withTail = Parse(file);
    ASSERT_TRUE(withTail.ok) << withTail.error.toStdString();
    ExpectSamePackage(withTail.package, plain.package);

    // Changing a trailing byte without re-stamping is damage.
    file[file.size() - 2] = static_cast<char>(file[file.size() - 2] ^ 0x40);
    EXPECT_EQ(FailureOf(file), kChangedText);
}

TEST(PackageSplit, PageSizeEightCannotHoldTheHeaderBlock) {
    // Page 0 holds at least the 26-byte header and the 2-byte field after the lists.
    PackageOptions options = SmallOptions();
    QByteArray file = BuildPackage(options);
    PutU16(file, test::kPageSizeOffset, 8);
    StampChecksum(file);
    EXPECT_EQ(FailureOf(file), kHeaderSizeBangText);
}

TEST(PackageSplit, ListsExactlyFillingPageZeroLoadAndOneMoreEntryDoesNot) {
    PackageOptions options = SmallOptions();
    options.pageSize = static_cast<uint16_t>(test::MinimumPageSize(3, 2));  // 36 bytes
    options.pageCount = 10;                                                 // 361 bytes in all
    const QByteArray file = BuildPackage(options);
    EXPECT_EQ(FailureOf(file), QString());

    QByteArray oneMore = file;
    PutU16(oneMore, test::kProgramCountOffset, 3);
    StampChecksum(oneMore);
    EXPECT_EQ(FailureOf(oneMore), kHeaderSizeBangText);
}

// ---- progress ----------------------------------------------------------------------------

TEST(PackageProgress, ReportsEachNewValueOnceAndEndsAtZero) {
    struct Row {
        uint32_t pages;
        std::vector<int> expected;
    };
    const std::vector<Row> rows = {
        {1, {0}},
        {2, {0, 50, 0}},
        {3, {0, 33, 66, 0}},
        {4, {0, 25, 50, 75, 0}},
    };
    for (const Row& row : rows) {
        PackageOptions options = SmallOptions();
        options.pageCount = row.pages;
        options.pageSize = 300;  // long enough for the file-length bound with one page
        const Outcome o = Parse(BuildPackage(options));
        ASSERT_TRUE(o.ok) << o.error.toStdString();
        EXPECT_EQ(o.progress, row.expected) << row.pages << " pages";
    }
}

TEST(PackageProgress, ManyPagesNeverRepeatAValue) {
    PackageOptions options = SmallOptions();
    options.pageSize = 64;
    options.pageCount = 250;  // 2.5 pages per percent
    const Outcome o = Parse(BuildPackage(options));
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    ASSERT_EQ(o.progress.size(), 101u);  // 0 … 99, then 0
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(o.progress[i], i);
    EXPECT_EQ(o.progress.back(), 0);
}

TEST(PackageProgress, NoReportWhenTheHeaderFails) {
    QByteArray file = BuildPackage(SmallOptions());
    PutU16(file, test::kHardwareCountOffset, 21);
    StampChecksum(file);
    const Outcome o = Parse(file);
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.progress.empty());
}

TEST(PackageProgress, DamageFoundAfterTheSplitStillEndsAtZero) {
    QByteArray file = BuildPackage(SmallOptions());
    file[300] = static_cast<char>(file[300] ^ 1);  // inside page 2
    const Outcome o = Parse(file);
    EXPECT_EQ(o.error, kChangedText);
    ASSERT_FALSE(o.progress.empty());
    EXPECT_EQ(o.progress.back(), 0);
    EXPECT_TRUE(o.package.pages.empty());
}

TEST(PackageProgress, NoCallbackIsFine) {
    UpdatePackage package;
    QString error;
    EXPECT_TRUE(ParseUpdatePackage(BuildPackage(SmallOptions()), package, error));
    EXPECT_EQ(package.pages.size(), 4u);
}

// ---- integrity ---------------------------------------------------------------------------

TEST(PackageIntegrity, WrongChecksumOnlyIsReportedAndFixingItLoads) {
    QByteArray file = BuildPackage(SmallOptions());
    const char good = file.back();
    for (int flip : {0x01, 0x80, 0xFF}) {
        file[file.size() - 1] = static_cast<char>(good ^ flip);
        EXPECT_EQ(FailureOf(file), kChangedText) << flip;
    }
    file[file.size() - 1] = good;
    EXPECT_EQ(FailureOf(file), QString());
}

TEST(PackageIntegrity, AnyChangedByteIsDamage) {
    const QByteArray file = BuildPackage(SmallOptions());
    for (qsizetype at :
         {qsizetype{0}, qsizetype{13}, qsizetype{127}, qsizetype{128}, file.size() - 2}) {
        QByteArray damaged = file;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x04);
        EXPECT_EQ(FailureOf(damaged), kChangedText) << "byte " << at;
    }
}

TEST(PackageIntegrity, DamageIsReportedBeforeAnyHeaderFault) {
    QByteArray foreign = BuildPackage(SmallOptions());
    std::memcpy(foreign.data(), "boot_kvr", 8);  // would be a foreign file
    PutU16(foreign, test::kHardwareCountOffset, 30);
    foreign[foreign.size() - 1] = static_cast<char>(test::ComputeChecksum(foreign) ^ 0x11);
    EXPECT_EQ(FailureOf(foreign), kChangedText);

    QByteArray tooShort("abc\x61", 4);  // 0x61 ^ 0x62 ^ 0x63 = 0x60, so this is damaged
    EXPECT_EQ(FailureOf(tooShort), kChangedText);
    tooShort[3] = 0x60;
    EXPECT_EQ(FailureOf(tooShort), kHeaderText);
}

// ---- header ------------------------------------------------------------------------------

TEST(PackageHeader, EmptyFileIsAHeaderError) {
    EXPECT_EQ(FailureOf(QByteArray()), kHeaderText);
}

TEST(PackageHeader, FilesOfOneTo25BytesWithAGoodChecksumAreHeaderErrors) {
    const QByteArray valid = BuildPackage(SmallOptions());
    for (int length = 1; length <= 25; ++length) {
        QByteArray prefix = valid.left(length);  // starts like a real package
        StampChecksum(prefix);
        EXPECT_EQ(FailureOf(prefix), kHeaderText) << length << " bytes";
        EXPECT_EQ(FailureOf(QByteArray(length, '\0')), kHeaderText) << length << " zero bytes";
    }
}

TEST(PackageHeader, SignatureMustMatchExactlyWithItsZeroByte) {
    const QByteArray valid = BuildPackage(SmallOptions());
    for (const char* signature : {"boot_kvr", "BOOT_KVr", "Boot_KVR", "BOOT-KVR", "BOOT_KV\0"}) {
        QByteArray file = valid;
        std::memcpy(file.data(), signature, 8);
        StampChecksum(file);
        EXPECT_EQ(FailureOf(file), kForeignText) << signature;
    }
    for (int byte8 : {0x01, 0x20, 0x30, 0xFF}) {
        QByteArray file = valid;
        file[test::kSignatureEndOffset] = static_cast<char>(byte8);
        StampChecksum(file);
        EXPECT_EQ(FailureOf(file), kForeignText) << byte8;
    }
}

TEST(PackageHeader, TwentyHardwareVersionsPassAndTwentyOneDoNot) {
    PackageOptions options = SmallOptions();
    options.hardwareVersions.assign(20, 4);
    const Outcome twenty = Parse(BuildPackage(options));
    ASSERT_TRUE(twenty.ok) << twenty.error.toStdString();
    EXPECT_EQ(twenty.package.hardwareVersions.size(), 20u);

    options.hardwareVersions.assign(21, 4);
    EXPECT_EQ(FailureOf(BuildPackage(options)), kHeaderSizeText);

    QByteArray huge = BuildPackage(SmallOptions());
    PutU16(huge, test::kHardwareCountOffset, 0xFFFF);
    StampChecksum(huge);
    EXPECT_EQ(FailureOf(huge), kHeaderSizeText);
}

TEST(PackageHeader, FileLengthBoundIsCountPlus282) {
    // 3 pages of 100 bytes and the checksum: 301 bytes, every page present.
    PackageOptions options;
    options.pageCount = 3;
    options.pageSize = 100;
    options.programVersions.clear();

    options.hardwareVersions.assign(19, 2);
    ASSERT_EQ(BuildPackage(options).size(), 19 + 282);
    EXPECT_EQ(FailureOf(BuildPackage(options)), QString());

    options.hardwareVersions.assign(20, 2);  // needs 302 bytes
    EXPECT_EQ(FailureOf(BuildPackage(options)), kHeaderSizeBangText);
    options.trailing = QByteArray(1, '\x5A');
    ASSERT_EQ(BuildPackage(options).size(), 20 + 282);
    EXPECT_EQ(FailureOf(BuildPackage(options)), QString());
}

TEST(PackageHeader, PageSizeBelowEightIsRejected) {
    const QByteArray valid = BuildPackage(SmallOptions());
    for (uint16_t pageSize = 0; pageSize < 8; ++pageSize) {
        QByteArray file = valid;
        PutU16(file, test::kPageSizeOffset, pageSize);
        StampChecksum(file);
        EXPECT_EQ(FailureOf(file), kHeaderSizeText) << pageSize;
    }
}

TEST(PackageHeader, ListsThatLeavePageZeroAreRejected) {
    const QByteArray valid = BuildPackage(SmallOptions());  // 128-byte pages, 3 + 2 entries
    // 26 + 2 × (3 + p) + 2 bytes must fit in 128: p = 47 fits, 48 does not.
    QByteArray fits = valid;
    PutU16(fits, test::kProgramCountOffset, 47);
    StampChecksum(fits);
    EXPECT_EQ(FailureOf(fits), QString());
    for (uint16_t count : {uint16_t{48}, uint16_t{1000}, uint16_t{0xFFFF}}) {
        QByteArray file = valid;
        PutU16(file, test::kProgramCountOffset, count);
        StampChecksum(file);
        EXPECT_EQ(FailureOf(file), kHeaderSizeBangText) << count;
    }
}

TEST(PackageHeader, MissingPageBytesAreNeverMadeUp) {
    const QByteArray valid = BuildPackage(SmallOptions());  // 4 × 128 + 1 = 513 bytes
    // One byte of the last page gone (the checksum re-stamped): rejected.
    QByteArray shortByOne = valid;
    shortByOne.remove(shortByOne.size() - 2, 1);
    StampChecksum(shortByOne);
    EXPECT_EQ(FailureOf(shortByOne), kHeaderSizeBangText);

    for (uint16_t lastPageIndex : {uint16_t{4}, uint16_t{100}, uint16_t{0xFFFF}}) {
        QByteArray file = valid;
        PutU16(file, test::kLastPageIndexOffset, lastPageIndex);
        StampChecksum(file);
        EXPECT_EQ(FailureOf(file), kHeaderSizeBangText) << lastPageIndex;
    }
    QByteArray bigPages = valid;
    PutU16(bigPages, test::kPageSizeOffset, 0xFFFF);
    StampChecksum(bigPages);
    EXPECT_EQ(FailureOf(bigPages), kHeaderSizeBangText);
}

TEST(PackageHeader, FewerPagesThanTheFileHoldsLeaveTheRestAsTrailingBytes) {
    QByteArray file = BuildPackage(SmallOptions());
    PutU16(file, test::kLastPageIndexOffset, 1);
    StampChecksum(file);
    const Outcome o = Parse(file);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    EXPECT_EQ(o.package.pages.size(), 2u);
}

TEST(PackageHeader, UninterpretedFieldsTakeAnyValue) {
    QByteArray file = BuildPackage(SmallOptions());
    for (int at : {9, 10, 11, 16, 17, 20})
        file[at] = static_cast<char>(0xA5);
    const int afterLists = 26 + 2 * (3 + 2);
    file[afterLists] = static_cast<char>(0xFF);
    file[afterLists + 1] = static_cast<char>(0xFF);
    StampChecksum(file);
    const Outcome o = Parse(file);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    EXPECT_EQ(o.package.hwPrefixMajor, 17);
    EXPECT_EQ(o.package.hwPrefixMinor, 2);
}

// ---- the previous package survives a failure -----------------------------------------------

TEST(PackageFailure, LeavesThePreviousPackageExactlyAsItWas) {
    UpdatePackage held;
    QString error;
    ASSERT_TRUE(ParseUpdatePackage(BuildPackage(SmallOptions()), held, error));
    const UpdatePackage before = held;

    QByteArray foreign = BuildPackage(SmallOptions());
    std::memcpy(foreign.data(), "boot_kvr", 8);
    StampChecksum(foreign);
    QByteArray damaged = BuildPackage(SmallOptions());
    damaged[200] = static_cast<char>(damaged[200] ^ 1);
    QByteArray truncated = BuildPackage(SmallOptions());
    truncated.chop(20);
    StampChecksum(truncated);
    for (const QByteArray& bad : {QByteArray(), QByteArray(1, '\0'), foreign, damaged, truncated}) {
        error.clear();
        EXPECT_FALSE(ParseUpdatePackage(bad, held, error));
        EXPECT_FALSE(error.isEmpty());
        ExpectSamePackage(held, before);
    }
}

TEST(PackageFailure, SuccessReplacesEverythingOfTheOldPackage) {
    PackageOptions big = SmallOptions();
    big.pageCount = 9;
    big.hardwareVersions = {1, 2, 3, 4, 5};
    UpdatePackage held;
    QString error;
    ASSERT_TRUE(ParseUpdatePackage(BuildPackage(big), held, error));

    PackageOptions small = SmallOptions();
    small.pageCount = 5;
    small.hardwareVersions = {7};
    small.programVersions.clear();
    small.pageSize = 64;
    ASSERT_TRUE(ParseUpdatePackage(BuildPackage(small), held, error));
    UpdatePackage fresh;
    ASSERT_TRUE(ParseUpdatePackage(BuildPackage(small), fresh, error));
    ExpectSamePackage(held, fresh);
}

// ---- translation ---------------------------------------------------------------------------

TEST(PackageTexts, FailureTextsGoThroughTheLanguageFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ru.lng"));
    QFile lng(path);
    ASSERT_TRUE(lng.open(QIODevice::WriteOnly));
    lng.write("\xEF\xBB\xBF[ru]\n");
    lng.write(QStringLiteral("Неправильный формат файла. Ошибка заголовка.=Bad header\n").toUtf8());
    lng.write(
        QStringLiteral("Неправильный формат файла. Указанный файл был изменен.=NULL\n").toUtf8());
    lng.close();

    OpenLanguageFile(path);
    struct Release {
        ~Release() { ReleaseLanguageFile(); }
    } release;
    EXPECT_EQ(FailureOf(QByteArray()), QStringLiteral("Bad header"));
    EXPECT_EQ(FailureOf(QByteArray("\x01\x02", 2)), kChangedText);  // "NULL": untranslated
}

TEST(PackageTexts, WithoutALanguageFileTheTextsAreAsWritten) {
    ReleaseLanguageFile();
    EXPECT_EQ(FailureOf(QByteArray()), kHeaderText);
}

}  // namespace
}  // namespace kvr

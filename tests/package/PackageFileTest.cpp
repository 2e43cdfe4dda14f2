// Loading package files: the checked-in fixtures (one row per defect), open and read
// failures, and that the fixtures still match what the builder makes.
#include <gtest/gtest.h>
#include "PackageMessages.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>

#include "PackageBuilder.h"
#include "PackageLoader.h"

namespace kvr {
namespace {

const QString kFixtureDir = QStringLiteral(KVR_PACKAGE_FIXTURE_DIR);

using namespace kvr::test;  // the loader's texts

struct FixtureRow {
    const char* file;
    QString expectedError;  // empty: the file loads
    size_t pages;
};

const std::vector<FixtureRow>& FixtureTable() {
    static const std::vector<FixtureRow> rows = {
        {"valid_four_pages.bsk", {}, 4},
        {"valid_one_page.bsk", {}, 1},
        {"valid_empty_lists.bsk", {}, 4},
        {"valid_trailing_bytes.bsk", {}, 4},
        {"valid_length_at_hw_bound.bsk", {}, 3},
        {"bad_checksum.bsk", kChangedText, 0},
        {"signature_lowercase_bad_checksum.bsk", kChangedText, 0},
        {"empty.bsk", kHeaderText, 0},
        {"single_zero_byte.bsk", kHeaderText, 0},
        {"short_25_bytes.bsk", kHeaderText, 0},
        {"signature_lowercase.bsk", kForeignText, 0},
        {"signature_byte8_nonzero.bsk", kForeignText, 0},
        {"hw_count_21.bsk", kHeaderSizeText, 0},
        {"page_size_below_8.bsk", kHeaderSizeText, 0},
        {"length_below_hw_bound.bsk", kHeaderSizeBangText, 0},
        {"lists_beyond_page_0.bsk", kHeaderSizeBangText, 0},
        {"truncated_last_page.bsk", kHeaderSizeBangText, 0},
        {"last_page_index_beyond_file.bsk", kHeaderSizeBangText, 0},
    };
    return rows;
}

TEST(PackageFixtures, EachFileGivesItsExactOutcome) {
    for (const FixtureRow& row : FixtureTable()) {
        SCOPED_TRACE(row.file);
        UpdatePackage package;
        QString error;
        const bool ok = LoadUpdatePackageFile(QDir(kFixtureDir).filePath(row.file), package, error);
        EXPECT_EQ(ok, row.expectedError.isEmpty());
        EXPECT_EQ(error, row.expectedError);
        EXPECT_EQ(package.pages.size(), row.pages);
    }
}

TEST(PackageFixtures, TableCoversEveryFileAndTheBuilderStillMakesThem) {
    QSet<QString> tableNames;
    for (const FixtureRow& row : FixtureTable())
        tableNames.insert(QString::fromLatin1(row.file));
    const QStringList onDisk = QDir(kFixtureDir).entryList({QStringLiteral("*.bsk")}, QDir::Files);
    EXPECT_EQ(QSet<QString>(onDisk.begin(), onDisk.end()), tableNames);

    QSet<QString> built;
    for (const auto& file : test::FixtureFiles()) {
        built.insert(file.fileName);
        QFile disk(QDir(kFixtureDir).filePath(file.fileName));
        ASSERT_TRUE(disk.open(QIODevice::ReadOnly)) << file.fileName.toStdString();
        EXPECT_EQ(disk.readAll(), file.bytes)
            << file.fileName.toStdString() << " differs; regenerate with kvr-mkpackage --fixtures";
    }
    EXPECT_EQ(built, tableNames);
}

TEST(PackageFile, LoadsTheSameAsParsingItsBytes) {
    test::PackageOptions options;
    options.pageCount = 7;
    options.seed = 99;
    const QByteArray bytes = test::BuildPackage(options);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("p.bsk"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();

    UpdatePackage fromFile;
    UpdatePackage fromBytes;
    QString error;
    std::vector<int> fileProgress;
    std::vector<int> bytesProgress;
    ASSERT_TRUE(
        LoadUpdatePackageFile(path, fromFile, error, [&](int p) { fileProgress.push_back(p); }));
    ASSERT_TRUE(
        ParseUpdatePackage(bytes, fromBytes, error, [&](int p) { bytesProgress.push_back(p); }));
    EXPECT_EQ(fileProgress, bytesProgress);
    ASSERT_EQ(fromFile.pages.size(), 7u);
    for (const auto& [key, page] : fromFile.pages) {
        EXPECT_EQ(page.pageData, fromBytes.pages.at(key).pageData);
        EXPECT_EQ(page.pageHeader, fromBytes.pages.at(key).pageHeader);
    }
}

TEST(PackageFile, OpenFailureNamesTheFileAndTheSystemReason) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("missing.bsk"));
    UpdatePackage package;
    QString error;
    EXPECT_FALSE(LoadUpdatePackageFile(missing, package, error));
    // The reason is the system's, in the words of the file layer every open goes through.
    QFile probe(missing);
    ASSERT_FALSE(probe.open(QIODevice::ReadOnly));
    EXPECT_EQ(error,
              QStringLiteral("Cannot open file \"%1\". %2").arg(missing, probe.errorString()));
    EXPECT_FALSE(probe.errorString().isEmpty());

    error.clear();
    EXPECT_FALSE(LoadUpdatePackageFile(dir.path(), package, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(dir.path())))
        << error.toStdString();
    EXPECT_GT(error.size(), QStringLiteral("Cannot open file \"%1\". ").arg(dir.path()).size());
}

TEST(PackageFile, FileThatShrinksWhileLoadingIsAReadErrorNotAPackage) {
    test::PackageOptions options;
    options.pageCount = 256;
    options.pageSize = 1024;  // far more than any read-ahead
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("shrinking.bsk"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(test::BuildPackage(options));
    f.close();

    UpdatePackage held;
    held.hardwareVersions = {42};
    QString error;
    std::vector<int> progress;
    const bool ok = LoadUpdatePackageFile(path, held, error, [&](int percent) {
        progress.push_back(percent);
        if (percent == 10)
            QFile::resize(path, 4096);  // another program rewrites the file
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, QStringLiteral("Cannot read file \"%1\". Unexpected end of file").arg(path));
    EXPECT_EQ(held.hardwareVersions, std::vector<uint16_t>{42});
    EXPECT_TRUE(held.pages.empty());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 0);  // the bar does not stay where the load broke off
}

TEST(PackageFile, FailureKeepsThePreviousPackage) {
    UpdatePackage held;
    QString error;
    ASSERT_TRUE(
        LoadUpdatePackageFile(QDir(kFixtureDir).filePath("valid_four_pages.bsk"), held, error));
    const auto pagesBefore = held.pages.size();
    const auto hardwareBefore = held.hardwareVersions;
    const QByteArray page2Before = held.pages.at(2).pageData;
    for (const char* bad : {"bad_checksum.bsk", "truncated_last_page.bsk", "missing.bsk"}) {
        EXPECT_FALSE(LoadUpdatePackageFile(QDir(kFixtureDir).filePath(bad), held, error)) << bad;
        EXPECT_EQ(held.pages.size(), pagesBefore) << bad;
        EXPECT_EQ(held.hardwareVersions, hardwareBefore) << bad;
        EXPECT_EQ(held.pages.at(2).pageData, page2Before) << bad;
    }
}

}  // namespace
}  // namespace kvr

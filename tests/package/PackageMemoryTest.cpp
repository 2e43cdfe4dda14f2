// Peak heap of a package load: the pages and their bookkeeping, never a copy of the whole file,
// and always below 2.5 times the file.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>

#include "HeapCounter.h"
#include "PackageBuilder.h"
#include "PackageLoader.h"

namespace kvr {
namespace {

constexpr double kMaxPeakPerFileByte = 2.5;

TEST(HeapCounter, SeesAllocationsAndTheirRelease) {
    const int64_t before = test::HeapInUseBytes();
    test::ResetHeapPeak();
    void* block = std::malloc(1 << 20);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(test::HeapInUseBytes() - before, 1 << 20);
    std::free(block);
    EXPECT_LT(test::HeapInUseBytes() - before, 1 << 20);
    EXPECT_GE(test::HeapPeakBytes() - before, 1 << 20);
}

class PackageMemory : public ::testing::TestWithParam<uint16_t> {};

TEST_P(PackageMemory, LoadHoldsThePagesAndNoWholeFileBuffer) {
    const uint16_t pageSize = GetParam();
    test::PackageOptions options;
    options.pageSize = pageSize;
    options.pageCount = static_cast<uint32_t>((8 << 20) / pageSize);  // about 8 MiB
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("big.bsk"));
    qint64 fileSize = 0;
    {
        const QByteArray bytes = test::BuildPackage(options);
        fileSize = bytes.size();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), fileSize);
    }

    UpdatePackage package;
    QString error;
    const int64_t base = test::HeapInUseBytes();
    test::ResetHeapPeak();
    ASSERT_TRUE(LoadUpdatePackageFile(path, package, error)) << error.toStdString();
    const double peak = double(test::HeapPeakBytes() - base) / double(fileSize);
    const double kept = double(test::HeapInUseBytes() - base) / double(fileSize);
    RecordProperty("peak_per_file_byte", std::to_string(peak));
    EXPECT_LT(peak, kMaxPeakPerFileByte);
    // Every page byte is held once the load is done …
    EXPECT_GE(kept, 1.0 - 8.0 / pageSize);
    // … and the load needed little more than that at any moment (a read chunk, no file copy).
    EXPECT_LT(peak - kept, 0.05);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, PackageMemory, ::testing::Values(256, 512, 1024, 4096, 65535));

}  // namespace
}  // namespace kvr

// kvr-mkpackage, which the demo and the simulated device's tests use to make packages: what it
// writes loads with the requested shape, the same seed gives the same bytes, bad options exit 2.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "PackageLoader.h"
#include "TestFiles.h"

namespace kvr {
namespace {

using test::ReadAll;

const QString kTool = QStringLiteral(KVR_MKPACKAGE_PATH);

int RunTool(const QStringList& args, QString* err = nullptr) {
    QProcess process;
    process.start(kTool, args);
    if (!process.waitForStarted(-1))
        return -1;
    process.waitForFinished(-1);
    if (err != nullptr)
        *err = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

TEST(MkPackageTool, WritesAPackageOfTheRequestedShape) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("p.bsk"));
    ASSERT_EQ(RunTool({QStringLiteral("--out"), path, QStringLiteral("--pages"),
                       QStringLiteral("5"), QStringLiteral("--page-size"), QStringLiteral("0x100"),
                       QStringLiteral("--hw-prefix"), QStringLiteral("18.3"),
                       QStringLiteral("--hw"), QStringLiteral("4,10"), QStringLiteral("--programs"),
                       QStringLiteral("1.2.0.3,0x10A5"), QStringLiteral("--trailing"),
                       QStringLiteral("3")}),
              0);
    EXPECT_EQ(QFile(path).size(), 5 * 256 + 3 + 1);
    UpdatePackage package;
    QString error;
    ASSERT_TRUE(LoadUpdatePackageFile(path, package, error)) << error.toStdString();
    EXPECT_EQ(package.pages.size(), 5u);
    EXPECT_EQ(package.pageSize, 256u);
    EXPECT_EQ(package.hwPrefixMajor, 18);
    EXPECT_EQ(package.hwPrefixMinor, 3);
    EXPECT_EQ(package.hardwareVersions, (std::vector<uint16_t>{4, 10}));
    EXPECT_EQ(package.programVersions, (std::vector<uint16_t>{0x1203, 0x10A5}));
}

TEST(MkPackageTool, SameSeedSameBytesOtherSeedOtherPages) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("a.bsk"));
    const QString b = dir.filePath(QStringLiteral("b.bsk"));
    const QString c = dir.filePath(QStringLiteral("c.bsk"));
    ASSERT_EQ(RunTool({QStringLiteral("-o"), a, QStringLiteral("--seed"), QStringLiteral("7")}), 0);
    ASSERT_EQ(RunTool({QStringLiteral("-o"), b, QStringLiteral("--seed"), QStringLiteral("7")}), 0);
    ASSERT_EQ(RunTool({QStringLiteral("-o"), c, QStringLiteral("--seed"), QStringLiteral("8")}), 0);
    EXPECT_EQ(ReadAll(a), ReadAll(b));
    EXPECT_EQ(ReadAll(a).size(), ReadAll(c).size());
    EXPECT_NE(ReadAll(a).mid(256), ReadAll(c).mid(256));
}

TEST(MkPackageTool, BadOptionsExitTwoAndWriteNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("never.bsk"));
    const std::vector<QStringList> cases = {
        {},
        {QStringLiteral("--out"), path, QStringLiteral("--pages"), QStringLiteral("0")},
        {QStringLiteral("--out"), path, QStringLiteral("--pages"), QStringLiteral("65537")},
        {QStringLiteral("--out"), path, QStringLiteral("--page-size"), QStringLiteral("20")},
        {QStringLiteral("--out"), path, QStringLiteral("--hw-prefix"), QStringLiteral("256.1")},
        {QStringLiteral("--out"), path, QStringLiteral("--hw"), QStringLiteral("1,x")},
        {QStringLiteral("--out"), path, QStringLiteral("--programs"), QStringLiteral("1.2.16.0")},
        {QStringLiteral("--out"), path, QStringLiteral("--bogus")},
    };
    for (const QStringList& args : cases) {
        QString err;
        EXPECT_EQ(RunTool(args, &err), 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(err.startsWith(QStringLiteral("kvr-mkpackage: "))) << err.toStdString();
        EXPECT_FALSE(QFile::exists(path)) << args.join(u' ').toStdString();
    }
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

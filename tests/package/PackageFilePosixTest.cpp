// Package files that only POSIX systems make: pipes, and files the user may not read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "PackageMessages.h"

namespace kvr {
namespace {

using namespace kvr::test;  // the loader's texts

TEST(PackageFile, PipesAndDevicesAreRefusedWithoutReadingThem) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A FIFO with no writer would block an open for reading; /dev/zero would never end.
    const QString fifo = dir.filePath(QStringLiteral("fifo.bsk"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {fifo, QStringLiteral("/dev/zero")}) {
        UpdatePackage package;
        QString error;
        EXPECT_FALSE(LoadUpdatePackageFile(path, package, error));
        EXPECT_EQ(error, QStringLiteral("Cannot open file \"%1\". Not a regular file").arg(path));
    }
}

TEST(PackageFile, UnreadableFileIsAnOpenFailure) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("locked.bsk"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(test::BuildPackage({}));
    f.close();
    ASSERT_TRUE(f.setPermissions(QFileDevice::WriteOwner));
    UpdatePackage package;
    QString error;
    EXPECT_FALSE(LoadUpdatePackageFile(path, package, error));
    EXPECT_EQ(error, QStringLiteral("Cannot open file \"%1\". %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(EACCES))));
}

}  // namespace
}  // namespace kvr

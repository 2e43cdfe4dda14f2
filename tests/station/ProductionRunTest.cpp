// A production run as every program sets it up: the record found by its name, the row's package
// hash taken from the bytes flashed, and numbers chosen outside the pools given through the
// record. SQLite records in a temporary folder, simulated devices on virtual clocks.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "ProductionRun.h"
#include "StationFixture.h"
#include "TestFiles.h"

namespace {

using namespace kvr;
using namespace kvr::record;
using namespace kvr::station;
using namespace kvr::test;

class ProductionRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath("line"));
        ASSERT_TRUE(QDir(dir_.path()).mkpath("logs"));
        PackageOptions options;
        options.pageCount = 4;
        options.pageSize = 72;
        bytes_ = BuildPackage(options);
        packagePath_ = dir_.filePath("kvr17.bsk");
        ASSERT_TRUE(WriteAll(packagePath_, bytes_));
    }

    ProductionSetup Setup(const QStringList& ports) {
        ProductionSetup setup;
        QString error;
        EXPECT_TRUE(LoadUpdatePackageFile(packagePath_, setup.package, error))
            << error.toStdString();
        setup.packagePath = packagePath_;
        setup.ports = ports;
        setup.record = QStringLiteral("sqlite:records.sqlite");
        setup.recordFolder = dir_.filePath("line");
        setup.updateLogPath = dir_.filePath("logs/log.txt");
        return setup;
    }

    // Runs each port once on its own simulated device.
    std::vector<RunResult> RunOnce(ProductionRun& run) {
        const ProductionSetup& setup = run.Setup();
        for (int i = 0; i < setup.ports.size(); ++i) {
            ports_.push_back(std::make_unique<FixturePort>(setup.package.pages));
            ports_.back()->line.options.finalStatuses = {10};
            ports_.back()->line.Device();
        }
        auto station = run.BuildStation(
            [&](int port) -> IChannelFactory& { return ports_[port]->line.factory; },
            [&](int port) -> IClock& { return ports_[port]->line.clock; }, events_);
        station->Run();
        std::vector<RunResult> results;
        for (const auto& runs : station->Results())
            results.push_back(runs.at(0));
        ports_.clear();
        return results;
    }

    QTemporaryDir dir_;
    QByteArray bytes_;
    QString packagePath_;
    std::vector<std::unique_ptr<FixturePort>> ports_;
    RecordingEvents events_;
};

TEST_F(ProductionRunTest, TheRecordIsFoundByItsName) {
    QString error;
    bool usage = false;
    auto relative = OpenNamedRecord("sqlite:records.sqlite", dir_.filePath("line"),
                                    dir_.filePath("logs/log.txt"), error, usage);
    ASSERT_TRUE(relative) << error.toStdString();
    EXPECT_TRUE(QFile::exists(dir_.filePath("line/records.sqlite")));
    relative.reset();

    auto ownRecord =
        OpenNamedRecord("default", QString(), dir_.filePath("logs/log.txt"), error, usage);
    ASSERT_TRUE(ownRecord) << error.toStdString();
    EXPECT_TRUE(QFile::exists(dir_.filePath("logs/records.sqlite")));

    // A name that names nothing is the user's to mend, said without its password.
    EXPECT_FALSE(OpenNamedRecord("postgresql://line:pa#ss@db/p", QString(),
                                 dir_.filePath("logs/log.txt"), error, usage));
    EXPECT_TRUE(usage);
    EXPECT_FALSE(error.contains("pa#ss")) << error.toStdString();
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(ProductionRunTest, TheRowNamesTheBytesThatWereFlashedNotTheFileAsItIsNow) {
    QString error;
    bool usage = false;
    auto run = ProductionRun::Prepare(Setup({"A"}), error, usage);
    ASSERT_TRUE(run) << error.toStdString();
    // The share's file is replaced after the pages were read.
    PackageOptions other;
    other.pageCount = 2;
    ASSERT_TRUE(WriteAll(packagePath_, BuildPackage(other)));

    ASSERT_TRUE(RunOnce(*run).at(0).succeeded);
    const std::vector<HistoryRow> rows = run->Record()->History({});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(
        rows[0].start.packageSha256,
        QString::fromLatin1(QCryptographicHash::hash(bytes_, QCryptographicHash::Sha256).toHex()));
    EXPECT_EQ(rows[0].start.pageCount, 4);
}

TEST_F(ProductionRunTest, ACounterGoesPastNumbersTheRecordHoldsAndAPoolPastItsNumbers) {
    QString error;
    bool usage = false;
    ProductionSetup byHand = Setup({"A"});
    byHand.technology = true;
    byHand.hardware = "3";
    byHand.fixedNumbers = {"000101"};
    auto first = ProductionRun::Prepare(byHand, error, usage);
    ASSERT_TRUE(first) << error.toStdString();
    first->Record()->CreatePool("line", "000100", "000199");
    ASSERT_EQ(RunOnce(*first).at(0).serialNumber, "000101");
    first.reset();

    // The same number again is refused before any run, unless on purpose.
    EXPECT_FALSE(ProductionRun::Prepare(byHand, error, usage));
    EXPECT_TRUE(error.contains("given already")) << error.toStdString();
    byHand.renumber = true;
    EXPECT_TRUE(ProductionRun::Prepare(byHand, error, usage)) << error.toStdString();

    // A counter from 000100 meets the number given by hand on its second device and skips it.
    // One device after the other: with two at once, who meets it would be the threads' choice.
    ProductionSetup counted = Setup({"A"});
    counted.technology = true;
    counted.hardware = "3";
    counted.firstNumber = "000100";
    auto second = ProductionRun::Prepare(counted, error, usage);
    ASSERT_TRUE(second) << error.toStdString();
    EXPECT_EQ(RunOnce(*second).at(0).serialNumber, "000100");
    EXPECT_EQ(RunOnce(*second).at(0).serialNumber, "000102");
    second.reset();

    // The pool gives none of them.
    ProductionSetup pooled = Setup({"A"});
    pooled.technology = true;
    pooled.hardware = "3";
    pooled.pool = "line";
    auto third = ProductionRun::Prepare(pooled, error, usage);
    ASSERT_TRUE(third) << error.toStdString();
    EXPECT_EQ(RunOnce(*third).at(0).serialNumber, "000103");
    EXPECT_EQ(third->NextNumber(), "000104");
}

}  // namespace

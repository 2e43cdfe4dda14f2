// flash, pool and history as processes against the station's own record (records.sqlite beside
// the executable): what only a process shows, a kill -9 between taking a number and hearing the
// device's answer, the CSV as Excel opens it, and a record that is not there.
#include <gtest/gtest.h>

#include <signal.h>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "ChildProcesses.h"
#include "DevsimProcess.h"
#include "PackageBuilder.h"
#include "TestFiles.h"

namespace {

using namespace kvr::test;

const QString kBuiltCli = QStringLiteral(KVR_CLI_PATH);
const QString kBuiltDevsim = QStringLiteral(KVR_DEVSIM_PATH);
constexpr int kRunGuardMs = 120'000;

QString Field(const QJsonArray& runs, int i, const char* key) {
    return runs[i].toObject().value(QLatin1String(key)).toString();
}

class CliRecord : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        cli_ = dir_.filePath("kvr-uplinker-cli");
        ASSERT_TRUE(CopyProgram(kBuiltCli, cli_));
        PackageOptions options;
        options.pageCount = 8;
        options.pageSize = 264;
        package_ = dir_.filePath("firmware.bsk");
        ASSERT_TRUE(WriteAll(package_, BuildPackage(options)));
    }

    ProcessResult Cli(const QStringList& args) const {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        process.start(cli_, args);
        process.closeWriteChannel();
        return FinishProcess(process, kRunGuardMs);
    }

    // A device already in its bootloader: no restart to wait for.
    QStringList Device(const QStringList& more = {}) const {
        return QStringList{"--package", package_, "--start-in-bootloader", "--final-status", "10"} +
               more;
    }
    QStringList FlashFromPool(const QString& port) const {
        return {
            "flash", "--port",    port,   "--package",          package_,  "--technology", "--hw",
            "3",     "--sn-pool", "line", "--program-mismatch", "continue"};
    }

    QJsonArray History() const {
        const ProcessResult r = Cli({"history", "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).object().value("runs").toArray();
    }

    QTemporaryDir dir_;
    QString cli_;
    QString package_;
};

TEST_F(CliRecord, ANumberTakenBeforeAKillIsNeverGivenAgainAndHistoryShowsItSent) {
    ASSERT_EQ(Cli({"pool", "create", "line", "--first", "000101", "--last", "000199"}).exitCode, 0);

    {
        // The device never answers the number; the command is killed while it waits.
        DevsimProcess device(kBuiltDevsim, Device({"--fault", "no-reply:write-serial:1:0"}));
        ASSERT_FALSE(device.Port().isEmpty());
        QProcess flash;
        flash.setWorkingDirectory(dir_.path());
        flash.start(cli_, FlashFromPool(device.Port()) << "--json");
        ASSERT_TRUE(flash.waitForStarted(kChildStartGuardMs));
        QByteArray out;
        while (!out.contains("\"serial_number\"") && flash.waitForReadyRead(kRunGuardMs))
            out += flash.readAllStandardOutput();
        ASSERT_TRUE(out.contains("\"000101\"")) << out.toStdString();
        ::kill(static_cast<pid_t>(flash.processId()), SIGKILL);
        flash.waitForFinished(kChildStartGuardMs);
    }
    QJsonArray runs = History();
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(Field(runs, 0, "outcome"), "open") << "the killed run's row stays open";
    EXPECT_EQ(Field(runs, 0, "serial_number"), "000101");
    EXPECT_EQ(Field(runs, 0, "sn_state"), "sent");

    DevsimProcess device(kBuiltDevsim, Device());
    const ProcessResult next = Cli(FlashFromPool(device.Port()));
    EXPECT_EQ(next.exitCode, 0) << next.err.toStdString();
    EXPECT_TRUE(next.err.contains("S/N 000102 written")) << next.err.toStdString();
    EXPECT_TRUE(next.err.contains("Next serial number: 000103")) << next.err.toStdString();

    runs = History();
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(Field(runs, 1, "serial_number"), "000102");
    EXPECT_EQ(Field(runs, 1, "sn_state"), "confirmed");
    QFile file(package_);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(Field(runs, 1, "sha256").toLatin1(),
              QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());

    // For Excel: UTF-8 behind a byte-order mark, ';' between fields, the Russian text intact.
    QProcess csv;
    csv.setWorkingDirectory(dir_.path());
    csv.start(cli_, {"history", "--csv", "--sn", "000102"});
    ASSERT_TRUE(csv.waitForFinished(kRunGuardMs));
    const QByteArray bytes = csv.readAllStandardOutput();
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBFrun;station;port;")) << bytes.toStdString();
    const QList<QByteArray> lines = bytes.split('\n');
    ASSERT_EQ(lines.size(), 3) << "header, one run, the last line break";
    EXPECT_TRUE(lines[1].contains(";000102;yes;confirmed;line;"));
    EXPECT_TRUE(lines[1].contains(QStringLiteral(";Обновление успешно завершено!;").toUtf8()));
}

TEST_F(CliRecord, NoUpdateStartsWithoutTheRecordOrTheNumbersItWasAskedFor) {
    DevsimProcess device(kBuiltDevsim, Device());
    // Nothing listens on port 1.
    const ProcessResult gone = Cli({"flash", "--port", device.Port(), "--package", package_,
                                    "--record", "postgresql://kvr@127.0.0.1:1/kvr_test"});
    EXPECT_EQ(gone.exitCode, 2);
    EXPECT_TRUE(gone.err.contains("cannot be reached")) << gone.err.toStdString();

    ASSERT_EQ(Cli({"pool", "create", "line", "--first", "7", "--last", "7"}).exitCode, 0);
    ASSERT_EQ(Cli(FlashFromPool(device.Port())).exitCode, 0);
    const ProcessResult usedUp = Cli(FlashFromPool(device.Port()));
    EXPECT_EQ(usedUp.exitCode, 2);
    EXPECT_TRUE(usedUp.err.contains("used up")) << usedUp.err.toStdString();
    EXPECT_EQ(History().size(), 1) << "the refused commands wrote no row";
}

}  // namespace

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
        return RunInFolder(cli_, args, dir_.path(), kRunGuardMs);
    }
    QStringList Device(const QStringList& more = {}) const {
        return BootloaderDevice(package_, more);
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
    // The next start sends what the killed one left in the station's store, and gives back
    // the numbers it had leased before it leases again.
    DevsimProcess device(kBuiltDevsim, Device());
    const ProcessResult next = Cli(FlashFromPool(device.Port()));
    EXPECT_EQ(next.exitCode, 0) << next.err.toStdString();
    EXPECT_TRUE(next.err.contains("S/N 000102 written")) << next.err.toStdString();
    EXPECT_TRUE(next.err.contains("Next serial number: 000103")) << next.err.toStdString();

    QJsonArray runs = History();
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(Field(runs, 0, "outcome"), "open") << "the killed run's row stays open";
    EXPECT_EQ(Field(runs, 0, "serial_number"), "000101");
    EXPECT_EQ(Field(runs, 0, "sn_state"), "sent");
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

// A number given by hand or by a counter goes through the record: no pool gives it again, and
// a command that would give it again is refused unless it re-numbers on purpose.
TEST_F(CliRecord, ANumberGivenByHandIsNeverGivenAgainByAPoolOrByHand) {
    ASSERT_EQ(Cli({"pool", "create", "line", "--first", "000101"}).exitCode, 0);
    const QStringList byHand = {"flash",        "--port", "",  "--package", package_,
                                "--technology", "--hw",   "3", "--record",  "default"};
    auto on = [](QStringList args, const QString& port) {
        args[2] = port;
        return args;
    };
    {
        DevsimProcess device(kBuiltDevsim, Device());
        const ProcessResult first = Cli(on(byHand, device.Port()) << "--sn-first"
                                                                  << "000101");
        EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    }
    {
        DevsimProcess device(kBuiltDevsim, Device());
        const ProcessResult pool = Cli(FlashFromPool(device.Port()) << "--record"
                                                                    << "default");
        EXPECT_EQ(pool.exitCode, 0) << pool.err.toStdString();
        EXPECT_TRUE(pool.err.contains("S/N 000102 written")) << pool.err.toStdString();
    }
    DevsimProcess device(kBuiltDevsim, Device());
    // 101 labels the same unit as 000101 to a person.
    for (const QStringList& again : {on(byHand, device.Port()) << "--sn"
                                                               << "101",
                                     on(byHand, device.Port()) << "--sn-first"
                                                               << "000102"}) {
        const ProcessResult refused = Cli(again);
        EXPECT_EQ(refused.exitCode, 2) << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains("is given already")) << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains("--renumber")) << refused.err.toStdString();
    }
    QJsonArray runs = History();
    ASSERT_EQ(runs.size(), 2) << "the refused commands wrote no row";
    const ProcessResult renumbered = Cli(on(byHand, device.Port()) << "--sn"
                                                                   << "000101"
                                                                   << "--renumber");
    EXPECT_EQ(renumbered.exitCode, 0) << renumbered.err.toStdString();

    const ProcessResult one = Cli({"history", "--json", "--sn", "000101"});
    const QJsonArray rows =
        QJsonDocument::fromJson(one.out.toUtf8()).object().value("runs").toArray();
    ASSERT_EQ(rows.size(), 2) << one.out.toStdString();
    EXPECT_FALSE(rows[0].toObject().value("renumbered").toBool());
    EXPECT_TRUE(rows[1].toObject().value("renumbered").toBool())
        << "the decision stays with the run";
    EXPECT_EQ(Field(rows, 1, "sn_state"), "confirmed");
    const QString status = Cli({"pool", "status", "line"}).out;
    EXPECT_TRUE(status.contains("000103")) << status.toStdString();
}

// A text a spreadsheet would run stays text; numbers stay numbers.
TEST_F(CliRecord, TheCsvMakesFormulaCellsInert) {
    // No device behind the port: the run ends at once, with its row.
    const ProcessResult flash =
        Cli({"flash", "--port", "=1+2", "--package", package_, "--record", "default"});
    EXPECT_EQ(flash.exitCode, 1) << flash.err.toStdString();
    QProcess csv;
    csv.setWorkingDirectory(dir_.path());
    csv.start(cli_, {"history", "--csv"});
    ASSERT_TRUE(csv.waitForFinished(kRunGuardMs));
    const QList<QByteArray> lines = csv.readAllStandardOutput().split('\n');
    ASSERT_EQ(lines.size(), 3);
    const QList<QByteArray> cells = lines[1].trimmed().split(';');
    EXPECT_EQ(cells.value(2), "\"'=1+2\"") << lines[1].toStdString();
    EXPECT_EQ(cells.value(6), "8") << "the page count stays a number";
}

TEST(CliVersion, EveryProgramTellsItsVersion) {
    for (const QString& program : {kBuiltCli, kBuiltDevsim}) {
        QProcess process;
        process.start(program, {"--version"});
        const ProcessResult r = FinishProcess(process, kRunGuardMs);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.trimmed().endsWith(QStringLiteral(KVR_VERSION))) << r.out.toStdString();
    }
}

}  // namespace

// kvr-uplinker-cli flash against kvr-devsim over a real pseudo-terminal: the serial component,
// the engine on its thread, the hand-overs served by the command line's event loop, the update
// log and the language file, all as a user would run them. The update scenarios themselves are
// the in-process sequence tests'; here only what the process, the terminal and the wire add. Each
// run really waits for the sequence's fixed pauses (about 6 s for a run that restarts the device),
// so the runs are few.
//
// The executable is copied into a folder of its own, so the update log and the language file
// beside it belong to the test.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "ChildProcesses.h"
#include "DevsimProcess.h"
#include "PackageBuilder.h"
#include "RunMessages.h"
#include "TestFiles.h"

namespace {

using namespace kvr::test;

const QString kBuiltCli = QStringLiteral(KVR_CLI_PATH);
const QString kBuiltDevsim = QStringLiteral(KVR_DEVSIM_PATH);

// Guards against a hang only; no result depends on it.
constexpr int kRunGuardMs = 120'000;

constexpr uint32_t kPageCount = 64;
constexpr uint16_t kPageSize = 264;

// kvr-devsim with a report file, read back once it has stopped.
class Devsim {
public:
    Devsim(const QStringList& args, const QString& reportPath)
        : reportPath_(reportPath),
          process_(kBuiltDevsim, args + QStringList{QStringLiteral("--report"), reportPath}) {}

    const QString& Port() const { return process_.Port(); }

    // Stops the device and returns its summary ("pages_received" → "64", …).
    QMap<QString, QString> Stop() {
        process_.Stop();
        return ReadDevsimReport(reportPath_);
    }

private:
    QString reportPath_;
    DevsimProcess process_;
};

class CliFlash : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        cli_ = dir_.filePath(QStringLiteral("kvr-uplinker-cli"));
        ASSERT_TRUE(CopyProgram(kBuiltCli, cli_));
        kvr::test::PackageOptions options;
        options.pageCount = kPageCount;
        options.pageSize = kPageSize;
        options.seed = 6;
        package_ = dir_.filePath(QStringLiteral("firmware.bsk"));
        QFile file(package_);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray bytes = kvr::test::BuildPackage(options);
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QString Path(const char* name) const { return dir_.filePath(QLatin1String(name)); }

    void StartCli(QProcess& process, const QStringList& args) const {
        process.setWorkingDirectory(dir_.path());
        process.start(cli_, QStringList{QStringLiteral("flash")} + args);
        ASSERT_TRUE(process.waitForStarted(kChildStartGuardMs));
        process.closeWriteChannel();  // no terminal: the program-version question counts as No
    }

    ProcessResult Flash(const QStringList& args) const {
        QProcess process;
        StartCli(process, args);
        return FinishProcess(process, kRunGuardMs);
    }

    QStringList FlashArgs(const QString& port) const {
        return {QStringLiteral("--port"), port, QStringLiteral("--package"), package_};
    }

    // The update log beside the executable, decoded.
    QString Log() const { return LogText(Path("log.txt")); }

    QTemporaryDir dir_;
    QString cli_;
    QString package_;
};

TEST_F(CliFlash, UpdatesSixtyFourPagesAndShowsTheTranslatedSuccess) {
    // A language file beside the executable: the success text comes out translated, and the
    // translated text still counts as success.
    QFile language(Path("ru.lng"));
    ASSERT_TRUE(language.open(QIODevice::WriteOnly));
    language.write(
        QStringLiteral("[ru]\r\nОбновление успешно завершено!=Update done\r\n").toUtf8());
    language.close();

    Devsim device({QStringLiteral("--package"), package_, QStringLiteral("--busy-every"),
                   QStringLiteral("16")},
                  Path("report.txt"));
    ASSERT_FALSE(device.Port().isEmpty()) << "kvr-devsim printed no port";

    const ProcessResult r = Flash(FlashArgs(device.Port()));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Update done\n"));
    // Not a terminal: plain percentage lines, ending full.
    EXPECT_TRUE(r.err.split(u'\n').contains(QStringLiteral("100%"))) << r.err.toStdString();

    const QMap<QString, QString> report = device.Stop();
    EXPECT_EQ(report.value(QStringLiteral("pages_received")), QStringLiteral("64"));
    EXPECT_EQ(report.value(QStringLiteral("mismatches")), QStringLiteral("0"));
    EXPECT_EQ(report.value(QStringLiteral("updates_completed")), QStringLiteral("1"));

    const QString log = Log();
    EXPECT_TRUE(log.contains(QStringLiteral("Запуск обновления")));
    EXPECT_TRUE(log.contains(QStringLiteral("Переход в загрузчик, перезагрузка прибора")));
    EXPECT_TRUE(log.contains(QStringLiteral("Отправка страницы 63")));
    EXPECT_TRUE(log.contains(QStringLiteral("Update done")));
    EXPECT_FALSE(log.contains(kSuccess));
}

TEST_F(CliFlash, TechnologyModeWritesSerialNumberAndHardwareVersion) {
    // Already in its bootloader: the run skips the restart and its four seconds of waiting.
    Devsim device({QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader"),
                   QStringLiteral("--final-status"), QStringLiteral("10")},
                  Path("report.txt"));
    ASSERT_FALSE(device.Port().isEmpty());

    const ProcessResult r = Flash(FlashArgs(device.Port()) +
                                  QStringList{QStringLiteral("--technology"),
                                              QStringLiteral("--sn"), QStringLiteral("12345678"),
                                              QStringLiteral("--hw"), QStringLiteral("300")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, kSuccess + u'\n');

    const QMap<QString, QString> report = device.Stop();
    EXPECT_EQ(report.value(QStringLiteral("mismatches")), QStringLiteral("0"));
    // 300 travels as its low byte, 44; the eight digits are padded with zeros to twelve bytes.
    EXPECT_EQ(report.value(QStringLiteral("serial_number")),
              QStringLiteral("44:313233343536373800000000"));
    EXPECT_TRUE(Log().contains(kSuccess));
    // The number it gave, beside the progress: standard output stays the window's texts.
    EXPECT_TRUE(r.err.split(u'\n').contains(QStringLiteral("S/N 12345678 written")))
        << r.err.toStdString();
}

TEST_F(CliFlash, ProgramMismatchIsAnsweredAsTheCommandLineSays) {
    const QString& question = kProgramQuestion;
    struct Case {
        const char* answer;  // nullptr: the default, ask (no terminal here)
        int exitCode;
        QString out;
    };
    const Case cases[] = {
        {"continue", 0, question + u'\n' + kSuccess + u'\n'},
        {"stop", 1, question + u'\n'},
        {nullptr, 1, question + u'\n'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "ask");
        Devsim device(
            {QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader"),
             QStringLiteral("--page-flags"), QStringLiteral("2:4")},
            Path("report.txt"));
        ASSERT_FALSE(device.Port().isEmpty());
        QStringList args = FlashArgs(device.Port());
        if (c.answer)
            args << QStringLiteral("--program-mismatch") << QLatin1String(c.answer);
        const ProcessResult r = Flash(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(CliFlash, CtrlCStopsAfterTheExchangeUnderWay) {
    // A slow line (2400 bit/s, about a second per page) leaves time to interrupt mid-run.
    Devsim device({QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader"),
                   QStringLiteral("--baud"), QStringLiteral("2400")},
                  Path("report.txt"));
    ASSERT_FALSE(device.Port().isEmpty());

    QProcess process;
    StartCli(process, FlashArgs(device.Port()));
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains("%\n") && process.waitForReadyRead(kRunGuardMs)) {
        err += process.readAllStandardError();
    }
    ASSERT_TRUE(err.contains("%\n")) << "no progress before the run ended";
    ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), SIGINT), 0);
    const ProcessResult r = FinishProcess(process, kRunGuardMs);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, QString()) << "a stop shows no message";
    EXPECT_TRUE(r.err.contains(QStringLiteral("Stopping"))) << r.err.toStdString();

    const QMap<QString, QString> report = device.Stop();
    const int pages = report.value(QStringLiteral("pages_received")).toInt();
    EXPECT_GE(pages, 1);
    EXPECT_LT(pages, static_cast<int>(kPageCount));
    EXPECT_EQ(report.value(QStringLiteral("mismatches")), QStringLiteral("0"));
    EXPECT_FALSE(Log().contains(kSuccess));
}

TEST_F(CliFlash, TwoPortsAtOnceWithTheirOwnLogsNumbersAndSummary) {
    const QStringList deviceArgs{QStringLiteral("--package"), package_,
                                 QStringLiteral("--start-in-bootloader"),
                                 QStringLiteral("--final-status"), QStringLiteral("10")};
    Devsim first(deviceArgs, Path("first.txt"));
    Devsim second(deviceArgs, Path("second.txt"));
    ASSERT_FALSE(first.Port().isEmpty() || second.Port().isEmpty());

    const ProcessResult r =
        Flash(FlashArgs(first.Port()) +
              QStringList{QStringLiteral("--port"), second.Port(), QStringLiteral("--technology"),
                          QStringLiteral("--sn-first"), QStringLiteral("500"),
                          QStringLiteral("--hw"), QStringLiteral("1")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList out = r.out.split(u'\n');
    for (const QString& port : {first.Port(), second.Port()}) {
        EXPECT_TRUE(out.contains(port + QStringLiteral(": ") + kSuccess)) << r.out.toStdString();
        // Its row in the summary: port, outcome, time, number, confirmed.
        EXPECT_EQ(
            out.filter(QRegularExpression(QStringLiteral("^%1 +%2 +[0-9.]+ s +50[01] +yes$")
                                              .arg(QRegularExpression::escape(port), kSuccess)))
                .size(),
            1)
            << r.out.toStdString();
        const QString log =
            LogText(Path(("log-" + port.mid(5).replace(u'/', u'_') + ".txt").toUtf8().constData()));
        EXPECT_TRUE(log.contains(kSuccess)) << "no log of its own for " << port.toStdString();
    }
    EXPECT_TRUE(out.contains(QStringLiteral("Next serial number: 502"))) << r.out.toStdString();
    EXPECT_FALSE(QFile::exists(Path("log.txt")));
    // "500" and "501", each to one device.
    const QSet<QString> written{first.Stop().value(QStringLiteral("serial_number")),
                                second.Stop().value(QStringLiteral("serial_number"))};
    EXPECT_EQ(written, (QSet<QString>{QStringLiteral("1:353030000000000000000000"),
                                      QStringLiteral("1:353031000000000000000000")}));
}

TEST_F(CliFlash, CtrlCStopsEveryPortAndTheSummaryStillComes) {
    const QStringList slowDevice{QStringLiteral("--package"), package_,
                                 QStringLiteral("--start-in-bootloader"), QStringLiteral("--baud"),
                                 QStringLiteral("2400")};
    Devsim first(slowDevice, Path("first.txt"));
    Devsim second(slowDevice, Path("second.txt"));
    ASSERT_FALSE(first.Port().isEmpty() || second.Port().isEmpty());

    QProcess process;
    StartCli(process, FlashArgs(first.Port()) + QStringList{QStringLiteral("--port"), second.Port(),
                                                            QStringLiteral("--json")});
    QByteArray out;
    while (!out.contains("\"progress\"") && process.waitForReadyRead(kRunGuardMs))
        out += process.readAllStandardOutput();
    ASSERT_TRUE(out.contains("\"progress\"")) << "no progress before the runs ended";
    ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), SIGINT), 0);
    const ProcessResult r = FinishProcess(process, kRunGuardMs);
    EXPECT_EQ(r.exitCode, 1);
    const QStringList lines = (QString::fromUtf8(out) + r.out).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.filter(QStringLiteral("{\"type\":\"stopping\"")).size(), 1);
    EXPECT_EQ(lines.filter(QStringLiteral("\"stopped\":true")).size(), 2) << r.out.toStdString();
    EXPECT_TRUE(lines.back().startsWith(QStringLiteral("{\"type\":\"summary\"")));
    EXPECT_TRUE(lines.back().contains(QStringLiteral("\"exit_status\":1")));
    for (Devsim* device : {&first, &second}) {
        const int pages = device->Stop().value(QStringLiteral("pages_received")).toInt();
        EXPECT_LT(pages, static_cast<int>(kPageCount)) << "a run went on after Ctrl+C";
    }
}

TEST_F(CliFlash, BadUsageAndBadPackagesExitWithTwoBeforeAnyRun) {
    // Each refusal and its text is ArgumentsTest's; here the program's status and output for
    // one of them, and that no run starts.
    const QString port = Path("no-such-tty");
    const ProcessResult usage =
        Flash(FlashArgs(port) + QStringList{QStringLiteral("--technology")});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(usage.out.isEmpty());
    EXPECT_EQ(usage.err,
              QStringLiteral("kvr-uplinker-cli: --technology goes with --hw HW and one of "
                             "--sn SN, --sn-first N, --sn-pool NAME\nTry \"kvr-uplinker-cli "
                             "--help\".\n"));
    EXPECT_FALSE(QFile::exists(Path("log.txt"))) << "no run may start on bad usage";

    // A package that does not load: the loader's text alone on standard error.
    QFile broken(package_);
    ASSERT_TRUE(broken.open(QIODevice::ReadWrite));
    broken.seek(broken.size() - 1);
    char last = 0;
    broken.getChar(&last);
    broken.seek(broken.size() - 1);
    broken.putChar(static_cast<char>(last ^ 1));
    broken.close();
    const ProcessResult r = Flash(FlashArgs(port));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(r.err, QStringLiteral("Неправильный формат файла. Указанный файл был изменен.\n"));
    EXPECT_FALSE(QFile::exists(Path("log.txt")));
}

// --- what must not happen on a production line -----------------------------------------------

TEST_F(CliFlash, AClosedOutputStopsNoUpdateAndTheStatusStillTellsTheOutcome) {
    // flash --json | head -n 1: the reader goes after the first line, mid-update.
    Devsim device({QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader")},
                  Path("report.txt"));
    ASSERT_FALSE(device.Port().isEmpty());
    QProcess process;
    StartCli(process, FlashArgs(device.Port()) + QStringList{QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForReadyRead(kRunGuardMs));
    process.closeReadChannel(QProcess::StandardOutput);
    const ProcessResult r = FinishProcess(process, kRunGuardMs);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "killed by the closed pipe";
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(device.Stop().value(QStringLiteral("pages_received")), QStringLiteral("64"));
    EXPECT_TRUE(Log().contains(kSuccess));
}

TEST_F(CliFlash, AHangUpStopsTheRunAsCtrlCDoes) {
    // A closed terminal or a dropped SSH session: the exchange under way ends, the log closes.
    Devsim device({QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader"),
                   QStringLiteral("--baud"), QStringLiteral("2400")},
                  Path("report.txt"));
    ASSERT_FALSE(device.Port().isEmpty());
    QProcess process;
    StartCli(process, FlashArgs(device.Port()) + QStringList{QStringLiteral("--json")});
    QByteArray out;
    while (!out.contains("\"progress\"") && process.waitForReadyRead(kRunGuardMs))
        out += process.readAllStandardOutput();
    ASSERT_TRUE(out.contains("\"progress\"")) << "no progress before the run ended";
    ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), SIGHUP), 0);
    const ProcessResult r = FinishProcess(process, kRunGuardMs);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "killed by SIGHUP";
    EXPECT_EQ(r.exitCode, 1);
    const QString all = QString::fromUtf8(out) + r.out;
    EXPECT_TRUE(all.contains(QStringLiteral("{\"type\":\"stopping\"")));
    EXPECT_TRUE(all.contains(QStringLiteral("\"end\":\"stopped\""))) << all.toStdString();
    EXPECT_LT(device.Stop().value(QStringLiteral("pages_received")).toInt(),
              static_cast<int>(kPageCount));
}

TEST_F(CliFlash, OneNumberOrOnePortTwiceIsRefusedBeforeAnyRun) {
    const QString a = Path("tty-a");
    const QString b = Path("tty-b");
    const QStringList tech{QStringLiteral("--technology"), QStringLiteral("--hw"),
                           QStringLiteral("1")};
    struct Case {
        QStringList args;
        const char* says;
    };
    const Case cases[] = {
        {{QStringLiteral("--port"), a, QStringLiteral("--sn"), QStringLiteral("101"),
          QStringLiteral("--port"), b, QStringLiteral("--sn"), QStringLiteral("101")},
         "are one number"},
        {{QStringLiteral("--port"), a, QStringLiteral("--sn"), QStringLiteral("101"),
          QStringLiteral("--port"), b, QStringLiteral("--sn"), QStringLiteral("0101")},
         "are one number"},
        {{QStringLiteral("--port"), QStringLiteral("null"), QStringLiteral("--port"),
          QStringLiteral("/dev/null")},
         "are the same port"},
        {{QStringLiteral("--port"), QStringLiteral("\\\\.\\COM5"), QStringLiteral("--port"),
          QStringLiteral("COM5")},
         "are the same port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(u' ').toStdString());
        QStringList args = c.args + QStringList{QStringLiteral("--package"), package_};
        if (c.args.contains(QStringLiteral("--sn")))
            args += tech;
        const ProcessResult r = Flash(args);
        EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << r.err.toStdString();
        // With --json the refusal is an error line and the summary.
        const ProcessResult json = Flash(args + QStringList{QStringLiteral("--json")});
        EXPECT_EQ(json.exitCode, 2);
        const QStringList lines = json.out.split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 2) << json.out.toStdString();
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("{\"type\":\"error\"")));
        EXPECT_TRUE(lines[0].contains(QLatin1String(c.says)));
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("{\"type\":\"summary\"")));
        EXPECT_TRUE(lines[1].contains(QStringLiteral("\"exit_status\":2")));
    }
    EXPECT_TRUE(QDir(dir_.path()).entryList({QStringLiteral("log*.txt")}).isEmpty());
}

TEST_F(CliFlash, TwoPortsOfOneFileNameKeepALogEach) {
    // /…/a/tty and /…/b/tty: one log name by their last element, two files in fact.
    const QStringList deviceArgs{QStringLiteral("--package"), package_,
                                 QStringLiteral("--start-in-bootloader")};
    Devsim first(deviceArgs, Path("first.txt"));
    Devsim second(deviceArgs, Path("second.txt"));
    ASSERT_FALSE(first.Port().isEmpty() || second.Port().isEmpty());
    ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("a")));
    ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("b")));
    ASSERT_TRUE(QFile::link(first.Port(), Path("a/tty")));
    ASSERT_TRUE(QFile::link(second.Port(), Path("b/tty")));

    const ProcessResult r =
        Flash({QStringLiteral("--port"), Path("a/tty"), QStringLiteral("--port"), Path("b/tty"),
               QStringLiteral("--package"), package_});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList logs = QDir(dir_.path()).entryList({QStringLiteral("log-*.txt")});
    ASSERT_EQ(logs.size(), 2) << logs.join(u' ').toStdString();
    for (const QString& name : logs) {
        EXPECT_TRUE(name.endsWith(QStringLiteral("_tty.txt"))) << name.toStdString();
        EXPECT_TRUE(LogText(dir_.filePath(name)).contains(kSuccess)) << name.toStdString();
    }
    EXPECT_EQ(first.Stop().value(QStringLiteral("pages_received")), QStringLiteral("64"));
    EXPECT_EQ(second.Stop().value(QStringLiteral("pages_received")), QStringLiteral("64"));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// kvr-uplinker-cli flash over real pseudo-terminals when things go wrong outside the program:
// the simulated device killed mid-run (its terminal closes under the host), a port that does
// not exist or that another process holds, an update log on a read-only mount or one that
// cannot grow. Each run must end by itself with the right lines and exit status, and leave the
// update log complete and unlocked.
//
// The executable is copied into a folder of its own, so that the update log beside it belongs
// to the test. The runs really wait for the sequence's pauses, so they are few.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>

#include "ChildProcesses.h"
#include "DevsimProcess.h"
#include "HeldElsewhere.h"
#include "PackageBuilder.h"
#include "RunMessages.h"
#include "TestFiles.h"

namespace kvr::test {
namespace {

const QString kBuiltCli = QStringLiteral(KVR_CLI_PATH);
const QString kBuiltDevsim = QStringLiteral(KVR_DEVSIM_PATH);

// Guards against a hang only; no result depends on it.
constexpr int kRunGuardMs = 90'000;
constexpr int kLogPollMs = 10;

constexpr uint32_t kPageCount = 16;
constexpr uint16_t kPageSize = 264;

// Exit statuses of a child that could not be set up as a test wanted.
constexpr int kExitNoMountNamespace = 86;
constexpr int kExitNoUser = 87;
constexpr int kExitNoFileSizeLimit = 88;
// The user and group "nobody".
constexpr uid_t kNobodyId = 65534;

QStringList Lines(const QString& text) {
    QStringList lines = text.split(u'\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

QString SystemText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

class CliFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        cli_ = dir_.filePath(QStringLiteral("kvr-uplinker-cli"));
        ASSERT_TRUE(CopyProgram(kBuiltCli, cli_));
        PackageOptions options;
        options.pageCount = kPageCount;
        options.pageSize = kPageSize;
        options.seed = 8;
        package_ = dir_.filePath(QStringLiteral("firmware.bsk"));
        QFile file(package_);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray bytes = BuildPackage(options);
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QString LogPath() const { return dir_.filePath(QStringLiteral("log.txt")); }
    QStringList Log() const { return LogEntries(LogPath()); }

    void StartFlash(QProcess& process, const QString& port,
                    std::function<void()> childSetup = {}) const {
        process.setWorkingDirectory(dir_.path());
        if (childSetup)
            process.setChildProcessModifier(std::move(childSetup));
        process.start(cli_, {QStringLiteral("flash"), QStringLiteral("--port"), port,
                             QStringLiteral("--package"), package_});
        ASSERT_TRUE(process.waitForStarted(kChildStartGuardMs));
        process.closeWriteChannel();  // no terminal: a question would count as No
    }

    ProcessResult Flash(const QString& port, std::function<void()> childSetup = {}) const {
        QProcess process;
        StartFlash(process, port, std::move(childSetup));
        return FinishProcess(process, kRunGuardMs);
    }

    // Waits until the log holds an entry equal to `marker` and, after it, one that starts with
    // `then`. False when the run ended (or the guard passed) first.
    bool WaitForLog(QProcess& cli, const QString& marker, const QString& then) const {
        QDeadlineTimer guard(kRunGuardMs);
        while (!guard.hasExpired() && cli.state() != QProcess::NotRunning) {
            const QStringList log = Log();
            const auto at = log.indexOf(marker);
            if (at >= 0) {
                for (qsizetype i = at + 1; i < log.size(); ++i) {
                    if (log[i].startsWith(then))
                        return true;
                }
            }
            QThread::msleep(kLogPollMs);
        }
        return false;
    }

    // The log as it stood before a run: a byte-order mark and one old entry.
    QByteArray SeedLog() const {
        QByteArray bytes("\xFF\xFE", 2);
        for (QChar c : QStringLiteral("\r\nan earlier run"))
            bytes.append(static_cast<char>(c.unicode() & 0xFF)).append(static_cast<char>(0));
        QFile file(LogPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return bytes;
    }

    QTemporaryDir dir_;
    QString cli_;
    QString package_;
};

// --- the device vanishes --------------------------------------------------------------------

TEST_F(CliFault, DeviceKilledWhileTheHostWaitsForAPageReply) {
    // Page 4 goes unanswered, so the host is certainly waiting for its reply when the kill
    // comes: the log shows the page's frame written.
    DevsimProcess device(
        kBuiltDevsim,
        {QStringLiteral("--package"), package_, QStringLiteral("--start-in-bootloader"),
         QStringLiteral("--fault"), QStringLiteral("no-reply:write-page:5:0")});
    ASSERT_FALSE(device.Port().isEmpty()) << "kvr-devsim printed no port";
    QProcess cli;
    StartFlash(cli, device.Port());
    ASSERT_TRUE(WaitForLog(cli, QStringLiteral("Отправка страницы 4"), QStringLiteral("Запись: ")))
        << "the run never sent page 4";
    device.KillHard();

    const ProcessResult r = FinishProcess(cli, kRunGuardMs);
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_EQ(Lines(r.out), (QStringList{kExchangeError, kUpdateError}));

    // Complete and closed: another process can lock it, and it ends with the run's last words.
    EXPECT_TRUE(LogLockIsFree(LogPath()));
    const QStringList log = Log();
    ASSERT_GE(log.size(), 4);
    EXPECT_EQ(log.mid(log.size() - 4),
              (QStringList{kExchangeError, QStringLiteral("Нет ответа!"),
                           QStringLiteral("Ошибка записи страницы!"), kUpdateError}));
    EXPECT_FALSE(log.contains(QStringLiteral("Отправка страницы 5")));
    EXPECT_EQ(ReadAll(LogPath()).size() % 2, 0);
}

TEST_F(CliFault, DeviceKilledWhileItRestartsIntoItsBootloader) {
    // The device accepted the restart; while the host waits for it to come back, it is gone.
    DevsimProcess device(kBuiltDevsim, {QStringLiteral("--package"), package_});
    ASSERT_FALSE(device.Port().isEmpty()) << "kvr-devsim printed no port";
    QProcess cli;
    StartFlash(cli, device.Port());
    // Reply data of the accepted cmdEnterBootloader: echo 05, answer 00.
    ASSERT_TRUE(WaitForLog(cli, QStringLiteral("Переход в загрузчик, перезагрузка прибора"),
                           QStringLiteral("Чтение: 05 00 ")))
        << "the run never asked for the bootloader";
    device.KillHard();

    const ProcessResult r = FinishProcess(cli, kRunGuardMs);
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    // The probe after the restart finds nobody in either framing: one exchange error.
    EXPECT_EQ(Lines(r.out), QStringList{kExchangeError});
    EXPECT_TRUE(LogLockIsFree(LogPath()));
    const QStringList log = Log();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.back(), kExchangeError);
    EXPECT_FALSE(log.contains(QStringLiteral("Отправка страницы 0")));
}

// --- a port that will not open --------------------------------------------------------------

// Exactly one line on standard error, the hint; the log names the system's reason.
void ExpectPortOpenFailure(const ProcessResult& r, const QString& hintPart, const QStringList& log,
                           int code) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Lines(r.out), (QStringList{kExchangeError, kConnectionError}));
    const QStringList err = Lines(r.err);
    ASSERT_EQ(err.size(), 1) << r.err.toStdString();
    EXPECT_TRUE(err[0].startsWith(QStringLiteral("hint: "))) << err[0].toStdString();
    EXPECT_TRUE(err[0].contains(hintPart)) << err[0].toStdString();

    const auto connecting = log.indexOf(QStringLiteral("Подключение интерфейса"));
    ASSERT_GE(connecting, 0);
    ASSERT_LT(connecting + 1, log.size());
    EXPECT_EQ(
        log[connecting + 1],
        QStringLiteral("SerialComm open port error, %1 (%2)").arg(code).arg(SystemText(code)));
}

TEST_F(CliFault, PortThatDoesNotExist) {
    const QString port = dir_.filePath(QStringLiteral("ttyUSB-unplugged"));
    const ProcessResult r = Flash(port);
    ExpectPortOpenFailure(r, QStringLiteral("does not exist"), Log(), ENOENT);
    EXPECT_TRUE(r.err.contains(port));
    EXPECT_TRUE(r.err.contains(QStringLiteral("unplugged"))) << r.err.toStdString();
    EXPECT_TRUE(LogLockIsFree(LogPath()));
}

TEST_F(CliFault, PortHeldByAnotherProcess) {
    HeldTerminal terminal;
    ASSERT_TRUE(terminal.Held());
    const ProcessResult r = Flash(terminal.Path());
    ExpectPortOpenFailure(r, QStringLiteral("held by another program"), Log(), EBUSY);
    EXPECT_TRUE(r.err.contains(QStringLiteral("another program"))) << r.err.toStdString();
    EXPECT_TRUE(LogLockIsFree(LogPath()));
}

TEST_F(CliFault, PortWithoutPermission) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "running the program as another user needs root";
    // A terminal that only its owner, root, may open; the program runs as nobody from a folder
    // everyone may read.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString terminal = QString::fromLocal8Bit(::ptsname(master));
    ASSERT_EQ(::chmod(::ptsname(master), 0600), 0);
    const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                          QFile::ReadOther | QFile::ReadUser;
    const auto runnable = readable | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(dir_.path(), runnable));
    ASSERT_TRUE(QFile::setPermissions(cli_, runnable));
    ASSERT_TRUE(QFile::setPermissions(package_, readable));
    auto asNobody = [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyId) != 0 || ::setuid(kNobodyId) != 0)
            ::_exit(kExitNoUser);
    };
    const ProcessResult r = Flash(terminal, asNobody);
    ::close(master);
    ASSERT_NE(r.exitCode, kExitNoUser) << "could not become nobody";
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Lines(r.out), (QStringList{kExchangeError, kConnectionError}));
    const QStringList hints = Lines(r.err).filter(QRegularExpression(QStringLiteral("^hint: ")));
    ASSERT_EQ(hints.size(), 1) << r.err.toStdString();
    EXPECT_TRUE(hints[0].contains(QStringLiteral("permission denied"))) << hints[0].toStdString();
    EXPECT_TRUE(hints[0].contains(QStringLiteral("dialout"))) << hints[0].toStdString();
}

// --- an update log that cannot be written ---------------------------------------------------

TEST_F(CliFault, LogOnAReadOnlyMountIsLeftAloneAndTheRunCompletes) {
    const QByteArray before = SeedLog();
    ASSERT_FALSE(before.isEmpty());
    // The log file alone is bind-mounted read-only, in a mount namespace of the program's
    // own, so the folder stays writable and nothing outlives the run.
    const QByteArray path = LogPath().toLocal8Bit();
    auto readOnlyLog = [path] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                    nullptr) != 0) {
            ::_exit(kExitNoMountNamespace);
        }
    };
    DevsimProcess device(kBuiltDevsim, {QStringLiteral("--package"), package_,
                                        QStringLiteral("--start-in-bootloader")});
    ASSERT_FALSE(device.Port().isEmpty());
    const ProcessResult r = Flash(device.Port(), readOnlyLog);
    if (r.exitCode == kExitNoMountNamespace)
        GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(Lines(r.out), QStringList{kSuccess});
    EXPECT_EQ(ReadAll(LogPath()), before);
}

TEST_F(CliFault, LogThatCannotGrowLosesItsEntriesAndTheRunCompletes) {
    const QByteArray before = SeedLog();
    ASSERT_FALSE(before.isEmpty());
    // Files of the program may not grow past the log's present size; without the signal the
    // kernel sends for that, every append fails instead (EFBIG).
    const rlim_t limit = static_cast<rlim_t>(before.size());
    auto cannotGrow = [limit] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, nullptr);
        const rlimit size{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &size) != 0)
            ::_exit(kExitNoFileSizeLimit);
    };
    DevsimProcess device(kBuiltDevsim, {QStringLiteral("--package"), package_,
                                        QStringLiteral("--start-in-bootloader")});
    ASSERT_FALSE(device.Port().isEmpty());
    const ProcessResult r = Flash(device.Port(), cannotGrow);
    ASSERT_NE(r.exitCode, kExitNoFileSizeLimit) << "could not lower the file size limit";
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(Lines(r.out), QStringList{kSuccess});
    EXPECT_EQ(ReadAll(LogPath()), before);
    EXPECT_TRUE(LogLockIsFree(LogPath()));
}

}  // namespace
}  // namespace kvr::test

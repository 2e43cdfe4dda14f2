#include "FlashCommand.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "AppPaths.h"
#include "Cli.h"
#include "Exception.h"
#include "HandOver.h"
#include "PackageLoader.h"
#include "PortOpenError.h"
#include "PortOpenHint.h"
#include "RunReporter.h"
#include "SerialChannel.h"
#include "Translate.h"
#include "UpdateThread.h"

namespace kvr::cli {

namespace {

constexpr qsizetype kSerialNumberMaxDigits = 12;  // the room in the device's payload
constexpr qsizetype kHardwareMaxDigits = 3;       // as the window's HW field
constexpr int kBarWidth = 30;
constexpr int kProgressFull = 100;
constexpr double kMillisecondsPerSecond = 1000.0;
constexpr size_t kAnswerBufferBytes = 64;

bool AllDigits(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

void PrintFlashHelp(CliOutput& io) {
    PrintCommandHelp(io, "flash");
    io.Out(QString());
    io.Out(
        QStringLiteral("  --port PORT            serial port, as \"ports\" lists it, or a path"));
    io.Out(QStringLiteral("  --package FILE         update package (.bsk)"));
    io.Out(QStringLiteral("  --bootall              mark page frames with frame type 2 (-all)"));
    io.Out(QStringLiteral("  --technology           write S/N and HW after the update (-t);"));
    io.Out(QStringLiteral("    --sn SN              serial number, 1-12 digits"));
    io.Out(QStringLiteral("    --hw HW              hardware version, 1-3 digits"));
    io.Out(QStringLiteral("  --program-mismatch ask|continue|stop"));
    io.Out(QStringLiteral("                         answer to the program-version question;"));
    io.Out(QStringLiteral(
        "                         ask (default) asks on the terminal, No without one"));
    io.Out(QString());
    io.Out(QStringLiteral("Message texts go to standard output, progress to standard error."));
    io.Out(QStringLiteral("Ctrl+C stops after the exchange under way. Exit status: 0 when the"));
    io.Out(QStringLiteral(
        "update completed, 1 otherwise, 2 bad usage or a package that does not load."));
}

// --- Ctrl+C ---

std::atomic<int> g_interruptPipeWrite{-1};

void OnInterrupt(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_interruptPipeWrite.load(), &byte, 1);
    // A second Ctrl+C ends the program at once.
    std::signal(signalNumber, SIG_DFL);
    errno = saved;
}

// Turns SIGINT and SIGTERM into a call on the main thread's event loop.
// Restores the previous handlers when destroyed.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> onInterrupt)
        : onInterrupt_(std::move(onInterrupt)) {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
            return;
        }
        ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        g_interruptPipeWrite.store(fds_[1]);
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char buffer[16];
            [[maybe_unused]] const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
            onInterrupt_();
        });
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a question waiting on the terminal gives up
        ::sigaction(SIGINT, &action, &previousInt_);
        ::sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~InterruptWatch() {
        if (fds_[0] < 0)
            return;
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
        g_interruptPipeWrite.store(-1);
        notifier_.reset();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Starts the thread with the stop signals blocked in it, so that they always
    // reach this thread: a question waiting on the terminal must be the read they
    // interrupt.
    static void StartWithoutStopSignals(QThread& thread) {
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        sigset_t previous;
        ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
        thread.start();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

private:
    std::function<void()> onInterrupt_;
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// --- Port-open failures ---

// Passes everything through and notes the system's code when the port does not open. Written on
// the update thread, read on the main thread once the run has ended; the atomic makes that
// hand-over plain to race checkers, which cannot see through Qt's own wait for the thread.
class WatchedChannel final : public ForwardingChannel {
public:
    WatchedChannel(std::unique_ptr<IByteChannel> inner, std::atomic<int>& openFailureCode)
        : ForwardingChannel(std::move(inner)), openFailureCode_(openFailureCode) {}
    void Connect(const LinkSettings& settings) override {
        try {
            ForwardingChannel::Connect(settings);
        } catch (const EPortOpenError& e) {
            openFailureCode_.store(e.SystemCode());
            throw;
        }
    }

private:
    std::atomic<int>& openFailureCode_;
};

class WatchedChannelFactory final : public IChannelFactory {
public:
    explicit WatchedChannelFactory(IChannelFactory& inner) : inner_(inner) {}
    std::unique_ptr<IByteChannel> Create() override {
        return std::make_unique<WatchedChannel>(inner_.Create(), openFailureCode_);
    }
    // The system's code of the last port that did not open; kNoSystemCode when none failed.
    int OpenFailureCode() const { return openFailureCode_.load(); }

private:
    IChannelFactory& inner_;
    std::atomic<int> openFailureCode_{EPortOpenError::kNoSystemCode};
};

}  // namespace

// --- Options ---

bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error) {
    FlashSettings s;
    bool haveSn = false;
    bool haveHw = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            out = args[++i];
            return true;
        };
        if (IsHelpOption(arg)) {
            s.help = true;
        } else if (arg == QLatin1String("--port")) {
            if (!value(s.port))
                return false;
        } else if (arg == QLatin1String("--package")) {
            if (!value(s.packagePath))
                return false;
        } else if (arg == QLatin1String("--bootall")) {
            s.bootAll = true;
        } else if (arg == QLatin1String("--technology")) {
            s.technology = true;
        } else if (arg == QLatin1String("--sn")) {
            if (!value(s.serialNumber))
                return false;
            haveSn = true;
        } else if (arg == QLatin1String("--hw")) {
            if (!value(s.hardware))
                return false;
            haveHw = true;
        } else if (arg == QLatin1String("--program-mismatch")) {
            QString answer;
            if (!value(answer))
                return false;
            if (answer == QLatin1String("ask")) {
                s.programMismatch = ProgramMismatchAnswer::Ask;
            } else if (answer == QLatin1String("continue")) {
                s.programMismatch = ProgramMismatchAnswer::Continue;
            } else if (answer == QLatin1String("stop")) {
                s.programMismatch = ProgramMismatchAnswer::Stop;
            } else {
                error = QStringLiteral("--program-mismatch takes ask, continue or stop, not \"%1\"")
                            .arg(answer);
                return false;
            }
        } else {
            error = QStringLiteral("unknown argument \"%1\" for \"flash\"").arg(arg);
            return false;
        }
    }
    if (s.help) {
        settings = s;
        return true;
    }
    if (s.port.trimmed().isEmpty()) {
        error = QStringLiteral("\"flash\" needs --port PORT");
        return false;
    }
    if (s.packagePath.isEmpty()) {
        error = QStringLiteral("\"flash\" needs --package FILE");
        return false;
    }
    if (s.technology != (haveSn || haveHw) || haveSn != haveHw) {
        error = QStringLiteral("--technology goes with both --sn SN and --hw HW");
        return false;
    }
    // Checked here rather than after the update, when a refused number could only
    // be reported once the firmware is already written.
    if (s.technology &&
        (!AllDigits(s.serialNumber) || s.serialNumber.size() > kSerialNumberMaxDigits)) {
        error = QStringLiteral("--sn takes 1 to %1 digits, not \"%2\"")
                    .arg(kSerialNumberMaxDigits)
                    .arg(s.serialNumber);
        return false;
    }
    if (s.technology && (!AllDigits(s.hardware) || s.hardware.size() > kHardwareMaxDigits)) {
        error = QStringLiteral("--hw takes 1 to %1 digits, not \"%2\"")
                    .arg(kHardwareMaxDigits)
                    .arg(s.hardware);
        return false;
    }
    settings = s;
    return true;
}

// --- Progress ---

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool terminal, int pageCount, IClock& clock)
    : stream_(stream), terminal_(terminal), pageCount_(std::max(pageCount, 1)), clock_(clock) {}

void ProgressDisplay::Update(int position) {
    if (updates_ == 0)
        firstUpdateMs_ = clock_.TickMs();
    ++updates_;
    const bool changed = position != position_;
    position_ = position;
    if (terminal_) {
        DrawBar();
    } else if (changed) {
        std::fprintf(stream_, "%d%%\n", position);
        std::fflush(stream_);
    }
}

void ProgressDisplay::DrawBar() {
    const int filled = std::clamp(position_, 0, kProgressFull) * kBarWidth / kProgressFull;
    // One update per page taken, and one more at completion.
    const int pages = std::min(updates_, pageCount_);
    const uint64_t elapsedMs = clock_.TickMs() - firstUpdateMs_;
    const double rate =
        elapsedMs > 0 ? (updates_ - 1) * kMillisecondsPerSecond / static_cast<double>(elapsedMs)
                      : 0.0;
    std::fprintf(stream_, "\r[%s%s] %3d%%  %d/%d pages  %.1f pages/s  ",
                 std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kBarWidth - filled), '-').c_str(), position_,
                 pages, pageCount_, rate);
    std::fflush(stream_);
    lineOpen_ = true;
}

void ProgressDisplay::EndLine() {
    if (!lineOpen_)
        return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    lineOpen_ = false;
}

// --- Run host ---

CliRunHost::CliRunHost(CliOutput& io, ProgressDisplay& progress, const FlashSettings& settings)
    : io_(io), progress_(progress), settings_(settings) {}

void CliRunHost::ShowMessage(const QString& text) {
    progress_.EndLine();
    io_.Out(text);
    lastMessage_ = text;
}

bool CliRunHost::AskYesNo(const QString& text) {
    progress_.EndLine();
    io_.Out(text);
    switch (settings_.programMismatch) {
        case ProgramMismatchAnswer::Continue:
            return true;
        case ProgramMismatchAnswer::Stop:
            return false;
        case ProgramMismatchAnswer::Ask:
            break;
    }
    return AskTerminal();
}

bool CliRunHost::AskTerminal() {
    if (!::isatty(STDIN_FILENO))
        return false;
    io_.Err(QStringLiteral("Continue? [y/N]"));
    char buffer[kAnswerBufferBytes] = {};
    // Ctrl+C interrupts the read (no SA_RESTART) and counts as No.
    if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
        std::clearerr(stdin);
        return false;
    }
    const QString answer = QString::fromLocal8Bit(buffer).trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes") ||
           answer == QStringLiteral("д") || answer == QStringLiteral("да");
}

void CliRunHost::SetProgress(int position) {
    progress_.Update(position);
}

// --- The command ---

int RunFlashCommand(const QStringList& args, CliOutput& io) {
    FlashSettings settings;
    QString error;
    if (!ParseFlashArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help) {
        PrintFlashHelp(io);
        return kExitOk;
    }

    UpdatePackage package;
    if (!LoadUpdatePackageFile(settings.packagePath, package, error)) {
        io.Err(error);
        return kExitUsage;
    }

    SystemClock clock;
    ProgressDisplay progress(stderr, ::isatty(STDERR_FILENO) != 0,
                             static_cast<int>(package.pages.size()), clock);
    CliRunHost host(io, progress, settings);
    SerialChannelFactory serial;
    WatchedChannelFactory channels(serial);
    RunOptions options;
    options.bootAllMode = settings.bootAll;
    options.technologyMode = settings.technology;
    options.logPath = UpdateLogPath();

    TRunHandOver handOver(host);
    TUpdateThread run(settings.port.trimmed(), std::move(package.pages), options, channels, clock,
                      handOver);
    QEventLoop loop;
    QObject::connect(&run, &QThread::finished, &loop, &QEventLoop::quit);
    InterruptWatch interrupts([&] {
        if (run.isInterruptionRequested())
            return;
        progress.EndLine();
        io.Err(
            QStringLiteral("Stopping after the exchange under way (Ctrl+C again quits at once)."));
        run.requestInterruption();
    });
    InterruptWatch::StartWithoutStopSignals(run);
    loop.exec();
    handOver.WaitServing(run);
    progress.EndLine();

    const QString hint = PortOpenHint(settings.port.trimmed(), channels.OpenFailureCode());
    if (!hint.isEmpty())
        io.Err(hint);
    const QString success = Translate(QString::fromUtf8(kTextSuccess));
    return host.LastMessage() == success ? kExitOk : kExitFailed;
}

}  // namespace kvr::cli

#include "FlashCommand.h"

#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <memory>

#include "AppPaths.h"
#include "Cli.h"
#include "HandOver.h"
#include "InterruptWatch.h"
#include "PackageLoader.h"
#include "PortOpenError.h"
#include "PortOpenHint.h"
#include "ProgressDisplay.h"
#include "RunReporter.h"
#include "SerialChannel.h"
#include "Translate.h"
#include "UpdateThread.h"

namespace kvr::cli {

namespace {

constexpr size_t kAnswerBufferBytes = 64;

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
    if (!IsTerminal(stdin))
        return false;
    io_.Err(QStringLiteral("Continue? [y/N]"));
    char buffer[kAnswerBufferBytes] = {};
    // Ctrl+C ends the read (InterruptWatch) and counts as No.
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

int RunFlashCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    FlashSettings settings;
    QString error;
    if (!ParseFlashArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help) {
        PrintFlashHelp(io, command);
        return kExitOk;
    }

    UpdatePackage package;
    if (!LoadUpdatePackageFile(settings.packagePath, package, error)) {
        io.Err(error);
        return kExitUsage;
    }

    SystemClock clock;
    ProgressDisplay progress(stderr, IsTerminal(stderr), static_cast<int>(package.pages.size()),
                             clock);
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
    InterruptWatch::StartRunThread(run);
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

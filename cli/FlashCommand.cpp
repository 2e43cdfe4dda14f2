#include "FlashCommand.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

#include "AppPaths.h"
#include "Arguments.h"
#include "Cli.h"
#include "InterruptWatch.h"
#include "OutputQueue.h"
#include "PackageLoader.h"
#include "PortLogs.h"
#include "PortOpenError.h"
#include "PortOpenHint.h"
#include "ProductionRun.h"
#include "SerialChannel.h"
#include "Station.h"
#include "StationLedger.h"
#include "StationOutput.h"

namespace kvr::cli {

namespace {

constexpr int kNoOpenFailure = -1;
constexpr int kRecordWatchMs = 250;

// Passes everything through and notes the system's code when the port does not open. Written on
// the port's thread, read on the main thread once the run has ended; the atomic makes that
// hand-over plain to race checkers, which cannot see through Qt's own wait for the thread.
class WatchedChannel final : public ForwardingChannel {
public:
    WatchedChannel(std::unique_ptr<IByteChannel> inner, std::atomic<int>& openFailureCode)
        : ForwardingChannel(std::move(inner)), openFailureCode_(openFailureCode) {}
    void Connect(const LinkSettings& settings) override {
        try {
            ForwardingChannel::Connect(settings);
            openFailureCode_.store(kNoOpenFailure);
        } catch (const EPortOpenError& e) {
            openFailureCode_.store(e.OpenErrorCode());
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
    // The system's code when the port last failed to open; kNoOpenFailure once it opened.
    int OpenFailureCode() const { return openFailureCode_.load(); }

private:
    IChannelFactory& inner_;
    std::atomic<int> openFailureCode_{kNoOpenFailure};
};

// The --json flag of a command line that may not parse: a refused command still answers in the
// format it was asked for.
bool AsksForJson(const QStringList& args) {
    return args.contains(QStringLiteral("--json"));
}

// A command refused before any run, in the format it asked for.
int Refuse(CliOutput& io, bool json, const QString& text, bool usage, IClock& clock) {
    if (json) {
        JsonStationOutput::PrintRefusal(io, text, kExitUsage, clock);
        return kExitUsage;
    }
    if (usage)
        return UsageError(io, text);
    io.Err(text);
    return kExitUsage;
}

// The production run the settings ask for; the package is loaded here, from one read.
std::unique_ptr<station::ProductionRun> PrepareRun(const FlashSettings& settings,
                                                   const QStringList& names, CliOutput& io,
                                                   QString& error, bool& usage) {
    station::ProductionSetup setup;
    usage = false;
    if (!LoadUpdatePackageFile(settings.packagePath, setup.package, error))
        return nullptr;
    setup.packagePath = settings.packagePath;
    setup.ports = names;
    setup.bootAll = settings.bootAll;
    setup.technology = settings.technology;
    setup.hardware = settings.hardware;
    if (settings.technology && settings.serialNumberFirst.isEmpty() &&
        settings.serialNumberPool.isEmpty()) {
        for (const FlashPort& port : settings.ports)
            setup.fixedNumbers << port.serialNumber;
    }
    setup.firstNumber = settings.serialNumberFirst;
    setup.pool = settings.serialNumberPool;
    setup.renumber = settings.renumber;
    setup.record = settings.record;
    setup.updateLogPath = UpdateLogPath();
    setup.repeat = settings.repeat;
    setup.leaseSize = settings.leaseSize;
    setup.leaseRefillBelow = settings.leaseRefillBelow;
    setup.leaseLifetimeS = settings.leaseLifetimeS;
    if (settings.removalMs > 0)
        setup.removalMs = settings.removalMs;
    const ProgramMismatchAnswer answer = settings.programMismatch;
    setup.answerQuestion = [answer, &io](int, const QString&) {
        if (answer == ProgramMismatchAnswer::Ask)
            return AskYesNo(io);
        return answer == ProgramMismatchAnswer::Continue;
    };
    setup.startThread = [](QThread& thread) { InterruptWatch::StartRunThread(thread); };
    return station::ProductionRun::Prepare(std::move(setup), error, usage);
}

std::unique_ptr<IStationOutput> MakeOutput(const FlashSettings& settings, const QStringList& names,
                                           int pageCount, CliOutput& io, IClock& clock) {
    if (settings.json) {
        JsonStationOutput::Command given;
        given.packagePath = settings.packagePath;
        given.pageCount = pageCount;
        given.bootAll = settings.bootAll;
        given.technology = settings.technology;
        given.repeat = settings.repeat;
        return std::make_unique<JsonStationOutput>(io, names, given, clock);
    }
    // One port's bar needs only a carriage return; several ports' lines move the cursor.
    const bool terminal = names.size() > 1 ? CanRedrawLines(stderr) : IsTerminal(stderr);
    return std::make_unique<TextStationOutput>(io, io.ErrStream(), terminal, names, pageCount,
                                               settings.repeat, clock);
}

// The record's state, looked at from this thread, which serves the station: the outputs are not
// thread-safe, and the ledger's threads never call in.
class WatchRecord {
public:
    WatchRecord(station::StationLedger* ledger, IStationOutput& output)
        : ledger_(ledger), output_(output) {
        if (!ledger_)
            return;
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tell(); });
        timer_.start(kRecordWatchMs);
    }
    // Numbers leased and not given go back; what the record has not taken yet waits in the
    // station's store for the next start.
    void Finish(station::ProductionRun& run) {
        const int64_t waiting = run.Finish();
        timer_.stop();
        if (!ledger_)
            return;
        Tell();
        output_.RecordLeft(waiting, ledger_->StorePath());
    }

private:
    void Tell() {
        for (const station::RecordState& state : ledger_->TakeSaid())
            output_.RecordState(state);
    }

    station::StationLedger* ledger_;
    IStationOutput& output_;
    QTimer timer_;
};

}  // namespace

int RunFlashCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    SystemClock clock;
    // A reader that stops reading holds back nobody: the runs, and this thread that serves them
    // and hears Ctrl+C, never wait for a write.
    const QueuedOutput queued(io);
    const bool json = AsksForJson(args);
    const auto refuse = [&](const QString& text, bool usage) {
        return Refuse(io, json, text, usage, clock);
    };

    FlashSettings settings;
    QString error;
    if (!ParseFlashArguments(args, settings, error))
        return refuse(error, true);
    if (settings.help) {
        PrintFlashHelp(io, command);
        return kExitOk;
    }
    QStringList names;
    for (const FlashPort& port : settings.ports)
        names << port.name.trimmed();
    error = station::SamePortTwice(names);
    if (!error.isEmpty())
        return refuse(error, true);
    bool usage = false;
    const std::unique_ptr<station::ProductionRun> run =
        PrepareRun(settings, names, io, error, usage);
    if (!run)
        return refuse(error, usage);

    SerialChannelFactory serial;
    std::vector<std::unique_ptr<WatchedChannelFactory>> factories;
    for (qsizetype i = 0; i < names.size(); ++i)
        factories.push_back(std::make_unique<WatchedChannelFactory>(serial));
    const std::unique_ptr<IStationOutput> output =
        MakeOutput(settings, names, static_cast<int>(run->Setup().package.pages.size()), io, clock);
    const std::unique_ptr<station::Station> station = run->BuildStation(
        [&](int port) -> IChannelFactory& { return *factories[static_cast<size_t>(port)]; },
        [&](int) -> IClock& { return clock; }, *output);
    // The record's state, looked at from this thread, which serves the station: the outputs
    // are not thread-safe, and the ledger's threads never call in.
    WatchRecord watch(run->Ledger(), *output);
    InterruptWatch interrupts([&] {
        if (station->Stopping())
            return;
        output->Stopping();
        station->Stop();
    });
    station->Run();
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString hint =
            PortOpenHint(names[i], factories[static_cast<size_t>(i)]->OpenFailureCode());
        if (!hint.isEmpty())
            output->Hint(static_cast<int>(i), hint);
    }
    const int status = station->AllSucceeded() ? kExitOk : kExitFailed;
    const QString next = run->NextNumber();
    watch.Finish(*run);
    output->Summary(*station, next, status);
    // Written before the watch goes: a closing console ends the program once it has.
    io.Flush();
    return status;
}

}  // namespace kvr::cli

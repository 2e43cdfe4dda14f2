#include "FlashCommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <optional>

#include "AppPaths.h"
#include "Arguments.h"
#include "Cli.h"
#include "InterruptWatch.h"
#include "OutputQueue.h"
#include "PackageLoader.h"
#include "PackageRun.h"
#include "PortLogs.h"
#include "PortOpenError.h"
#include "PortOpenHint.h"
#include "RecordAccess.h"
#include "RecordedStation.h"
#include "SerialChannel.h"
#include "SerialNumberCounter.h"
#include "SerialPorts.h"
#include "Station.h"
#include "StationOutput.h"

namespace kvr::cli {

using station::PoolNumbers;
using station::PortIdentity;
using station::PortLogPaths;
using station::RecordedRuns;
using station::SerialNumberCounter;
using station::StationOptions;
using station::StationPort;

namespace {

constexpr size_t kAnswerBufferBytes = 64;
constexpr int kNoOpenFailure = -1;

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

// The program-version question on the terminal; No without one.
bool AskTerminal(CliOutput& io) {
    if (!IsTerminal(stdin))
        return false;
    io.Err(QStringLiteral("Continue? [y/N]"));
    io.Flush();  // on the screen before the answer is read
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

// Two names of one port: the second run could never open it.
QString SamePortTwice(const QStringList& ports) {
    QStringList seen;
    for (const QString& port : ports) {
        const QString key = PortIdentity(port);
        const qsizetype at = seen.indexOf(key);
        if (at >= 0)
            return QStringLiteral("--port \"%1\" and --port \"%2\" are the same port")
                .arg(ports[at], port);
        seen << key;
    }
    return {};
}

// The --json flag of a command line that may not parse: a refused command still answers in the
// format it was asked for.
bool AsksForJson(const QStringList& args) {
    return args.contains(QStringLiteral("--json"));
}

}  // namespace

int RunFlashCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    SystemClock clock;
    // A reader that stops reading holds back nobody: the runs, and this thread that serves them
    // and hears Ctrl+C, never wait for a write.
    OutputQueue queue;
    io.SetQueue(&queue);
    const struct QueueScope {
        CliOutput& io;
        OutputQueue& queue;
        ~QueueScope() {
            queue.Drain();
            io.SetQueue(nullptr);
        }
    } queueScope{io, queue};

    const bool json = AsksForJson(args);
    const auto refuse = [&](const QString& text, bool usage) {
        if (json) {
            JsonStationOutput::PrintRefusal(io, text, kExitUsage, clock);
            return kExitUsage;
        }
        if (usage)
            return UsageError(io, text);
        io.Err(text);
        return kExitUsage;
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
    error = SamePortTwice(names);
    if (!error.isEmpty())
        return refuse(error, true);

    UpdatePackage package;
    if (!LoadUpdatePackageFile(settings.packagePath, package, error))
        return refuse(error, false);
    const int pageCount = static_cast<int>(package.pages.size());

    // Opened before anything else happens: an update is never made unrecorded when a record
    // was asked for, nor started from a pool that is used up.
    std::unique_ptr<record::Record> record;
    if (!settings.record.isEmpty()) {
        bool usage = false;
        record = OpenRecord(settings.record, error, usage);
        if (!record)
            return refuse(error, usage);
    }
    if (record && !settings.serialNumberPool.isEmpty()) {
        try {
            const auto pools = record->Pools(settings.serialNumberPool);
            if (pools.empty())
                return refuse(QStringLiteral("There is no pool named \"%1\" in %2")
                                  .arg(settings.serialNumberPool, record->Url().Text()),
                              false);
            if (pools.front().next.isEmpty())
                return refuse(QStringLiteral("The pool \"%1\" is used up (%2–%3)")
                                  .arg(pools.front().name, pools.front().first, pools.front().last),
                              false);
        } catch (const record::RecordError& e) {
            return refuse(e.Text(), false);
        }
    }

    SerialChannelFactory serial;
    std::vector<std::unique_ptr<WatchedChannelFactory>> factories;
    std::vector<StationPort> ports;
    const QString logPath = UpdateLogPath();
    const QStringList logPaths = PortLogPaths(logPath, names);
    for (qsizetype i = 0; i < names.size(); ++i) {
        factories.push_back(std::make_unique<WatchedChannelFactory>(serial));
        StationPort port;
        port.name = names[i];
        port.logPath = names.size() == 1 ? logPath : logPaths[i];
        port.serialNumber = settings.ports[static_cast<size_t>(i)].serialNumber;
        port.channels = factories.back().get();
        port.clock = &clock;
        ports.push_back(port);
    }
    std::optional<SerialNumberCounter> counter;
    if (settings.technology && !settings.serialNumberFirst.isEmpty())
        counter.emplace(settings.serialNumberFirst);
    std::optional<RecordedRuns> recorded;
    std::optional<PoolNumbers> pool;
    if (record) {
        const record::RunStart described = record::DescribePackage(settings.packagePath, package);
        recorded.emplace(
            *record, station::DescribeRuns(described, ports, settings.technology, settings.bootAll,
                                           settings.hardware, settings.serialNumberPool));
        if (!settings.serialNumberPool.isEmpty())
            pool.emplace(*record, settings.serialNumberPool, *recorded);
    }

    StationOptions options;
    options.pages = std::move(package.pages);
    options.bootAll = settings.bootAll;
    options.technology = settings.technology;
    options.hardware = settings.hardware;
    options.counter = counter ? static_cast<station::ISerialNumberSource*>(&*counter)
                      : pool  ? static_cast<station::ISerialNumberSource*>(&*pool)
                              : nullptr;
    options.record = recorded ? &*recorded : nullptr;
    options.repeat = settings.repeat;
    if (settings.removalMs > 0)
        options.removalMs = settings.removalMs;
    options.answerQuestion = [&](int, const QString&) {
        switch (settings.programMismatch) {
            case ProgramMismatchAnswer::Continue:
                return true;
            case ProgramMismatchAnswer::Stop:
                return false;
            case ProgramMismatchAnswer::Ask:
                break;
        }
        return AskTerminal(io);
    };
    options.startThread = [](QThread& thread) { InterruptWatch::StartRunThread(thread); };

    std::unique_ptr<IStationOutput> output;
    if (settings.json) {
        JsonStationOutput::Command given;
        given.packagePath = settings.packagePath;
        given.pageCount = pageCount;
        given.bootAll = settings.bootAll;
        given.technology = settings.technology;
        given.repeat = settings.repeat;
        output = std::make_unique<JsonStationOutput>(io, names, given, clock);
    } else {
        // One port's bar needs only a carriage return; several ports' lines move the cursor.
        const bool terminal = names.size() > 1 ? CanRedrawLines(stderr) : IsTerminal(stderr);
        output = std::make_unique<TextStationOutput>(io, io.ErrStream(), terminal, names, pageCount,
                                                     settings.repeat, clock);
    }
    Station station(std::move(ports), std::move(options), *output);
    InterruptWatch interrupts([&] {
        if (station.Stopping())
            return;
        output->Stopping();
        station.Stop();
    });
    station.Run();

    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString hint =
            PortOpenHint(names[i], factories[static_cast<size_t>(i)]->OpenFailureCode());
        if (!hint.isEmpty())
            output->Hint(static_cast<int>(i), hint);
    }
    const int status = station.AllSucceeded() ? kExitOk : kExitFailed;
    QString next = counter ? counter->Next() : QString();
    if (pool) {
        try {
            const auto pools = record->Pools(settings.serialNumberPool);
            if (!pools.empty())
                next = pools.front().next;
        } catch (const record::RecordError&) {
            // The summary goes without it; the pool says it next time.
        }
    }
    output->Summary(station, next, status);
    // Written before the watch goes: a closing console ends the program once it has.
    io.Flush();
    return status;
}

}  // namespace kvr::cli

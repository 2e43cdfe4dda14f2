#include "FlashCommand.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "AppPaths.h"
#include "Arguments.h"
#include "Cli.h"
#include "InterruptWatch.h"
#include "PackageLoader.h"
#include "PortOpenError.h"
#include "PortOpenHint.h"
#include "SerialChannel.h"
#include "SerialNumberCounter.h"
#include "Station.h"
#include "StationOutput.h"

namespace kvr::cli {

namespace {

constexpr size_t kAnswerBufferBytes = 64;

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
            openFailureCode_.store(EPortOpenError::kNoSystemCode);
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
    // The system's code when the port last failed to open; kNoSystemCode once it opened.
    int OpenFailureCode() const { return openFailureCode_.load(); }

private:
    IChannelFactory& inner_;
    std::atomic<int> openFailureCode_{EPortOpenError::kNoSystemCode};
};

// The program-version question on the terminal; No without one.
bool AskTerminal(CliOutput& io) {
    if (!IsTerminal(stdin))
        return false;
    io.Err(QStringLiteral("Continue? [y/N]"));
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

// Two names of one port (a by-id link and its node): the second run could never open it.
QString SamePortTwice(const QStringList& ports) {
    QStringList seen;
    for (const QString& port : ports) {
        // A name that is no file (COM5) is the system's name, where case does not count.
        const QString canonical = QFileInfo(port).canonicalFilePath();
        const QString key = canonical.isEmpty() ? port.toUpper() : canonical;
        const qsizetype at = seen.indexOf(key);
        if (at >= 0)
            return QStringLiteral("--port \"%1\" and --port \"%2\" are the same port")
                .arg(ports[at], port);
        seen << key;
    }
    return {};
}

}  // namespace

QString PortLogPath(const QString& updateLogPath, const QString& port) {
    // /dev/ttyUSB0 and /dev/serial/by-id/usb-… by their last element; /dev/pts/3 as "pts_3",
    // since "3" alone says nothing.
    QString name = port.trimmed();
    const QString dev = QStringLiteral("/dev/");
    const bool inDev = name.startsWith(dev) && !name.startsWith(dev + QStringLiteral("serial/"));
    name = inDev ? name.mid(dev.size())
                 : name.mid(std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\')) + 1);
    for (QChar& c : name) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
        if (!plain)
            c = u'_';
    }
    if (name.isEmpty())
        name = QStringLiteral("_");
    return QFileInfo(updateLogPath).dir().filePath(QStringLiteral("log-%1.txt").arg(name));
}

int RunFlashCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    FlashSettings settings;
    QString error;
    if (!ParseFlashArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help) {
        PrintFlashHelp(io, command);
        return kExitOk;
    }
    QStringList names;
    for (const FlashPort& port : settings.ports)
        names << port.name.trimmed();
    error = SamePortTwice(names);
    if (!error.isEmpty())
        return UsageError(io, error);

    UpdatePackage package;
    if (!LoadUpdatePackageFile(settings.packagePath, package, error)) {
        io.Err(error);
        return kExitUsage;
    }
    const int pageCount = static_cast<int>(package.pages.size());

    SystemClock clock;
    SerialChannelFactory serial;
    std::vector<std::unique_ptr<WatchedChannelFactory>> factories;
    std::vector<StationPort> ports;
    const QString logPath = UpdateLogPath();
    for (const FlashPort& given : settings.ports) {
        factories.push_back(std::make_unique<WatchedChannelFactory>(serial));
        StationPort port;
        port.name = given.name.trimmed();
        port.logPath = names.size() == 1 ? logPath : PortLogPath(logPath, port.name);
        port.serialNumber = given.serialNumber;
        port.channels = factories.back().get();
        port.clock = &clock;
        ports.push_back(port);
    }
    std::optional<SerialNumberCounter> counter;
    if (settings.technology && !settings.serialNumberFirst.isEmpty())
        counter.emplace(settings.serialNumberFirst);

    StationOptions options;
    options.pages = std::move(package.pages);
    options.bootAll = settings.bootAll;
    options.technology = settings.technology;
    options.hardware = settings.hardware;
    options.counter = counter ? &*counter : nullptr;
    options.repeat = settings.repeat;
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
        output = std::make_unique<JsonStationOutput>(stdout, names, given, clock);
    } else {
        // One port's bar needs only a carriage return; several ports' lines move the cursor.
        const bool terminal = names.size() > 1 ? CanRedrawLines(stderr) : IsTerminal(stderr);
        output = std::make_unique<TextStationOutput>(io, stderr, terminal, names, pageCount,
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
    output->Summary(station, counter ? counter->Next() : QString(), status);
    return status;
}

}  // namespace kvr::cli

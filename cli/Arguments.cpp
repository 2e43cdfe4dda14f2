#include "Arguments.h"

#include <algorithm>

#include "Cli.h"
#include "LinkTypes.h"

namespace kvr::cli {

namespace {

constexpr qsizetype kSerialNumberMaxDigits = kSerialNumberMaxChars;
constexpr double kRemovalSecondsMin = 0.5;
constexpr double kRemovalSecondsMax = 3600;
constexpr double kMillisecondsPerSecond = 1000;

bool AllDigits(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

bool ParsePortsArguments(const QStringList& args, PortsSettings& settings, QString& error) {
    PortsSettings s;
    for (const QString& arg : args) {
        if (IsHelpOption(arg)) {
            s.help = true;
            break;
        }
        if (arg != QLatin1String("--json")) {
            error = QStringLiteral("\"ports\" takes only --json, got \"%1\"").arg(arg);
            return false;
        }
        s.json = true;
    }
    settings = s;
    return true;
}

bool ParseInfoArguments(const QStringList& args, InfoSettings& settings, QString& error) {
    InfoSettings s;
    bool optionsEnded = false;
    QStringList files;
    for (const QString& arg : args) {
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && IsHelpOption(arg)) {
            s.help = true;
            settings = s;
            return true;
        } else if (!optionsEnded && arg == QLatin1String("--json")) {
            s.json = true;
        } else if (!optionsEnded && arg.size() > 1 && arg.startsWith(u'-')) {
            error = QStringLiteral("unknown option \"%1\" for \"info\"").arg(arg);
            return false;
        } else {
            files << arg;
        }
    }
    if (files.isEmpty()) {
        error = QStringLiteral("\"info\" needs a PACKAGE file");
        return false;
    }
    if (files.size() > 1) {
        error = QStringLiteral("\"info\" takes one PACKAGE, got also \"%1\"").arg(files[1]);
        return false;
    }
    s.packagePath = files.first();
    settings = s;
    return true;
}

bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error) {
    FlashSettings s;
    bool haveHw = false;
    bool haveSnFirst = false;
    bool havePool = false;
    bool answerGiven = false;
    bool removalGiven = false;
    // Each --sn with the index of the --port before it (-1: none yet).
    std::vector<std::pair<qsizetype, QString>> serialNumbers;
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
            FlashPort port;
            if (!value(port.name))
                return false;
            s.ports.push_back(port);
        } else if (arg == QLatin1String("--package")) {
            if (!value(s.packagePath))
                return false;
        } else if (arg == QLatin1String("--bootall")) {
            s.bootAll = true;
        } else if (arg == QLatin1String("--technology")) {
            s.technology = true;
        } else if (arg == QLatin1String("--sn")) {
            QString number;
            if (!value(number))
                return false;
            serialNumbers.emplace_back(static_cast<qsizetype>(s.ports.size()) - 1, number);
        } else if (arg == QLatin1String("--sn-first")) {
            if (!value(s.serialNumberFirst))
                return false;
            haveSnFirst = true;
        } else if (arg == QLatin1String("--sn-pool")) {
            if (!value(s.serialNumberPool))
                return false;
            havePool = true;
        } else if (arg == QLatin1String("--record")) {
            if (!value(s.record))
                return false;
        } else if (arg == QLatin1String("--hw")) {
            if (!value(s.hardware))
                return false;
            haveHw = true;
        } else if (arg == QLatin1String("--repeat")) {
            s.repeat = true;
        } else if (arg == QLatin1String("--removal-seconds")) {
            QString seconds;
            if (!value(seconds))
                return false;
            bool isNumber = false;
            const double parsed = seconds.toDouble(&isNumber);
            if (!isNumber || !(parsed >= kRemovalSecondsMin && parsed <= kRemovalSecondsMax)) {
                error = QStringLiteral("--removal-seconds takes %1 to %2 seconds, not \"%3\"")
                            .arg(kRemovalSecondsMin)
                            .arg(kRemovalSecondsMax)
                            .arg(seconds);
                return false;
            }
            s.removalMs = static_cast<uint32_t>(parsed * kMillisecondsPerSecond + 0.5);
            removalGiven = true;
        } else if (arg == QLatin1String("--json")) {
            s.json = true;
        } else if (arg == QLatin1String("--program-mismatch")) {
            QString answer;
            if (!value(answer))
                return false;
            answerGiven = true;
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
        if (s.ports.size() == 1 && !serialNumbers.empty())
            s.ports.front().serialNumber = serialNumbers.front().second;
        settings = s;
        return true;
    }
    if (s.ports.empty() || std::any_of(s.ports.begin(), s.ports.end(), [](const FlashPort& p) {
            return p.name.trimmed().isEmpty();
        })) {
        error = QStringLiteral("\"flash\" needs --port PORT");
        return false;
    }
    for (size_t i = 0; i < s.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (s.ports[i].name.trimmed() == s.ports[j].name.trimmed()) {
                error =
                    QStringLiteral("--port \"%1\" is given twice").arg(s.ports[i].name.trimmed());
                return false;
            }
        }
    }
    if (s.packagePath.isEmpty()) {
        error = QStringLiteral("\"flash\" needs --package FILE");
        return false;
    }
    const bool severalPorts = s.ports.size() > 1;
    if (severalPorts && answerGiven && s.programMismatch == ProgramMismatchAnswer::Ask) {
        error = QStringLiteral(
            "--program-mismatch ask takes one port: with several there is nobody to ask");
        return false;
    }
    if (severalPorts && !answerGiven)
        s.programMismatch = ProgramMismatchAnswer::Stop;

    const bool haveSn = !serialNumbers.empty();
    if (haveSn && haveSnFirst) {
        error = QStringLiteral("--sn and --sn-first do not go together");
        return false;
    }
    if ((haveSn || haveSnFirst) && havePool) {
        error = QStringLiteral("--sn-pool takes the place of --sn and --sn-first");
        return false;
    }
    if (havePool && s.serialNumberPool.trimmed().isEmpty()) {
        error = QStringLiteral("--sn-pool needs a pool's NAME");
        return false;
    }
    const bool anyNumbers = haveSn || haveSnFirst || havePool;
    if (s.technology != (anyNumbers || haveHw) || (s.technology && (!haveHw || !anyNumbers))) {
        error = QStringLiteral(
            "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME");
        return false;
    }
    if (havePool && s.record.isEmpty())
        s.record = QStringLiteral("default");
    if (removalGiven && !s.repeat) {
        error = QStringLiteral("--removal-seconds goes with --repeat");
        return false;
    }
    if (haveSn && s.repeat) {
        error = QStringLiteral("--repeat numbers its devices with --sn-first, not --sn");
        return false;
    }
    if (haveSn && !severalPorts) {
        if (serialNumbers.size() > 1) {
            error = QStringLiteral("--sn is given twice");
            return false;
        }
        s.ports.front().serialNumber = serialNumbers.front().second;
    } else if (haveSn) {
        std::vector<bool> numbered(s.ports.size(), false);
        for (const auto& [port, number] : serialNumbers) {
            if (port < 0) {
                error = QStringLiteral("with several ports each --sn follows its --port");
                return false;
            }
            const auto index = static_cast<size_t>(port);
            if (numbered[index]) {
                error =
                    QStringLiteral("--port \"%1\" has two --sn").arg(s.ports[index].name.trimmed());
                return false;
            }
            numbered[index] = true;
            s.ports[index].serialNumber = number;
        }
        for (size_t i = 0; i < s.ports.size(); ++i) {
            if (!numbered[i]) {
                error =
                    QStringLiteral("--port \"%1\" has no --sn (give each port one, or --sn-first)")
                        .arg(s.ports[i].name.trimmed());
                return false;
            }
        }
    }
    // Checked here rather than after the update, when a refused number could only
    // be reported once the firmware is already written.
    for (const FlashPort& port : s.ports) {
        if (s.technology && haveSn &&
            (!AllDigits(port.serialNumber) || port.serialNumber.size() > kSerialNumberMaxDigits)) {
            error = QStringLiteral("--sn takes 1 to %1 digits, not \"%2\"")
                        .arg(kSerialNumberMaxDigits)
                        .arg(port.serialNumber);
            return false;
        }
    }
    // One number on two devices, however it is written: 101 and 0101 label one unit to a person.
    for (size_t i = 0; s.technology && haveSn && i < s.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (s.ports[i].serialNumber.toULongLong() == s.ports[j].serialNumber.toULongLong()) {
                error = QStringLiteral(
                            "--sn %1 (--port \"%2\") and --sn %3 (--port \"%4\") are one "
                            "number: every device needs its own")
                            .arg(s.ports[j].serialNumber, s.ports[j].name.trimmed(),
                                 s.ports[i].serialNumber, s.ports[i].name.trimmed());
                return false;
            }
        }
    }
    if (haveSnFirst &&
        (!AllDigits(s.serialNumberFirst) || s.serialNumberFirst.size() > kSerialNumberMaxDigits)) {
        error = QStringLiteral("--sn-first takes 1 to %1 digits, not \"%2\"")
                    .arg(kSerialNumberMaxDigits)
                    .arg(s.serialNumberFirst);
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

void PrintFlashHelp(CliOutput& io, const CliCommand& command) {
    PrintCommandHelp(io, command);
    const char* const lines[] = {
        "",
        "  --port PORT            serial port, as \"ports\" lists it, or a path (a",
        "                         /dev/serial/by-id name keeps a fixture's adapter);",
        "                         several --port options update their devices at once",
        "  --package FILE         update package (.bsk)",
        "  --bootall              mark page frames with frame type 2 (-all)",
        "  --technology           write S/N and HW after the update (-t), with",
        "    --sn SN              the serial number, 1-12 digits; with several ports",
        "                         one after each --port",
        "    --sn-first N         or numbers from a counter starting at N: a number",
        "                         is taken when a device asks for it and never given",
        "                         twice, not even after a device failed with it",
        "    --sn-pool NAME       or numbers from a pool of the record (see \"pool\"):",
        "                         each is committed as sent before the device sees",
        "                         it and never given again, by any station",
        "    --hw HW              hardware version, 1-3 digits",
        "  --program-mismatch ask|continue|stop",
        "                         answer to the program-version question; ask",
        "                         (one port only, its default) asks on the terminal,",
        "                         No without one; stop is the default for several",
        "  --repeat               station loop: when a device is taken away and the",
        "                         next one answers, update it; Ctrl+C ends the loop",
        "    --removal-seconds S  silence that counts as the device taken away",
        "                         (default 5; a device's own restart takes up to 3)",
        "  --record URL           write every run to a record: sqlite:PATH or",
        "                         postgresql://USER@HOST[:PORT]/DB (password from",
        "                         PGPASSWORD or .pgpass); --sn-pool alone uses",
        "                         records.sqlite beside the update log",
        "  --json                 events as JSON lines on standard output",
        "",
        "Message texts go to standard output, progress to standard error; several ports",
        "end with a summary table. Ctrl+C (also SIGTERM, SIGHUP, a closed console) stops",
        "after the exchange under way; a closed output stops nothing. Exit status:",
        "0 when every update completed, 1 otherwise, 2 bad usage, a package that does",
        "not load, a record that cannot be reached or a pool that is used up.",
    };
    for (const char* line : lines)
        io.Out(QString::fromUtf8(line));
}

}  // namespace kvr::cli

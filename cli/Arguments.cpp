#include "Arguments.h"

#include <algorithm>
#include <string>

#include "Cli.h"
#include "LinkTypes.h"
#include "StationLimits.h"

namespace kvr::cli {

namespace {

constexpr qsizetype kSerialNumberMaxDigits = kSerialNumberMaxChars;
constexpr double kMillisecondsPerSecond = 1000;
constexpr int kHelpColumn = 25;

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

namespace {

using station::kLeaseHoursMax;
using station::kLeaseHoursMin;
using station::kLeaseSizeMax;
using station::kLeaseSizeMin;
using station::kRemovalSecondsMax;
using station::kRemovalSecondsMin;

// What the words of a flash command said, before it is checked as a whole.
struct FlashWords {
    FlashSettings s;
    // Each --sn with the index of the --port before it (-1: none yet).
    std::vector<std::pair<qsizetype, QString>> serialNumbers;
    bool haveHw = false, haveSnFirst = false, havePool = false;
    QString answer;  // --program-mismatch as given
    bool answerGiven = false;
    QString removal;  // --removal-seconds as given; empty: not given
    bool removalGiven = false;
    QString leaseSize, leaseRefill, leaseHours;  // as given; empty: not given
};

// One option of flash: its name, its value's name (none for a switch), how deep its help is
// indented below the option it belongs to, its part of the synopsis (none: inside another's),
// its help lines, and what it sets.
struct FlashOption {
    const char* name;
    const char* value;
    int depth;
    const char* synopsis;
    const char* help;
    void (*take)(FlashWords& words, const QString& value);
};

const FlashOption kFlashOptions[] = {
    {"--port", "PORT", 0, "--port PORT [--port PORT ...]",
     "serial port, as \"ports\" lists it, or a path (a\n"
     "/dev/serial/by-id name keeps a fixture's adapter);\n"
     "several --port options update their devices at once",
     [](FlashWords& w, const QString& v) {
         w.s.ports.push_back(FlashPort{v, {}});
     }},
    {"--package", "FILE", 0, "--package FILE", "update package (.bsk)",
     [](FlashWords& w, const QString& v) { w.s.packagePath = v; }},
    {"--bootall", nullptr, 0, "[--bootall]", "mark page frames with frame type 2 (-all)",
     [](FlashWords& w, const QString&) { w.s.bootAll = true; }},
    {"--technology", nullptr, 0,
     "[--technology --sn SN|--sn-first N|--sn-pool NAME --hw HW [--renumber]]",
     "write S/N and HW after the update (-t), with",
     [](FlashWords& w, const QString&) { w.s.technology = true; }},
    {"--sn", "SN", 1, nullptr,
     "the serial number, 1-12 digits; with several ports\n"
     "one after each --port",
     [](FlashWords& w, const QString& v) {
         w.serialNumbers.emplace_back(static_cast<qsizetype>(w.s.ports.size()) - 1, v);
     }},
    {"--sn-first", "N", 1, nullptr,
     "or numbers from a counter starting at N: a number\n"
     "is taken when a device asks for it and never given\n"
     "twice, not even after a device failed with it",
     [](FlashWords& w, const QString& v) {
         w.s.serialNumberFirst = v;
         w.haveSnFirst = true;
     }},
    {"--sn-pool", "NAME", 1, nullptr,
     "or numbers from a pool of the record (see \"pool\"):\n"
     "each is committed as sent before the device sees\n"
     "it and never given again, by any station",
     [](FlashWords& w, const QString& v) {
         w.s.serialNumberPool = v;
         w.havePool = true;
     }},
    {"--lease", "N", 2, nullptr,
     "numbers this station leases from the pool at a\n"
     "time, so that it goes on while the record is away\n"
     "(default 200, about an hour of a busy station)",
     [](FlashWords& w, const QString& v) { w.leaseSize = v; }},
    {"--lease-refill", "N", 2, nullptr, "lease again when fewer are left (default 100)",
     [](FlashWords& w, const QString& v) { w.leaseRefill = v; }},
    {"--lease-hours", "H", 2, nullptr,
     "a lease's lifetime (default 12); numbers not given\n"
     "go back to the pool when the station stops",
     [](FlashWords& w, const QString& v) { w.leaseHours = v; }},
    {"--hw", "HW", 1, nullptr, "hardware version, 1-3 digits",
     [](FlashWords& w, const QString& v) {
         w.s.hardware = v;
         w.haveHw = true;
     }},
    {"--renumber", nullptr, 1, nullptr,
     "with --record: give --sn or --sn-first numbers that\n"
     "the record holds as given already (a unit numbered\n"
     "again on purpose); the run's row says so",
     [](FlashWords& w, const QString&) { w.s.renumber = true; }},
    {"--program-mismatch", "ask|continue|stop", 0, "[--program-mismatch ask|continue|stop]",
     "answer to the program-version question; ask\n"
     "(one port only, its default) asks on the terminal,\n"
     "No without one; stop is the default for several",
     [](FlashWords& w, const QString& v) {
         w.answer = v;
         w.answerGiven = true;
     }},
    {"--repeat", nullptr, 0, "[--repeat [--removal-seconds S]]",
     "station loop: when a device is taken away and the\n"
     "next one answers, update it; Ctrl+C ends the loop",
     [](FlashWords& w, const QString&) { w.s.repeat = true; }},
    {"--removal-seconds", "S", 1, nullptr,
     "silence that counts as the device taken away\n"
     "(default 5; a device's own restart takes up to 3)",
     [](FlashWords& w, const QString& v) {
         w.removal = v;
         w.removalGiven = true;
     }},
    {"--record", "URL", 0, "[--record URL]",
     "write every run to a record: sqlite:PATH or\n"
     "postgresql://USER@HOST[:PORT]/DB[?sslmode=…] (password\n"
     "from PGPASSWORD or .pgpass); --sn-pool alone uses\n"
     "records.sqlite beside the update log",
     [](FlashWords& w, const QString& v) { w.s.record = v; }},
    {"--json", nullptr, 0, "[--json]", "events as JSON lines on standard output",
     [](FlashWords& w, const QString&) { w.s.json = true; }},
};

const FlashOption* FindFlashOption(const QString& name) {
    for (const FlashOption& option : kFlashOptions) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

bool Refused(QString& error, const QString& why) {
    error = why;
    return false;
}

bool CheckFlashPorts(FlashWords& w, QString& error) {
    FlashSettings& s = w.s;
    if (s.ports.empty() || std::any_of(s.ports.begin(), s.ports.end(), [](const FlashPort& p) {
            return p.name.trimmed().isEmpty();
        }))
        return Refused(error, QStringLiteral("\"flash\" needs --port PORT"));
    for (size_t i = 0; i < s.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (s.ports[i].name.trimmed() == s.ports[j].name.trimmed())
                return Refused(
                    error,
                    QStringLiteral("--port \"%1\" is given twice").arg(s.ports[i].name.trimmed()));
        }
    }
    if (s.packagePath.isEmpty())
        return Refused(error, QStringLiteral("\"flash\" needs --package FILE"));
    return true;
}

bool CheckFlashAnswer(FlashWords& w, QString& error) {
    FlashSettings& s = w.s;
    const bool severalPorts = s.ports.size() > 1;
    if (!w.answerGiven) {
        if (severalPorts)
            s.programMismatch = ProgramMismatchAnswer::Stop;
        return true;
    }
    if (w.answer == QLatin1String("ask"))
        s.programMismatch = ProgramMismatchAnswer::Ask;
    else if (w.answer == QLatin1String("continue"))
        s.programMismatch = ProgramMismatchAnswer::Continue;
    else if (w.answer == QLatin1String("stop"))
        s.programMismatch = ProgramMismatchAnswer::Stop;
    else
        return Refused(error,
                       QStringLiteral("--program-mismatch takes ask, continue or stop, not \"%1\"")
                           .arg(w.answer));
    if (severalPorts && s.programMismatch == ProgramMismatchAnswer::Ask)
        return Refused(error, QStringLiteral("--program-mismatch ask takes one port: with several "
                                             "there is nobody to ask"));
    return true;
}

bool CheckFlashLoop(FlashWords& w, QString& error) {
    if (!w.removalGiven)
        return true;
    bool isNumber = false;
    const double seconds = w.removal.toDouble(&isNumber);
    if (!isNumber || !(seconds >= kRemovalSecondsMin && seconds <= kRemovalSecondsMax))
        return Refused(error, QStringLiteral("--removal-seconds takes %1 to %2 seconds, not \"%3\"")
                                  .arg(kRemovalSecondsMin)
                                  .arg(kRemovalSecondsMax)
                                  .arg(w.removal));
    if (!w.s.repeat)
        return Refused(error, QStringLiteral("--removal-seconds goes with --repeat"));
    w.s.removalMs = static_cast<uint32_t>(seconds * kMillisecondsPerSecond + 0.5);
    return true;
}

// A whole number from `min` to `max` in `given`, into `value`; empty `given` leaves it.
bool TakeCount(const QString& given, const char* option, int64_t min, int64_t max, int64_t& value,
               QString& error) {
    if (given.isEmpty())
        return true;
    bool ok = false;
    const int64_t n = given.toLongLong(&ok);
    if (!ok || n < min || n > max)
        return Refused(error, QStringLiteral("%1 takes %2 to %3, not \"%4\"")
                                  .arg(QLatin1String(option))
                                  .arg(min)
                                  .arg(max)
                                  .arg(given));
    value = n;
    return true;
}

bool CheckFlashLease(FlashWords& w, QString& error) {
    if (w.leaseSize.isEmpty() && w.leaseRefill.isEmpty() && w.leaseHours.isEmpty())
        return true;
    if (!w.havePool)
        return Refused(error, QStringLiteral("--lease, --lease-refill and --lease-hours go with "
                                             "--sn-pool"));
    int64_t size = 0, refill = 0, hours = 0;
    if (!TakeCount(w.leaseSize, "--lease", kLeaseSizeMin, kLeaseSizeMax, size, error) ||
        !TakeCount(w.leaseRefill, "--lease-refill", 1, kLeaseSizeMax, refill, error) ||
        !TakeCount(w.leaseHours, "--lease-hours", kLeaseHoursMin, kLeaseHoursMax, hours, error))
        return false;
    w.s.leaseSize = static_cast<int>(size);
    w.s.leaseRefillBelow = static_cast<int>(refill);
    w.s.leaseLifetimeS = hours * 3600;
    return true;
}

// Each --sn to its port: one port takes its --sn wherever it stands.
bool PlaceSerialNumbers(FlashWords& w, QString& error) {
    FlashSettings& s = w.s;
    if (s.ports.size() == 1) {
        if (w.serialNumbers.size() > 1)
            return Refused(error, QStringLiteral("--sn is given twice"));
        s.ports.front().serialNumber = w.serialNumbers.front().second;
        return true;
    }
    std::vector<bool> numbered(s.ports.size(), false);
    for (const auto& [port, number] : w.serialNumbers) {
        if (port < 0)
            return Refused(error,
                           QStringLiteral("with several ports each --sn follows its --port"));
        const auto index = static_cast<size_t>(port);
        if (numbered[index])
            return Refused(
                error,
                QStringLiteral("--port \"%1\" has two --sn").arg(s.ports[index].name.trimmed()));
        numbered[index] = true;
        s.ports[index].serialNumber = number;
    }
    for (size_t i = 0; i < s.ports.size(); ++i) {
        if (!numbered[i])
            return Refused(
                error,
                QStringLiteral("--port \"%1\" has no --sn (give each port one, or --sn-first)")
                    .arg(s.ports[i].name.trimmed()));
    }
    return true;
}

bool CheckFixedNumbers(FlashWords& w, QString& error) {
    FlashSettings& s = w.s;
    if (!PlaceSerialNumbers(w, error))
        return false;
    // Checked here rather than after the update, when a refused number could only be reported
    // once the firmware is already written.
    for (const FlashPort& port : s.ports) {
        if (!AllDigits(port.serialNumber) || port.serialNumber.size() > kSerialNumberMaxDigits)
            return Refused(error, QStringLiteral("--sn takes 1 to %1 digits, not \"%2\"")
                                      .arg(kSerialNumberMaxDigits)
                                      .arg(port.serialNumber));
    }
    // One number on two devices, however it is written: 101 and 0101 label one unit to a person.
    for (size_t i = 0; i < s.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (s.ports[i].serialNumber.toULongLong() == s.ports[j].serialNumber.toULongLong())
                return Refused(error,
                               QStringLiteral("--sn %1 (--port \"%2\") and --sn %3 (--port \"%4\") "
                                              "are one number: every device needs its own")
                                   .arg(s.ports[j].serialNumber, s.ports[j].name.trimmed(),
                                        s.ports[i].serialNumber, s.ports[i].name.trimmed()));
        }
    }
    return true;
}

bool CheckFlashNumbers(FlashWords& w, QString& error) {
    FlashSettings& s = w.s;
    const bool haveSn = !w.serialNumbers.empty();
    if (haveSn && w.haveSnFirst)
        return Refused(error, QStringLiteral("--sn and --sn-first do not go together"));
    if ((haveSn || w.haveSnFirst) && w.havePool)
        return Refused(error, QStringLiteral("--sn-pool takes the place of --sn and --sn-first"));
    if (w.havePool && s.serialNumberPool.trimmed().isEmpty())
        return Refused(error, QStringLiteral("--sn-pool needs a pool's NAME"));
    const bool anyNumbers = haveSn || w.haveSnFirst || w.havePool;
    if (s.technology != (anyNumbers || w.haveHw) || (s.technology && (!w.haveHw || !anyNumbers)))
        return Refused(error, QStringLiteral("--technology goes with --hw HW and one of --sn SN, "
                                             "--sn-first N, --sn-pool NAME"));
    if (w.havePool && s.record.isEmpty())
        s.record = QStringLiteral("default");
    if (s.renumber && (!s.technology || w.havePool || s.record.isEmpty()))
        return Refused(error, QStringLiteral("--renumber goes with --technology, --sn or "
                                             "--sn-first, and --record"));
    if (haveSn && s.repeat)
        return Refused(error,
                       QStringLiteral("--repeat numbers its devices with --sn-first, not --sn"));
    if (haveSn && !CheckFixedNumbers(w, error))
        return false;
    if (w.haveSnFirst &&
        (!AllDigits(s.serialNumberFirst) || s.serialNumberFirst.size() > kSerialNumberMaxDigits))
        return Refused(error, QStringLiteral("--sn-first takes 1 to %1 digits, not \"%2\"")
                                  .arg(kSerialNumberMaxDigits)
                                  .arg(s.serialNumberFirst));
    if (s.technology && (!AllDigits(s.hardware) || s.hardware.size() > kHardwareMaxDigits))
        return Refused(error, QStringLiteral("--hw takes 1 to %1 digits, not \"%2\"")
                                  .arg(kHardwareMaxDigits)
                                  .arg(s.hardware));
    return true;
}

}  // namespace

bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error) {
    FlashWords w;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (IsHelpOption(arg)) {
            w.s.help = true;
            continue;
        }
        const FlashOption* option = FindFlashOption(arg);
        if (option == nullptr)
            return Refused(error, QStringLiteral("unknown argument \"%1\" for \"flash\"").arg(arg));
        QString value;
        if (option->value != nullptr) {
            if (i + 1 >= args.size())
                return Refused(error, QStringLiteral("%1 needs a value").arg(arg));
            value = args[++i];
        }
        option->take(w, value);
    }
    if (w.s.help) {
        if (w.s.ports.size() == 1 && !w.serialNumbers.empty())
            w.s.ports.front().serialNumber = w.serialNumbers.front().second;
        settings = w.s;
        return true;
    }
    if (!CheckFlashPorts(w, error) || !CheckFlashAnswer(w, error) || !CheckFlashNumbers(w, error) ||
        !CheckFlashLoop(w, error) || !CheckFlashLease(w, error))
        return false;
    settings = w.s;
    return true;
}

const char* FlashSynopsis() {
    static const std::string synopsis = [] {
        std::string text = "flash";
        for (const FlashOption& option : kFlashOptions) {
            if (option.synopsis != nullptr)
                text += std::string(" ") + option.synopsis;
        }
        return text;
    }();
    return synopsis.c_str();
}

void PrintFlashHelp(CliOutput& io, const CliCommand& command) {
    PrintCommandHelp(io, command);
    io.Out(QString());
    for (const FlashOption& option : kFlashOptions) {
        QString left = QString(2 + 2 * option.depth, u' ') + QLatin1String(option.name);
        if (option.value != nullptr)
            left += u' ' + QLatin1String(option.value);
        const QStringList lines = QString::fromUtf8(option.help).split(u'\n');
        if (left.size() >= kHelpColumn) {
            io.Out(left);
            left.clear();
        }
        for (const QString& line : lines) {
            io.Out(left.leftJustified(kHelpColumn) + line);
            left.clear();
        }
    }
    const char* const closing[] = {
        "",
        "Message texts go to standard output, progress to standard error; several ports",
        "end with a summary table. Ctrl+C (also SIGTERM, SIGHUP, a closed console) stops",
        "after the exchange under way; a closed output stops nothing. Exit status:",
        "0 when every update completed, 1 otherwise, 2 bad usage, a package that does",
        "not load, a record that cannot be reached, a pool that is used up or a number",
        "that the record holds as given already.",
    };
    for (const char* line : closing)
        io.Out(QString::fromUtf8(line));
}

}  // namespace kvr::cli

#include "Arguments.h"

#include <algorithm>

#include "Cli.h"

namespace kvr::cli {

namespace {

constexpr qsizetype kSerialNumberMaxDigits = 12;  // the room in the device's payload
constexpr qsizetype kHardwareMaxDigits = 3;       // as the window's HW field

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

void PrintFlashHelp(CliOutput& io, const CliCommand& command) {
    PrintCommandHelp(io, command);
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

}  // namespace kvr::cli

// What each command accepts after its name. Each parser returns false with a one-line reason in
// `error` (the caller passes it to UsageError) and touches `settings` only on success.
#pragma once

#include <QString>
#include <QStringList>

namespace kvr::cli {

class CliOutput;
struct CliCommand;

// ports [--json]
struct PortsSettings {
    bool json = false;
    bool help = false;
};
bool ParsePortsArguments(const QStringList& args, PortsSettings& settings, QString& error);

// info PACKAGE [--json]; "--" ends the options, so that a file name may start with "-".
struct InfoSettings {
    QString packagePath;
    bool json = false;
    bool help = false;
};
bool ParseInfoArguments(const QStringList& args, InfoSettings& settings, QString& error);

// flash --port PORT --package FILE [--bootall] [--technology --sn SN --hw HW]
//       [--program-mismatch ask|continue|stop]
enum class ProgramMismatchAnswer { Ask, Continue, Stop };

struct FlashSettings {
    QString port;  // as given; trimmed where it is used
    QString packagePath;
    bool bootAll = false;
    bool technology = false;
    QString serialNumber;  // technology mode: 1-12 digits
    QString hardware;      // technology mode: 1-3 digits
    ProgramMismatchAnswer programMismatch = ProgramMismatchAnswer::Ask;
    bool help = false;
};
bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error);
// The synopsis of `command` and what each option of flash means.
void PrintFlashHelp(CliOutput& io, const CliCommand& command);

}  // namespace kvr::cli

// What each command accepts after its name. Each parser returns false with a one-line reason in
// `error` (the caller passes it to UsageError) and touches `settings` only on success.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

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

// flash --port PORT [--port PORT …] --package FILE [--bootall]
//       [--technology (--sn SN | --sn-first N | --sn-pool NAME) --hw HW [--renumber]]
//       [--program-mismatch ask|continue|stop] [--repeat [--removal-seconds S]]
//       [--record URL] [--json]
// With several ports each --sn follows its --port. The same port twice, "ask" with several
// ports, a fixed --sn with --repeat and numbers of both kinds are refused.
enum class ProgramMismatchAnswer { Ask, Continue, Stop };

struct FlashPort {
    QString name;          // as given; trimmed where it is used
    QString serialNumber;  // technology mode with fixed numbers: 1-12 digits
};

struct FlashSettings {
    std::vector<FlashPort> ports;  // in the order given
    QString packagePath;
    bool bootAll = false;
    bool technology = false;
    QString serialNumberFirst;  // technology mode with a counter: 1-12 digits
    QString serialNumberPool;   // technology mode with a record's pool
    QString hardware;           // technology mode: 1-3 digits
    // The record's URL as given; "default" for the station's own (--sn-pool without --record);
    // empty: nothing is recorded.
    QString record;
    // Without the option: Ask for one port, Stop for several (nobody to ask).
    ProgramMismatchAnswer programMismatch = ProgramMismatchAnswer::Ask;
    bool repeat = false;  // each port updates device after device until stopped
    // --repeat: silence that makes a device taken away; 0: the station's default.
    uint32_t removalMs = 0;
    bool json = false;  // events as JSON lines on standard output
    // Numbers the record holds as given already may be given again (units re-numbered on
    // purpose); without it they are refused before any run starts.
    bool renumber = false;
    // --sn-pool: the station's leases; 0: the defaults.
    int leaseSize = 0;
    int leaseRefillBelow = 0;
    int64_t leaseLifetimeS = 0;
    bool help = false;
};
bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error);
// "flash --port PORT …": the synopsis, made from the same declaration as the options.
const char* FlashSynopsis();
// The synopsis of `command` and what each option of flash means.
void PrintFlashHelp(CliOutput& io, const CliCommand& command);

}  // namespace kvr::cli

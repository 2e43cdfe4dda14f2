// ports: the port names of the window's port selector, one per line, in its order.
#include "Arguments.h"
#include "Cli.h"
#include "SerialPorts.h"

namespace kvr::cli {

int RunPortsCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    PortsSettings settings;
    QString error;
    if (!ParsePortsArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help)
        return PrintCommandHelp(io, command);
    for (const SerialPortEntry& port : EnumerateSerialPorts()) {
        io.Out(QString::fromStdString(port.portName));
    }
    return kExitOk;
}

}  // namespace kvr::cli

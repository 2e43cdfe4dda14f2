// ports: the port names of the window's port selector, one per line, in its order.
#include "Cli.h"
#include "SerialPorts.h"

namespace kvr::cli {

int RunPortsCommand(const QStringList& args, CliOutput& io) {
    if (!args.isEmpty()) {
        if (IsHelpOption(args.first()))
            return PrintCommandHelp(io, "ports");
        return UsageError(
            io, QStringLiteral("\"ports\" takes no arguments, got \"%1\"").arg(args.first()));
    }
    for (const SerialPortEntry& port : EnumerateSerialPorts()) {
        io.Out(QString::fromStdString(port.portName));
    }
    return kExitOk;
}

}  // namespace kvr::cli

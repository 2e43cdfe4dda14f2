// kvr-uplinker-cli: the command-line face of the same libraries the window uses.
#include <QCoreApplication>
#include <cstdio>

#include "Arguments.h"
#include "Cli.h"
#include "InterruptWatch.h"
#include "ProcessEnd.h"
#include "Version.h"

namespace {

using namespace kvr::cli;

// One row per command, in the order --help lists them. A new command is its
// <Name>Command.cpp (listed in CMakeLists.txt) and one row here.
const CliCommand kCommands[] = {
    {"ports", "ports [--json]", "List the serial ports in the order the window offers them.",
     RunPortsCommand},
    {"info", "info PACKAGE [--json]",
     "Load and check an update package as the window does, and describe it.", RunInfoCommand},
    {"flash", FlashSynopsis(),
     "Update the devices on one or several ports from a package, as the window's Start does.",
     RunFlashCommand},
    {"pool",
     "pool create NAME --first N [--last N] | pool status [NAME] | "
     "pool void NUMBER --reason TEXT | pool release LEASE   [--record URL]",
     "Keep the serial-number pools of a record: each number is given once, by any station.",
     RunPoolCommand},
    {"history", "history [--sn N] [--port P] [--since DATE] [--json | --csv] [--record URL]",
     "List the recorded update runs: package, versions, times, outcome and serial number.",
     RunHistoryCommand},
};

int Run(int argc, char** argv) {
    if (kvr::PrintVersionIfAsked(argc, argv, "kvr-uplinker-cli"))
        return 0;
    QCoreApplication app(argc, argv);  // the language file is found beside the executable
    PrepareTerminal();
    CliOutput io(stdout, stderr);
    return RunCli(kCommands, QCoreApplication::arguments().mid(1), io);
}

}  // namespace

int main(int argc, char** argv) {
    return kvr::EndProcess(Run(argc, argv));
}

// kvr-uplinker-cli: the command-line face of the same libraries the window uses.
#include <QCoreApplication>
#include <cstdio>

#include "Cli.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // the language file is found beside the executable
    kvr::cli::CliOutput io(stdout, stderr);
    return kvr::cli::RunCli(QCoreApplication::arguments().mid(1), io);
}

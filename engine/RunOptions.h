// The choices of one update run. The window and the command line fill it from their own
// switches; the engine reads no global flags.
#pragma once

#include <QString>

namespace kvr {

struct RunOptions {
    bool bootAllMode = false;     // page frames carry frame type 0x02
    bool technologyMode = false;  // write S/N and HW after a successful update
    QString logPath;              // the update log file; empty: the run keeps no log
    // An empty serial number is not written (a station whose numbers ran out or whose record
    // gave none); the window writes what its field holds.
    bool serialNumberRequired = false;
};

}  // namespace kvr

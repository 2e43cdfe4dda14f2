// Command line of kvr-devsim, and the summary it leaves when it ends. Kept in the library so
// that the parsing is tested without starting the program.
#pragma once

#include "DeviceModel.h"

#include <QString>
#include <QStringList>

namespace kvr::devsim {

struct DevsimSettings {
    DeviceOptions device;
    QString packagePath;
    QString reportPath;  // empty: the summary goes to standard error
    uint32_t baud = 0;   // wire-time emulation; 0: none
    bool help = false;
};

// arguments without the program name. Returns false with a one-line reason in `error` for an
// unknown option, a missing or malformed value, or a missing --package (unless --help).
bool ParseDevsimArguments(const QStringList& arguments, DevsimSettings& settings, QString& error);

// The --help text: every option with its default.
QString DevsimUsage();

// "key=value" lines: pages received, mismatches and the other counters, then one
// "serial_number=HW:HEX" line per serial number written.
QString FormatDeviceReport(const DeviceReport& report);

}  // namespace kvr::devsim

// Command line of kvr-devsim, and the summary it leaves when it ends. Kept in the library so
// that the parsing is tested without starting the program.
#pragma once

#include "DeviceModel.h"
#include "PtyServer.h"

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

// Writes a report to `path`: a regular file (or a new one) whole or not at all; anything else
// (/dev/null, a FIFO) is written in place, since a save file renamed over it would replace the
// node itself. False with the reason.
bool WriteReportFile(const QString& path, const QString& text, QString& error);

// The nearest-rank percentile (0 < percent <= 100) of the samples; 0 for no samples.
uint32_t PercentileOf(std::vector<uint32_t> samples, uint32_t percent);

// "key=value" lines of the line's figures: bytes each way, the time from the first request byte
// to the last reply byte, the host's turnarounds (count, median, 99th percentile, maximum), and
// the wire-time emulation's due and slept time.
QString FormatLineReport(const LineStats& stats);

}  // namespace kvr::devsim

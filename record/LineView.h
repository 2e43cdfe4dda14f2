// What a line's supervisor sees of the line, read from its record and never written: the
// shift's figures, its failures, the stations' heartbeats and the pools.
//
// The figures. A unit is a serial number where the run has one, otherwise the run alone (a run
// that ended before its number was given cannot be told from its unit's later runs).
//   - runs: runs started in the window; running: those of them not ended yet.
//   - units: the units with an ended run in the window; passed: those whose last run there
//     succeeded; failed: the others.
//   - first-pass yield: of the units whose first run ever lies in the window and has ended,
//     the share whose first run succeeded; none without such a unit.
//   - units per hour: units over the window's length (a minute at least).
//   - median time per unit: the median duration of the window's ended runs.
// The window holds the runs that started in it. Hourly, a unit counts in the hour (UTC) its last
// run of the window started in, as passed or failed by that run: the hours add up to the units.
//
// Cost: every query goes through an index on the runs' start time, a unit's serial number or
// a station's heartbeat, so a read costs what the window holds, not what the record holds.
//
// Thread-safe: one connection, one read at a time.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Database.h"
#include "Record.h"
#include "RecordUrl.h"

namespace kvr::record {

// The latest failures a snapshot lists.
inline constexpr int kLatestFailures = 20;

struct ShiftFigures {
    QString station;  // empty for the whole line
    QString port;     // empty for a station or the line
    int64_t runs = 0, units = 0, passed = 0, failed = 0, running = 0;
    std::optional<double> firstPassYield;
    double unitsPerHour = 0;
    std::optional<double> medianUnitS;
};

struct HourCount {
    QDateTime hour;  // its start, UTC
    int64_t passed = 0, failed = 0;  // units
};

struct OutcomeCount {
    QString outcome;
    int64_t count = 0;
};

struct FailedRun {
    QDateTime at;  // its end
    QString station, port, serialNumber, outcome, text, logPath;
};

struct StationSeen {
    QString holder, station;
    QDateTime startedAt, seenAt, stoppedAt;  // stoppedAt invalid: not stopped
    bool online = false;                     // heard from within kBeatSilentMs, not stopped
    QString packageName, packageSha256, pool;
    int64_t waiting = 0, leaseLeft = 0;
    std::vector<LaneBeat> lanes;
};

struct PoolOutlook {
    PoolStatus status;
    int64_t left = 0;  // numbers still to give: free, and leased but not given
    double usedPerHour = 0;
    QDateTime runsOutAt;  // at that rate; invalid when nothing is used
};

struct LineSnapshot {
    QDateTime now, since;
    ShiftFigures line;
    std::vector<ShiftFigures> stations, lanes;
    std::vector<HourCount> hourly;          // every hour of the window, oldest first
    std::vector<OutcomeCount> pareto;       // failed outcomes, most first
    std::vector<FailedRun> latestFailures;  // newest first
    std::vector<StationSeen> stationsSeen;
    std::vector<PoolOutlook> pools;
};

class LineView {
public:
    // Opens the record for reading only; nothing is created or upgraded. Throws RecordError.
    static std::unique_ptr<LineView> Open(const RecordUrl& url);

    // The window [since, now). A station is listed while it runs, or when it was heard from
    // since `since`. Throws RecordError (unreachable when the record did not answer); the next
    // read opens the connection again.
    LineSnapshot Read(const QDateTime& since, const QDateTime& now);

private:
    explicit LineView(const RecordUrl& url) : url_(url) {}
    void Connect();
    int SchemaVersion();

    RecordUrl url_;
    std::unique_ptr<Database> db_;
    std::mutex mutex_;
};

}  // namespace kvr::record

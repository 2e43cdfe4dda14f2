#include "LineView.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <algorithm>
#include <map>
#include <set>

#include "Sender.h"

namespace kvr::record {

namespace {

constexpr int64_t kMsPerHour = 3600 * 1000;
constexpr int64_t kShortestWindowMs = 60 * 1000;
// A station that stopped without a word (killed, its power cut) stays listed this long.
constexpr int64_t kSilentListedS = 24 * 3600;
constexpr int kFirstStationsSchema = 5;

struct RunRow {
    QString id, station, port, serialNumber, outcome, pool;
    QDateTime startedAt, endedAt;
    int64_t durationMs = 0;
    bool ended = false;
    bool firstEver = false;  // no run of its serial number started before it

    QString Unit() const {
        return serialNumber.isEmpty() ? QStringLiteral("run:") + id : serialNumber;
    }
    bool Passed() const { return outcome == QLatin1String("success"); }
};

QString Text(const Value& v) {
    return v.value_or(QString());
}

int64_t Int(const Value& v) {
    return v ? v->toLongLong() : 0;
}

std::optional<double> Median(std::vector<int64_t> values) {
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    const double ms =
        values.size() % 2 == 1
            ? static_cast<double>(values[mid])
            : (static_cast<double>(values[mid - 1]) + static_cast<double>(values[mid])) / 2.0;
    return ms / 1000.0;
}

// The figures of `runs` (in start order) over a window of `hours`.
ShiftFigures Figure(const std::vector<const RunRow*>& runs, double hours) {
    ShiftFigures f;
    std::map<QString, const RunRow*> lastEnded;  // unit: its last ended run
    std::map<QString, const RunRow*> firstRun;   // unit: its first run in the window
    std::vector<int64_t> durations;
    for (const RunRow* run : runs) {
        ++f.runs;
        const QString unit = run->Unit();
        firstRun.emplace(unit, run);
        if (!run->ended) {
            ++f.running;
            continue;
        }
        lastEnded[unit] = run;
        durations.push_back(run->durationMs);
    }
    f.units = static_cast<int64_t>(lastEnded.size());
    for (const auto& [unit, run] : lastEnded)
        f.passed += run->Passed() ? 1 : 0;
    f.failed = f.units - f.passed;
    int64_t firstTimers = 0, firstPassed = 0;
    for (const auto& [unit, run] : firstRun) {
        if (!run->firstEver || !run->ended)
            continue;
        ++firstTimers;
        firstPassed += run->Passed() ? 1 : 0;
    }
    if (firstTimers > 0)
        f.firstPassYield = static_cast<double>(firstPassed) / static_cast<double>(firstTimers);
    f.unitsPerHour = static_cast<double>(f.units) / hours;
    f.medianUnitS = Median(std::move(durations));
    return f;
}

QDateTime HourOf(const QDateTime& at) {
    const int64_t ms = at.toMSecsSinceEpoch();
    return QDateTime::fromMSecsSinceEpoch(ms - ((ms % kMsPerHour) + kMsPerHour) % kMsPerHour,
                                          Qt::UTC);
}

std::vector<LaneBeat> LanesOf(const QString& json) {
    std::vector<LaneBeat> lanes;
    for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        lanes.push_back({o.value(QLatin1String("port")).toString(),
                         o.value(QLatin1String("state")).toString(),
                         o.value(QLatin1String("last_outcome")).toString(),
                         StampValue(o.value(QLatin1String("last_at")).toString())});
    }
    return lanes;
}

}  // namespace

std::unique_ptr<LineView> LineView::Open(const RecordUrl& url) {
    std::unique_ptr<LineView> view(new LineView(url));
    view->Connect();
    return view;
}

void LineView::Connect() {
    db_.reset();
    db_ = url_.kind == RecordUrl::Kind::Sqlite ? OpenSqlite(url_.path, true)
                                               : OpenPostgres(url_.ConnInfo(), true);
}

int LineView::SchemaVersion() {
    if (!db_->TableExists(QStringLiteral("meta")))
        throw RecordError(QStringLiteral("%1 holds no production record yet").arg(url_.Text()),
                          true);
    const Rows rows =
        db_->Exec(QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"), {});
    return rows.empty() ? 0 : static_cast<int>(Int(rows[0][0]));
}

LineSnapshot LineView::Read(const QDateTime& since, const QDateTime& now) {
    const std::lock_guard lock(mutex_);
    if (!db_ || !db_->Connected())
        Connect();
    LineSnapshot s;
    s.now = now.toUTC();
    s.since = since.toUTC();
    const int schema = SchemaVersion();
    const QString from = StampText(s.since), until = StampText(s.now);
    const double hours =
        static_cast<double>(std::max<int64_t>(kShortestWindowMs, s.since.msecsTo(s.now))) /
        kMsPerHour;

    // One pass over the window; a run's first-ever flag comes from the serial number's index.
    std::vector<RunRow> runs;
    // The texts of a run are read for the latest failures alone, and its id only where it
    // stands for its unit: the window may hold tens of thousands of runs.
    const Rows rows = db_->Exec(
        QStringLiteral(
            "SELECT CASE WHEN r.serial_number IS NULL OR r.serial_number = '' THEN r.id END,"
            " r.station, r.port, r.serial_number, r.started_at, r.ended_at,"
            " r.duration_ms, r.outcome, r.pool,"
            " CASE WHEN r.serial_number IS NULL OR r.serial_number = '' THEN 1"
            " WHEN EXISTS (SELECT 1 FROM runs p WHERE p.serial_number = r.serial_number"
            " AND p.started_at < r.started_at) THEN 0 ELSE 1 END"
            " FROM runs r WHERE r.started_at >= $1 AND r.started_at < $2"
            " ORDER BY r.started_at"),
        {from, until});
    runs.reserve(rows.size());
    for (const Row& row : rows) {
        RunRow r;
        r.id = Text(row[0]);
        r.station = Text(row[1]);
        r.port = Text(row[2]);
        r.serialNumber = Text(row[3]);
        r.startedAt = StampValue(Text(row[4]));
        r.ended = row[5].has_value() && row[7].has_value();
        r.endedAt = StampValue(Text(row[5]));
        r.durationMs = std::max<int64_t>(0, Int(row[6]));
        r.outcome = Text(row[7]);
        r.pool = Text(row[8]);
        r.firstEver = Int(row[9]) == 1;
        runs.push_back(std::move(r));
    }

    std::vector<const RunRow*> all;
    std::map<QString, std::vector<const RunRow*>> byStation;
    std::map<std::pair<QString, QString>, std::vector<const RunRow*>> byLane;
    std::map<QString, int64_t> outcomes;
    std::map<QString, int64_t> numbered;  // pool: runs given one of its numbers
    for (const RunRow& r : runs) {
        all.push_back(&r);
        byStation[r.station].push_back(&r);
        byLane[{r.station, r.port}].push_back(&r);
        if (r.ended && !r.Passed())
            ++outcomes[r.outcome];
        if (!r.pool.isEmpty() && !r.serialNumber.isEmpty())
            ++numbered[r.pool];
    }
    s.line = Figure(all, hours);
    for (const auto& [station, list] : byStation) {
        s.stations.push_back(Figure(list, hours));
        s.stations.back().station = station;
    }
    for (const auto& [lane, list] : byLane) {
        s.lanes.push_back(Figure(list, hours));
        s.lanes.back().station = lane.first;
        s.lanes.back().port = lane.second;
    }

    for (QDateTime hour = HourOf(s.since); hour < s.now; hour = hour.addMSecs(kMsPerHour))
        s.hourly.push_back({hour, 0, 0});
    // A unit goes in the hour its last run of the window started, as that run ended: the
    // hours add up to the line's units, passed and failed.
    std::map<QString, const RunRow*> lastOfUnit;
    for (const RunRow& r : runs) {
        if (r.ended)
            lastOfUnit[r.Unit()] = &r;
    }
    for (const auto& [unit, r] : lastOfUnit) {
        if (s.hourly.empty())
            break;
        const int64_t i = s.hourly.front().hour.msecsTo(r->startedAt) / kMsPerHour;
        if (i < 0 || i >= static_cast<int64_t>(s.hourly.size()))
            continue;
        HourCount& h = s.hourly[static_cast<size_t>(i)];
        (r->Passed() ? h.passed : h.failed) += 1;
    }

    for (const auto& [outcome, count] : outcomes)
        s.pareto.push_back({outcome, count});
    std::stable_sort(
        s.pareto.begin(), s.pareto.end(),
        [](const OutcomeCount& a, const OutcomeCount& b) { return a.count > b.count; });
    const Rows failed = db_->Exec(
        QStringLiteral("SELECT ended_at, station, port, serial_number, outcome, outcome_text,"
                       " log_path FROM runs WHERE started_at >= $1 AND started_at < $2"
                       " AND outcome IS NOT NULL AND outcome <> 'success'"
                       " ORDER BY started_at DESC LIMIT %1")
            .arg(kLatestFailures),
        {from, until});
    for (const Row& row : failed)
        s.latestFailures.push_back({StampValue(Text(row[0])), Text(row[1]), Text(row[2]),
                                    Text(row[3]), Text(row[4]), Text(row[5]), Text(row[6])});
    std::stable_sort(s.latestFailures.begin(), s.latestFailures.end(),
                     [](const FailedRun& a, const FailedRun& b) { return a.at > b.at; });

    if (schema >= kFirstStationsSchema) {
        const QDateTime listedFrom = std::min(s.since, s.now.addSecs(-kSilentListedS));
        const Rows seen = db_->Exec(
            QStringLiteral("SELECT holder, station, started_at, seen_at, stopped_at,"
                           " package_name, package_sha256, pool, waiting, lease_left, lanes"
                           " FROM stations WHERE seen_at >= $1 ORDER BY station, started_at"),
            {StampText(listedFrom)});
        std::map<QString, QDateTime> newest;  // host: its latest process's start
        for (const Row& row : seen) {
            QDateTime& at = newest[Text(row[1])];
            at = std::max(at, StampValue(Text(row[2])));
        }
        for (const Row& row : seen) {
            StationSeen st;
            st.holder = Text(row[0]);
            st.station = Text(row[1]);
            st.startedAt = StampValue(Text(row[2]));
            st.seenAt = StampValue(Text(row[3]));
            st.stoppedAt = row[4] ? StampValue(Text(row[4])) : QDateTime();
            // An earlier process of a host that runs again is history, not a station.
            if (st.startedAt < newest[st.station] &&
                (st.stoppedAt.isValid() || st.seenAt < newest[st.station]))
                continue;
            if (st.stoppedAt.isValid() && st.stoppedAt < s.since)
                continue;
            st.online = !st.stoppedAt.isValid() &&
                        st.seenAt.msecsTo(s.now) <= static_cast<int64_t>(kBeatSilentMs);
            st.packageName = Text(row[5]);
            st.packageSha256 = Text(row[6]);
            st.pool = Text(row[7]);
            st.waiting = Int(row[8]);
            st.leaseLeft = Int(row[9]);
            st.lanes = LanesOf(Text(row[10]));
            s.stationsSeen.push_back(std::move(st));
        }
    }

    for (const PoolStatus& pool : ReadPools(*db_)) {
        PoolOutlook p;
        p.status = pool;
        p.left = pool.free + pool.leased;
        p.usedPerHour = static_cast<double>(numbered[pool.name]) / hours;
        if (p.usedPerHour > 0)
            p.runsOutAt = s.now.addMSecs(static_cast<int64_t>(
                static_cast<double>(p.left) / p.usedPerHour * static_cast<double>(kMsPerHour)));
        s.pools.push_back(std::move(p));
    }
    return s;
}

}  // namespace kvr::record

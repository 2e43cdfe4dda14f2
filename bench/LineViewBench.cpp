// What kvr-line's page costs its record: one read of the line's figures (the shift by station
// and lane, the hours, the failures, the stations and the pools) over a record of 1,000,000
// runs, on SQLite (a file in a temporary folder) and on PostgreSQL (KVR_BENCH_PG_URL, with the
// password in PGPASSFILE or PGPASSWORD; skipped without one).
//
// The record is filled by a generator, one statement: a line of 8 stations with 4 lanes each,
// a unit every 60 s on every lane, so that the million runs span about three weeks up to now
// and a 12-hour shift holds some 23,000 of them. One run in 31 fails with an update error and
// one in 97 with an exchange error; the unit after a failure is the failed one again, under the
// same serial number. Stations' heartbeats and a pool are there too.
#include <benchmark/benchmark.h>

#include <QDateTime>
#include <QTemporaryDir>
#include <QUuid>
#include <map>
#include <memory>

#include "Database.h"
#include "LineView.h"
#include "Record.h"

namespace {

using namespace kvr::record;

constexpr qint64 kRuns = 1000000;
constexpr int kStations = 8;
constexpr int kLanes = 4;
constexpr double kRunEveryS = 60.0 / (kStations * kLanes);
constexpr int kRunS = 45;

struct FilledRecord {
    QTemporaryDir dir;
    RecordUrl url;
    QDateTime now;
    QString station;  // the stations' names start with it: a server keeps earlier runs' rows
    QString error;

    explicit FilledRecord(const char* engine) {
        QString text = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("line.sqlite"));
        if (QLatin1String(engine) == QLatin1String("postgresql"))
            text = qEnvironmentVariable("KVR_BENCH_PG_URL");
        if (text.isEmpty() || !ParseRecordUrl(text, url, error)) {
            error = QStringLiteral("no record (KVR_BENCH_PG_URL)");
            return;
        }
        const bool pg = url.kind == RecordUrl::Kind::Postgres;
        auto record = Record::Open(url);
        // On a server that earlier runs filled, this run's runs lie in a future of their own.
        now = QDateTime::currentDateTimeUtc().addYears(
            pg ? 100 + static_cast<int>(QUuid::createUuid().data1 % 5000) : 0);
        station = QStringLiteral("b") + QUuid::createUuid().toString(QUuid::Id128).left(6);
        const qint64 end = now.toSecsSinceEpoch();
        auto db = pg ? OpenPostgres(url.ConnInfo()) : OpenSqlite(url.path);
        const QString at =
            pg ? QStringLiteral(
                     "to_char(to_timestamp($2::double precision - ($3::bigint - v) * "
                     "$4::double precision) AT TIME ZONE 'UTC',"
                     " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
               : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', $2 - ($3 - v) * $4, 'unixepoch')");
        const QString ended =
            pg ? QStringLiteral(
                     "to_char(to_timestamp($2::double precision - ($3::bigint - v) * "
                     "$4::double precision + $5) AT TIME ZONE 'UTC',"
                     " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
               : QStringLiteral(
                     "strftime('%Y-%m-%dT%H:%M:%fZ', $2 - ($3 - v) * $4 + $5, 'unixepoch')");
        const QString series = pg ? QStringLiteral("generate_series(0, $3::bigint - 1) AS s (v)")
                                  : QStringLiteral("s");
        const QString recursive =
            pg ? QString()
               : QStringLiteral(
                     "WITH RECURSIVE s (v) AS (SELECT 0 UNION ALL SELECT v + 1 FROM s"
                     " WHERE v < $3 - 1) ");
        const QString outcome = QStringLiteral(
            "CASE WHEN v % 31 = 0 THEN 'update_error' WHEN v % 97 = 0 THEN 'exchange_error'"
            " ELSE 'success' END");
        // The unit after a failed one is the failed one again.
        const QString sn = QStringLiteral(
            "$1 || '-' || CAST(v - CASE WHEN (v - 1) % 31 = 0 OR (v - 1) % 97 = 0 THEN 1"
            " ELSE 0 END AS TEXT)");
        const std::vector<Value> params = {station, QString::number(end), QString::number(kRuns),
                                           QString::number(kRunEveryS), QString::number(kRunS)};
        db->BeginWrite();
        db->Exec(recursive +
                     QStringLiteral(
                         "INSERT INTO runs (id, station, port, package_name, package_sha256,"
                         " page_count, hardware_versions, program_versions, technology, boot_all,"
                         " started_at, ended_at, duration_ms, outcome, outcome_text, pages_sent,"
                         " serial_number, serial_confirmed, log_path)"
                         " SELECT $1 || '-' || CAST(v AS TEXT),"
                         " $1 || '-st' || CAST(v % 8 AS TEXT), 'COM' || CAST((v / 8) % 4 AS TEXT),"
                         " 'kvr17.bsk', 'ab', 256, '17.2', '1.2', 1, 0, ") +
                     at + QStringLiteral(", ") + ended + QStringLiteral(", 45000, ") + outcome +
                     QStringLiteral(", 'text', 256, ") + sn +
                     QStringLiteral(", 1, 'C:/kvr/log.txt' FROM ") + series,
                 params);
        for (int i = 0; i < kStations; ++i) {
            db->Exec(QStringLiteral("INSERT INTO stations (holder, station, started_at, seen_at,"
                                    " package_name, package_sha256, lanes)"
                                    " VALUES ($1, $1, $2, $2, 'kvr17.bsk', 'ab', '[]')"),
                     {QStringLiteral("%1-st%2").arg(station).arg(i), StampText(now)});
        }
        db->Commit();
        db->Exec(pg ? QStringLiteral("ANALYZE runs") : QStringLiteral("ANALYZE"));
        const QString pool = QUuid::createUuid().toString(QUuid::Id128).left(12);
        const qint64 first = 500000000000LL + qint64(QUuid::createUuid().data1 % 400000) * 1000;
        record->CreatePool(pool, QString::number(first), QString::number(first + 99999));
        // The generator's work checked once: what the benchmark reads is what was filled.
        const LineSnapshot s = LineView::Open(url)->Read(now.addSecs(-24 * 3600), now);
        if (s.line.runs < 40000 || s.stations.size() < static_cast<size_t>(kStations))
            error = QStringLiteral("the generated record does not read back");
    }
    ~FilledRecord() {
        if (url.kind != RecordUrl::Kind::Postgres || !error.isEmpty())
            return;
        try {
            auto db = OpenPostgres(url.ConnInfo());
            db->Exec(QStringLiteral("DELETE FROM runs WHERE station LIKE $1 || '-%'"), {station});
            db->Exec(QStringLiteral("DELETE FROM stations WHERE station LIKE $1 || '-%'"),
                     {station});
        } catch (const RecordError&) {
        }
    }
};

// The filled records, one per engine, kept across the windows read.
std::map<std::string, std::unique_ptr<FilledRecord>>& Made() {
    static std::map<std::string, std::unique_ptr<FilledRecord>> made;
    return made;
}

// range(0): the window in hours.
void BM_LineRead(benchmark::State& state, const char* engine) {
    auto& filled = Made()[engine];
    if (!filled)
        filled = std::make_unique<FilledRecord>(engine);
    if (!filled->error.isEmpty()) {
        state.SkipWithError(filled->error.toStdString().c_str());
        return;
    }
    auto view = LineView::Open(filled->url);
    const QDateTime since = filled->now.addSecs(-state.range(0) * 3600);
    int64_t runs = 0;
    for (auto _ : state) {
        const LineSnapshot s = view->Read(since, filled->now);
        runs = s.line.runs;
        benchmark::DoNotOptimize(s);
    }
    state.counters["runs_in_window"] = static_cast<double>(runs);
}

BENCHMARK_CAPTURE(BM_LineRead, sqlite, "sqlite")
    ->Arg(8)
    ->Arg(12)
    ->Arg(24)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LineRead, postgresql, "postgresql")
    ->Arg(8)
    ->Arg(12)
    ->Arg(24)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // A server's rows are deleted here, while libpq and OpenSSL are still whole: at exit,
    // OpenSSL's own clean-up may already have run, and the connection crashed in it.
    Made().clear();
    return 0;
}

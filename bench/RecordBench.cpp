// The production record's own cost: a serial number taken in its committed transaction, a
// run's row written and completed, and a pool's status with 100 and with 1,000,000 numbers
// used, on SQLite (a file in a temporary folder) and on PostgreSQL (KVR_BENCH_PG_URL, with the
// password in PGPASSFILE or PGPASSWORD; skipped without one).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <QUuid>
#include <cstdlib>
#include <map>
#include <memory>

#include "Database.h"
#include "Record.h"

namespace {

using namespace kvr::record;

std::unique_ptr<Record> OpenFor(const char* engine, QTemporaryDir& dir) {
    QString text = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("bench.sqlite"));
    if (QLatin1String(engine) == QLatin1String("postgresql"))
        text = qEnvironmentVariable("KVR_BENCH_PG_URL");
    RecordUrl url;
    QString error;
    if (text.isEmpty() || !ParseRecordUrl(text, url, error))
        return nullptr;
    return Record::Open(url);
}

RunStart Start() {
    RunStart s;
    s.station = QStringLiteral("bench");
    s.port = QStringLiteral("/dev/ttyUSB0");
    s.packageName = QStringLiteral("kvr17.bsk");
    s.packageSha256 = QString(64, u'a');
    s.pageCount = 256;
    s.hardwareVersions = QStringLiteral("17.2.1, 17.2.2");
    s.programVersions = QStringLiteral("1.2.0.3");
    return s;
}

void BM_TakeNumber(benchmark::State& state, const char* engine) {
    QTemporaryDir dir;
    auto record = OpenFor(engine, dir);
    if (!record) {
        state.SkipWithError("no record (KVR_BENCH_PG_URL)");
        return;
    }
    // A range of its own: the server keeps the pools of earlier runs.
    const QString pool = QUuid::createUuid().toString(QUuid::Id128).left(12);
    const qint64 base = 100000000000LL + qint64(QUuid::createUuid().data1 % 800000) * 1000000;
    record->CreatePool(pool, QString::number(base), QString::number(base + 999999));
    for (auto _ : state) {
        const QString number = record->TakeNumber(pool, QUuid::createUuid().toString());
        benchmark::DoNotOptimize(number);
    }
}

void BM_RunRow(benchmark::State& state, const char* engine) {
    QTemporaryDir dir;
    auto record = OpenFor(engine, dir);
    if (!record) {
        state.SkipWithError("no record (KVR_BENCH_PG_URL)");
        return;
    }
    const RunStart start = Start();
    RunEnding ending;
    ending.outcome = QStringLiteral("success");
    ending.outcomeText = QStringLiteral("Обновление успешно завершено!");
    ending.durationMs = 9500;
    ending.pagesSent = 256;
    for (auto _ : state) {
        const QString id = record->BeginRun(start);
        record->EndRun(id, ending);
    }
}

// Two pools of one record, one with 100 numbers used and one with 1,000,000, each filled by one
// statement (a million takes would take hours) and its counts then set from its numbers as
// the schema's upgrade does. Made once per engine and process; the pools leave the server at
// the end.
constexpr int kPoolWidth = 12;
constexpr qint64 kPoolSize = 2000000;
const std::vector<qint64> kUsed = {100, 1000000};

QString Padded(qint64 value) {
    return QStringLiteral("%1").arg(value, kPoolWidth, 10, QLatin1Char('0'));
}

struct FilledPools {
    QTemporaryDir dir;
    std::unique_ptr<Record> record;
    std::map<qint64, QString> names;  // by numbers used
    QString error;

    explicit FilledPools(const char* engine) {
        record = OpenFor(engine, dir);
        if (!record) {
            error = QStringLiteral("no record (KVR_BENCH_PG_URL)");
            return;
        }
        const bool pg = record->Url().kind == RecordUrl::Kind::Postgres;
        auto db = pg ? OpenPostgres(record->Url().ConnInfo()) : OpenSqlite(record->Url().path);
        // Ranges above the take benchmark's, of their own: the server keeps earlier runs' pools.
        const qint64 slot = qint64(QUuid::createUuid().data1 % 20000) * 2;
        for (size_t i = 0; i < kUsed.size(); ++i) {
            const QString name = QUuid::createUuid().toString(QUuid::Id128).left(12);
            const qint64 first = 900000000000LL + (slot + qint64(i)) * kPoolSize;
            record->CreatePool(name, Padded(first), Padded(first + kPoolSize - 1));
            const std::vector<Value> params = {name, QString::number(first),
                                               QString::number(kUsed[i]),
                                               QStringLiteral("2026-12-09T19:30:05.120Z")};
            // Mostly confirmed, some failed, void and still sent, as a line's pool is.
            const QString state = QStringLiteral(
                "CASE WHEN v % 50 = 0 THEN 'failed' WHEN v % 97 = 0 THEN 'void'"
                " WHEN v % 1000 = 1 THEN 'sent' ELSE 'confirmed' END");
            const QString padded = pg ? QStringLiteral("lpad(v::text, %1, '0')").arg(kPoolWidth)
                                      : QStringLiteral("printf('%0") + QString::number(kPoolWidth) +
                                            QStringLiteral("d', v)");
            const QString series =
                pg ? QStringLiteral(
                         "generate_series($2::bigint, $2::bigint + $3::bigint - 1) AS s (v)")
                   : QStringLiteral("s");
            const QString recursive =
                pg ? QString()
                   : QStringLiteral(
                         "WITH RECURSIVE s (v) AS (SELECT CAST($2 AS INTEGER)"
                         " UNION ALL SELECT v + 1 FROM s"
                         " WHERE v < CAST($2 AS INTEGER) + CAST($3 AS INTEGER) - 1) ");
            db->BeginWrite();
            db->Exec(recursive +
                         QStringLiteral("INSERT INTO numbers (pool, value, number, state, run_id,"
                                        " taken_at, settled_at) SELECT $1, v, ") +
                         padded + QStringLiteral(", ") + state +
                         QStringLiteral(", 'bench-' || v, $4, $4 FROM ") + series,
                     params);
            db->Exec(
                QStringLiteral("UPDATE pools SET next_value = first_value + $2,"
                               " count_sent = (SELECT count(*) FROM numbers n"
                               " WHERE n.pool = pools.name AND n.state = 'sent'),"
                               " count_confirmed = (SELECT count(*) FROM numbers n"
                               " WHERE n.pool = pools.name AND n.state = 'confirmed'),"
                               " count_failed = (SELECT count(*) FROM numbers n"
                               " WHERE n.pool = pools.name AND n.state = 'failed'),"
                               " count_void = (SELECT count(*) FROM numbers n"
                               " WHERE n.pool = pools.name AND n.state = 'void') WHERE name = $1"),
                {name, QString::number(kUsed[i])});
            db->Commit();
            if (pg)
                db->Exec(QStringLiteral("ANALYZE numbers"));
            names[kUsed[i]] = name;
            // What the benchmark reads must be what was filled.
            const PoolStatus s = record->Pools(name).front();
            if (s.sent + s.confirmed + s.failed + s.voided != kUsed[i] ||
                s.free != kPoolSize - kUsed[i] || s.next != Padded(first + kUsed[i])) {
                error = QStringLiteral("the filled pool's status is wrong");
                return;
            }
        }
    }
    ~FilledPools() {
        if (!record || record->Url().kind != RecordUrl::Kind::Postgres)
            return;
        try {
            auto db = OpenPostgres(record->Url().ConnInfo());
            for (const auto& [used, name] : names) {
                db->Exec(QStringLiteral("DELETE FROM numbers WHERE pool = $1"), {name});
                db->Exec(QStringLiteral("DELETE FROM pools WHERE name = $1"), {name});
            }
        } catch (const RecordError&) {
            // A server gone by now keeps them; they are in a range of their own.
        }
    }
};

void BM_PoolStatus(benchmark::State& state, const char* engine) {
    static std::map<std::string, std::unique_ptr<FilledPools>> made;
    auto& pools = made[engine];
    if (!pools)
        pools = std::make_unique<FilledPools>(engine);
    if (!pools->error.isEmpty()) {
        state.SkipWithError(pools->error.toStdString().c_str());
        return;
    }
    const QString name = pools->names.at(state.range(0));
    for (auto _ : state) {
        const std::vector<PoolStatus> status = pools->record->Pools(name);
        benchmark::DoNotOptimize(status);
    }
}

BENCHMARK_CAPTURE(BM_TakeNumber, sqlite, "sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TakeNumber, postgresql, "postgresql")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunRow, sqlite, "sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunRow, postgresql, "postgresql")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PoolStatus, sqlite, "sqlite")
    ->Arg(kUsed[0])
    ->Arg(kUsed[1])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PoolStatus, postgresql, "postgresql")
    ->Arg(kUsed[0])
    ->Arg(kUsed[1])
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// The production record's own cost: a serial number taken in its committed transaction, and a
// run's row written and completed, on SQLite (a file in a temporary folder) and on PostgreSQL
// (KVR_BENCH_PG_URL, with the password in PGPASSFILE or PGPASSWORD; skipped without one).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <QUuid>
#include <cstdlib>
#include <memory>

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
    return Record::Open(url, dir.filePath(QStringLiteral("journal")));
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
        benchmark::DoNotOptimize(record->EndRun(id, ending));
    }
}

BENCHMARK_CAPTURE(BM_TakeNumber, sqlite, "sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TakeNumber, postgresql, "postgresql")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunRow, sqlite, "sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunRow, postgresql, "postgresql")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

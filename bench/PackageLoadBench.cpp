// Package loads of 1, 16 and 64 MiB: wall time and peak heap per file byte.
//
// LoadFile reads the file (from the page cache after the first round) and parses it, as the
// window and the command line do; ParseBytes starts from bytes already in memory. Pages are
// 1024 bytes, so the 64 MiB package has the largest page count the format allows (65536).
#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <map>

#include "PackageBuilder.h"
#include "PackageLoader.h"
#ifdef KVR_BENCH_HEAP
#include "HeapCounter.h"
#endif

namespace {

constexpr uint16_t kPageSizeBytes = 1024;
constexpr int64_t kBytesPerMiB = 1 << 20;

int64_t HeapInUse() {
#ifdef KVR_BENCH_HEAP
    return kvr::test::HeapInUseBytes();
#else
    return 0;
#endif
}
int64_t HeapPeak() {
#ifdef KVR_BENCH_HEAP
    return kvr::test::HeapPeakBytes();
#else
    return 0;
#endif
}
void ResetPeak() {
#ifdef KVR_BENCH_HEAP
    kvr::test::ResetHeapPeak();
#endif
}

QByteArray BuildBytes(int64_t mib) {
    kvr::test::PackageOptions options;
    options.pageSize = kPageSizeBytes;
    options.pageCount = static_cast<uint32_t>(mib * kBytesPerMiB / kPageSizeBytes);
    options.hardwareVersions = {1, 2, 3};
    options.programVersions = {0x1203};
    options.seed = static_cast<uint32_t>(mib);
    return kvr::test::BuildPackage(options);
}

// Each size is written once into a folder removed at exit.
QString PackageFile(int64_t mib) {
    static QTemporaryDir folder;
    static std::map<int64_t, QString> paths;
    auto it = paths.find(mib);
    if (it != paths.end())
        return it->second;
    const QString path = folder.filePath(QStringLiteral("bench_%1MiB.bsk").arg(mib));
    QFile file(path);
    const QByteArray bytes = BuildBytes(mib);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return paths.emplace(mib, path).first->second;
}

void ReportPeak(benchmark::State& state, int64_t peakBytes, int64_t fileBytes) {
#ifdef KVR_BENCH_HEAP
    state.counters["peak_MiB"] = double(peakBytes) / double(kBytesPerMiB);
    state.counters["peak_per_file_byte"] = double(peakBytes) / double(fileBytes);
#else
    (void)state;
    (void)peakBytes;
    (void)fileBytes;
#endif
}

void BM_LoadFile(benchmark::State& state) {
    const QString path = PackageFile(state.range(0));
    const int64_t fileBytes = QFile(path).size();
    if (path.isEmpty() || fileBytes == 0) {
        state.SkipWithError("cannot write the package file");
        return;
    }
    int64_t peak = 0;
    kvr::UpdatePackage package;
    QString error;
    for (auto _ : state) {
        state.PauseTiming();
        package = {};  // the previous round's pages are not part of this load
        const int64_t base = HeapInUse();
        ResetPeak();
        state.ResumeTiming();
        if (!kvr::LoadUpdatePackageFile(path, package, error)) {
            state.SkipWithError(error.toStdString().c_str());
            break;
        }
        peak = std::max(peak, HeapPeak() - base);
        benchmark::DoNotOptimize(package.pages.size());
    }
    state.SetBytesProcessed(state.iterations() * fileBytes);
    ReportPeak(state, peak, fileBytes);
}

void BM_ParseBytes(benchmark::State& state) {
    const QByteArray bytes = BuildBytes(state.range(0));
    int64_t peak = 0;
    kvr::UpdatePackage package;
    QString error;
    for (auto _ : state) {
        state.PauseTiming();
        package = {};
        const int64_t base = HeapInUse();
        ResetPeak();
        state.ResumeTiming();
        if (!kvr::ParseUpdatePackage(bytes, package, error)) {
            state.SkipWithError(error.toStdString().c_str());
            break;
        }
        peak = std::max(peak, HeapPeak() - base);
        benchmark::DoNotOptimize(package.pages.size());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    ReportPeak(state, peak, bytes.size());
}

}  // namespace

BENCHMARK(BM_LoadFile)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseBytes)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

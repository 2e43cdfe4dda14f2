// Update log entries per second, each on disk before the next (as a run writes them):
// - Entry/text: a text line without dump ("Запрашиваем статус прибора");
// - Entry/frame268: "Запись: " and the dump of a 268-byte frame (a page request's payload);
// - Entry/frame268_fixed_time: the same with a clock that skips the local-time lookup, which
//   shows that lookup's share;
// - AtLimit/frame268: the same once the file has reached its size limit, so that every entry
//   overwrites older text from the write position and wraps back to just after the byte-order
//   mark every ~6000 entries.
// Stamps come from the system clock, local time included, as in a run.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "Clock.h"
#include "UpdateLog.h"

namespace {

constexpr uint32_t kFrameBytes = 268;
// Entries between restarts of the appending benchmark's file, well below the size limit
// (a frame entry takes about 1.7 KB).
constexpr int kEntriesPerFreshFile = 4000;
constexpr int64_t kNearLimitBytes = kvr::TUpdateLog::kSizeLimitBytes - 64;

const QString& FrameText() {
    static const QString text = QStringLiteral("Запись: ");
    return text;
}

std::vector<uint8_t> Frame() {
    std::vector<uint8_t> frame(kFrameBytes);
    for (uint32_t i = 0; i < kFrameBytes; ++i)
        frame[i] = static_cast<uint8_t>(i * 29 + 7);
    return frame;
}

void OpenFresh(kvr::TUpdateLog& log, const QString& path) {
    log.Close();
    QFile::remove(path);
    if (!log.Open(path))
        std::abort();
}

// The system clock without its time-zone lookup: one fixed local time.
class FixedLocalTime final : public kvr::IClock {
public:
    void SleepMs(uint32_t) override {}
    uint64_t TickMs() override { return 0; }
    QDateTime LocalNow() override { return when_; }

private:
    QDateTime when_ = QDateTime::currentDateTime();
};

void BM_Entry(benchmark::State& state, bool withDump, bool systemTime) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("log.txt"));
    kvr::SystemClock systemClock;
    FixedLocalTime fixedClock;
    kvr::TUpdateLog log(systemTime ? static_cast<kvr::IClock&>(systemClock) : fixedClock);
    OpenFresh(log, path);
    const std::vector<uint8_t> frame = Frame();
    const QString status = QStringLiteral("Запрашиваем статус прибора");
    int sinceFresh = 0;
    for (auto _ : state) {
        if (withDump) {
            log.WriteLog(FrameText(), frame.data(), kFrameBytes);
        } else {
            log.WriteLog(status);
        }
        if (++sinceFresh == kEntriesPerFreshFile) {
            state.PauseTiming();
            OpenFresh(log, path);
            sinceFresh = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    // The same counters as BM_AtLimit: a fresh file never wraps.
    state.counters["wraps"] = 0;
    state.counters["file_bytes"] = static_cast<double>(QFile(path).size());
}

void BM_AtLimit(benchmark::State& state) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("log.txt"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("\xFF\xFE", 2) != 2 ||
            !file.resize(kNearLimitBytes)) {
            state.SkipWithError("cannot make a log at its limit");
            return;
        }
    }
    kvr::SystemClock clock;
    kvr::TUpdateLog log(clock);
    if (!log.Open(path)) {
        state.SkipWithError("cannot open the log");
        return;
    }
    const std::vector<uint8_t> frame = Frame();
    int64_t wraps = 0;
    int32_t previous = log.WritePosition();
    for (auto _ : state) {
        log.WriteLog(FrameText(), frame.data(), kFrameBytes);
        wraps += log.WritePosition() < previous ? 1 : 0;
        previous = log.WritePosition();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["wraps"] = static_cast<double>(wraps);
    state.counters["file_bytes"] = static_cast<double>(QFile(path).size());
}

BENCHMARK_CAPTURE(BM_Entry, text, false, true)->UseRealTime();
BENCHMARK_CAPTURE(BM_Entry, frame268, true, true)->UseRealTime();
BENCHMARK_CAPTURE(BM_Entry, frame268_fixed_time, true, false)->UseRealTime();
BENCHMARK(BM_AtLimit)->Name("BM_AtLimit/frame268")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

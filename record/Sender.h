// Forwards what a station's store (LocalStore.h) holds for one record, oldest first, on a
// thread of its own, for as long as it takes.
//
// The apply contract. `apply` writes one entry to the record and returns, or throws
// RecordError:
//   - unreachable: the record did not answer; the entry stays first in line and the sender
//     tries again later (kFirstRetryMs, doubling up to kMaxRetryMs, then every kMaxRetryMs,
//     without end). Nothing after it is forwarded before it, so a run's "end" never reaches
//     the record before its "begin".
//   - otherwise the record refused it for good (poisoned): it is moved to the store's dead
//     table with the reason, where a person reads it, `poisoned` is told, and the entries
//     after it go on. Trying it again would refuse it again and hold the station's later
//     runs back forever. Record::ApplyForwarded refuses a step about a run or number the
//     record does not hold, so a run whose "begin" was refused has its later entries in the
//     dead table beside it rather than lost.
//   Any other exception counts as "try later": an entry is never dropped for a fault of ours.
// `apply` must be idempotent, keyed by run id and number: an entry applied and then not
// removed (a crash, a store error, a second sender on the same store) is applied again and
// must change nothing. Record::ApplyForwarded keeps this contract.
//
// Time. Waits go by the injected clock's TickMs; the thread sleeps on a condition variable,
// so Wake and Stop are served at once. With a clock other than the system's (tests), call
// Recheck after moving it. With nothing to forward, the store is looked at again every
// kIdleRecheckMs, for entries that another process of the station appended.
//
// Threads. Start, Stop, Wake, Recheck and Snapshot may be called from any thread; `apply`,
// `poisoned` and `changed` run on the sender's thread. Stop waits for the entry under way
// (bounded by the record's own deadlines), then returns.
#pragma once

#include <QDateTime>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "LocalStore.h"

namespace kvr {
class IClock;
}

namespace kvr::record {

inline constexpr uint64_t kFirstRetryMs = 1000;
inline constexpr uint64_t kMaxRetryMs = 60000;
inline constexpr uint64_t kIdleRecheckMs = 10000;
// A station's heartbeat (SetBeat) goes at most this often; a station silent for kBeatSilentMs
// is taken for gone.
inline constexpr uint64_t kBeatIntervalMs = 10000;
inline constexpr uint64_t kBeatSilentMs = 3 * kBeatIntervalMs;
// Entries read from the store at a time.
inline constexpr int kSendBatch = 64;

// What a window shows of a sender.
struct SenderStatus {
    int64_t pending = 0;          // entries still to forward, as of the last pass
    int64_t dead = 0;             // entries the record refused, in the dead table
    QDateTime lastSuccess;        // the last entry the record took; invalid: none yet
    QDateTime awaySince;          // the first failure of the current outage; invalid: not away
    int64_t sentSinceBack = 0;    // forwarded since the record last came back (or since Start)
    int failures = 0;             // attempts that failed in a row; 0 while the record answers
    uint64_t failedAttempts = 0;  // every failed attempt since Start
    uint64_t nextAttemptMs = 0;   // the clock's TickMs of the next try
    QString lastError;            // the last failure's reason; empty once one succeeds
};

class Sender {
public:
    using Apply = std::function<void(const StoreEntry&)>;
    using Poisoned = std::function<void(const StoreEntry&, const QString& reason)>;
    using Changed = std::function<void(const SenderStatus&)>;

    // `store` and `clock` outlive the sender. `record`: the store's key of the record.
    Sender(LocalStore& store, QString record, Apply apply, IClock& clock, Poisoned poisoned = {},
           Changed changed = {});
    ~Sender();  // stops
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Called on the sender's thread once a pass has forwarded everything, at most every
    // kBeatIntervalMs: a station's heartbeat (last: false). It throws as `apply` does: a beat
    // the record did not take makes the record away, tried again after the backoff, and one it
    // took brings it back. At Stop, when everything went and the record answered last, once
    // more with last: true, whose errors are ignored. Set before Start.
    void SetBeat(std::function<void(bool last)> beat) { beat_ = std::move(beat); }

    // Starts the thread; it forwards at once what the store holds.
    void Start();
    void Stop();
    // Try at once (after an Append), whatever the wait; the backoff goes on if it fails.
    void Wake();
    // Read the clock again: try only if the time has come.
    void Recheck();
    SenderStatus Snapshot() const;

private:
    enum class Pass { Done, Failed, Stopped };
    void Run();
    Pass Forward();
    enum class Beat { NotDue, Sent, Failed };
    Beat BeatIfDue(QString& error);
    void Farewell();
    void Note(const std::function<void(SenderStatus&)>& change);

    LocalStore& store_;
    const QString record_;
    const Apply apply_;
    IClock& clock_;
    const Poisoned poisoned_;
    const Changed changed_;
    std::function<void(bool last)> beat_;
    bool beaten_ = false;
    uint64_t lastBeatMs_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    bool stop_ = false;
    bool wake_ = false;
    uint64_t backoffMs_ = kFirstRetryMs;
    SenderStatus status_;
    std::thread thread_;
};

}  // namespace kvr::record

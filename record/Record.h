// The production record: one row per update run, and the serial-number pools, in SQLite or
// PostgreSQL (Database.h). No UI: the programs show what it returns their own way.
//
// Runs. BeginRun writes the row before the device sees anything and EndRun completes it, so a
// crash leaves an open row, never none.
//
// Pools. A number is taken in its own committed transaction (TakeNumber) and marked "sent"
// before the device sees it; SettleNumber then marks it "confirmed" or "failed". A taken number
// is never given again, by any process or station sharing the record, crash or not. A number
// voided while still free is skipped. Every number below a pool's next one therefore has a
// state: sent, confirmed, failed or void.
//
// When the record cannot be reached: every call first reconnects a broken connection and tries
// once more after a connection that broke under it; every wait is bounded on this side
// (PostgresDeadlines.h), and RecordError (unreachable) follows. A station does not wait on it:
// its rows go through its own store (LocalStore.h), forwarded with ApplyForwarded, where each
// step may be applied twice with the result of once.
//
// Thread-safe: one connection, one call at a time.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Database.h"
#include "RecordUrl.h"

namespace kvr::record {

inline constexpr int kSchemaVersion = 5;

struct RunStart {
    QString station;  // host name
    QString port;
    QString adapter;  // the adapter's by_id link or USB serial number; empty where unknown
    QString packageName;
    QString packageSha256;  // lowercase hex
    int pageCount = 0;
    QString hardwareVersions;  // as the window's lists show them, one per line
    QString programVersions;
    bool technology = false;
    bool bootAll = false;
    QString hardware;  // technology mode
    QString pool;      // the serial-number pool, when numbers come from one
    QString logPath;
};

struct RunEnding {
    QString outcome;      // RunEndName(), or the station's own word ("no serial number left")
    QString outcomeText;  // the text shown
    uint64_t durationMs = 0;
    int pagesSent = 0;
    QString serialNumber;  // given to the device in this run; empty: none
    bool serialNumberConfirmed = false;
};

struct HistoryRow {
    bool renumbered = false;  // the run gave a number the record held as given, on purpose
    QString id;
    RunStart start;
    QDateTime startedAt;
    std::optional<RunEnding> ending;  // none: the run never ended (a crash)
    QDateTime endedAt;
    QString serialNumber;  // also set for an open run that had taken one
    QString numberState;   // the pool's word for that number; empty without a pool
};

struct HistoryFilter {
    QString serialNumber;
    QString port;
    QDateTime since;  // invalid: from the first
};

// A serial number the record holds as given: by a pool, or given by hand or by a counter.
struct GivenNumber {
    QString number;  // as the record keeps it
    QString pool;    // the pool whose range holds it; empty: none
    QString state;   // sent, confirmed, failed or void
    QString runId;   // empty for a number voided before anybody took it
    QString station;
    QDateTime at;
};

struct PoolStatus {
    QString name;
    QString first, last;
    QString next;  // the next free number; empty when the pool is used up
    int64_t free = 0, sent = 0, confirmed = 0, failed = 0, voided = 0;
    int64_t leased = 0;  // held by stations' leases, not given yet
    QDateTime created;
};

// A block of a pool's numbers handed to one station ahead of need.
struct Lease {
    QString id;
    QString pool;
    QStringList numbers;  // in the order to give them; fewer than asked near the pool's end
    QDateTime grantedAt;  // the granting station's clock
    int64_t lifetimeS = 0;
};

struct LeaseStatus {
    QString id, pool, station, holder;
    QString first, last;
    int64_t count = 0;  // numbers leased
    int64_t left = 0;   // of those, not given yet
    QDateTime grantedAt, expiresAt;
    QDateTime releasedAt;    // invalid: still held
    QString releasedBy;      // "station" or "hand"
    bool reclaimed = false;  // its numbers not given are back in the pool
};

// What a station process tells the line of itself, every kBeatIntervalMs while the record
// answers (Sender.h). The record stamps it with its own time.
struct LaneBeat {
    QString port;
    QString state;        // "idle" or "updating"
    QString lastOutcome;  // the last run's outcome; empty: none yet
    QDateTime lastAt;
};
struct StationBeat {
    QString holder;   // the station process's own id
    QString station;  // its host
    QDateTime startedAt;
    QString packageName, packageSha256, pool;
    int64_t waiting = 0;    // rows in its store not yet in the record
    int64_t leaseLeft = 0;  // numbers leased to it and not given
    std::vector<LaneBeat> lanes;
};

// A hand release takes effect this long after the lease's own end, for clocks of the
// stations and of the engineer's computer that disagree.
inline constexpr int64_t kLeaseClockGraceS = 600;

class Record {
public:
    // Opens the record, creating its tables or upgrading them in place. Throws RecordError:
    // unreachable, no database, or a schema written by a newer tool (which is never touched).
    static std::unique_ptr<Record> Open(const RecordUrl& url);
    ~Record();

    const RecordUrl& Url() const { return url_; }

    // The run's row; returns its id. Throws RecordError.
    QString BeginRun(const RunStart& start);
    // Throws RecordError.
    void EndRun(const QString& runId, const RunEnding& ending);

    // first, last: digits; last empty: all nines of first's width. Throws RecordError with the
    // reason (a bad range, a name in use, a range that overlaps another pool's).
    void CreatePool(const QString& name, const QString& first, const QString& last);
    // Every pool, or the one named (empty when there is none of that name).
    std::vector<PoolStatus> Pools(const QString& name = {});
    // A free number for the run, committed as "sent" before it returns; empty when the pool is
    // used up. A run takes one number at most: asked again it gets the same. Throws RecordError.
    QString TakeNumber(const QString& pool, const QString& runId);
    void SettleNumber(const QString& number, bool confirmed);
    // Marks a number void, given or not. Throws RecordError when no pool holds it.
    void VoidNumber(const QString& number, const QString& reason);

    // Who holds `number`, compared by value (101 and 000101 label one unit); none: nobody.
    std::optional<GivenNumber> Given(const QString& number);
    // Gives a number chosen outside the pools (typed, fixed or from a counter) to the run,
    // committed as "sent" before it returns, so that no pool gives it again. When the record
    // holds it as given already: false with the holder, unless `renumber`, which gives it
    // again and marks the run as one that re-numbers a unit on purpose. Asked again for the same
    // run it answers true. Throws RecordError.
    bool GiveNumber(const QString& number, const QString& runId, bool renumber,
                    GivenNumber* holder = nullptr);
    // What the device said of the number its run was given (by GiveNumber or TakeNumber).
    void SettleRun(const QString& runId, bool confirmed);

    // Leases up to `count` free numbers of `pool` to the station `holder` (a station process's
    // own id; `station` names its host) for `lifetimeS` seconds, committed before it returns.
    // No number when the pool is used up. Throws RecordError.
    Lease LeaseNumbers(const QString& pool, const QString& station, const QString& holder,
                       int count, int64_t lifetimeS);
    // The leases still in force or not yet reclaimed, of one pool or all.
    std::vector<LeaseStatus> Leases(const QString& pool = {});
    // By hand, for a station gone for good: the lease's numbers not given go back to the pool
    // once its lifetime (and kLeaseClockGraceS) has passed, never before. False when there is
    // no such lease or it was released already.
    bool ReleaseLease(const QString& leaseId);

    // The station's row, written anew. Its end comes forwarded ("stopped"), after its rows.
    void Beat(const StationBeat& beat);

    std::vector<HistoryRow> History(const HistoryFilter& filter);
    // The last confirmed write of a serial number: when and on which station.
    struct Confirmed {
        QDateTime endedAt;
        QString station;
    };
    std::optional<Confirmed> LastConfirmed(const QString& serialNumber);

    // Stamps for the rows; the system's UTC time unless a test sets its own.
    void SetNow(std::function<QDateTime()> now) { now_ = std::move(now); }

private:
    Record(const RecordUrl& url, std::unique_ptr<Database> db);
    void PrepareSchema();
    template <typename F>
    auto Reaching(F&& work) -> decltype(work());
    void ApplyEnd(const QString& runId, const RunEnding& ending, const QString& endedAt);
    void ApplySettle(const QString& number, bool confirmed, const QString& at);
    // A number of `pool` went from state `from` to `to` (from empty: a new numbers row; to
    // empty: a row gone) in the write transaction under way: keeps the pool's counts, which
    // Pools() reads instead of counting the numbers. Call it in the same transaction, once the
    // row has really changed (an UPDATE … RETURNING that returned it). It updates the pool's
    // row, so on PostgreSQL it takes that row's lock: for a new row, call it before the INSERT
    // (as a take holds the pool's row before inserting, a take of the same number then waits
    // instead of deadlocking); for a changed row, after the UPDATE.
    void CountState(const QString& pool, const QString& from, const QString& to);
    // CountState for `n` numbers at once.
    void Shift(const QString& pool, const QString& from, const QString& to, size_t n);
    void ApplySettleRun(const QString& runId, bool confirmed, const QString& at);
    std::optional<GivenNumber> GivenLocked(const QString& number);
    QString Stamp() const;

    RecordUrl url_;
    std::unique_ptr<Database> db_;
    std::function<QDateTime()> now_;
    std::recursive_mutex mutex_;

    // Entries a station kept in its own store (LocalStore.h) and forwards later.
public:
    // Applies one forwarded entry. Each kind may be applied any number of times with the
    // result of once: "begin" inserts the run's row under the id and start stamp it carries
    // (an existing row is kept); "end", "settle" and "settle_run" complete
    // only what is still open; "give" ({number, id, renumber}) is GiveNumber, true again for
    // the same run; "take" ({number, id, lease, at}) gives a number of the station's lease to
    // the run; "return" ({lease, at}) puts the lease's numbers not given back in the pool;
    // "stopped" ({holder, at}) marks a station process's row as ended. An entry about a run or
    // number the record does not hold, one of an unknown kind, a "give" of a number held by another
    // run, or a "take" of a number no longer in that lease is refused: RecordError, not
    // unreachable. Unreachable: as every call.
    void ApplyForwarded(const QString& kind, const QJsonObject& payload);
    // The payloads of "begin" and "end", as ApplyForwarded reads them.
    static QJsonObject BeginPayload(const QString& runId, const QDateTime& startedAt,
                                    const RunStart& start);
    static QJsonObject EndPayload(const QString& runId, const QDateTime& endedAt,
                                  const RunEnding& ending);

private:
    void ApplyBegin(const QString& runId, const QString& startedAt, const RunStart& start);
    // The next free number of `pool` put in `state` for the run or the lease, inside a write
    // transaction; empty when the pool is used up.
    QString ClaimLocked(const QString& pool, const QString& state, const QString& runId,
                        const QString& leaseId, const QString& at);
    // Numbers of leases released by hand whose time has passed go back to their pools.
    void ReclaimLocked();
    // The lease's pool, its row locked, inside a write transaction; refused when there is no
    // such lease.
    QString LockLeasePool(const QString& leaseId);
    void ApplyTake(const QString& number, const QString& runId, const QString& leaseId,
                   const QString& at);
    void ApplyReturn(const QString& leaseId, const QString& at);
    void RequireRow(const QString& sql, const QString& key, const QString& refusal);
};

// Every pool, or the one named, as the record's connection `db` reads them now.
std::vector<PoolStatus> ReadPools(Database& db, const QString& name = {});

// "2026-12-09T19:30:05.120Z" and back.
QString StampText(const QDateTime& at);
QDateTime StampValue(const QString& text);

}  // namespace kvr::record

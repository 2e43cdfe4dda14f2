// A station's runs and pool numbers kept on the station first, and in the line's record when it
// answers: what lets a line go on while its record is away.
//
// - Every run's row, each number given and each ending go to the station's own store
//   (LocalStore, beside the update log) and are durable before the device sees anything of
//   them. A sender forwards them to the record in order, for as long as it takes; what is left
//   at a stop, a kill or a power cut is forwarded by the next start.
// - Pool numbers come from leases: blocks of the pool that the record hands to this station
//   ahead of need (kept in its `leases` table), refilled in the background. While the record
//   is away the station gives numbers from its leases only, and never past a lease's lifetime,
//   measured on the station's monotonic clock from before it asked. A run that finds no number
//   waits (Later) and starts when a lease comes. On a clean stop the numbers not given go back
//   to the pool; the leases of a station process that was killed go back at the next start.
// - No call on a run's path waits on the record: the record is called on the ledger's own
//   threads only (the sender's and the lease keeper's), each call bounded by its deadlines.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QLockFile>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Clock.h"
#include "LocalStore.h"
#include "Record.h"
#include "Sender.h"
#include "StationRecord.h"

namespace kvr::station {

// About an hour of a busy station's work per lease, refilled at half; a lease lasts a shift and
// a half, so that a station away from its record for a whole shift still numbers what it holds.
struct LeasePolicy {
    int size = 200;
    int refillBelow = 100;
    int64_t lifetimeS = 12 * 3600;
};
// States kept for TakeSaid when nobody takes them.
inline constexpr size_t kSaidKept = 64;
// A station stops giving a lease's numbers this long before its lifetime ends, for the time its
// request took and clocks that run apart.
inline constexpr int64_t kLeaseMarginS = 60;

// Where the line's record stands, as a station sees it.
struct RecordState {
    bool connected = true;
    QDateTime awaySince;     // UTC; invalid while connected
    QString reason;          // why the last call failed; empty while connected
    int64_t waiting = 0;     // rows in the store not yet in the record
    int64_t leasedLeft = 0;  // numbers leased to this station and not given
    // Said once when the record is back and what waited has gone: how long it was away, and
    // how many rows went since.
    int64_t backAfterS = -1;
    int64_t sentSinceBack = 0;
};

// The store's file beside the update log.
QString StationStorePath(const QString& updateLogPath);

class StationLedger final : public IStationRecord {
public:
    // `record` and `clock` outlive the ledger. pool: empty when numbers come from elsewhere.
    // Opens the store (RecordError naming it when it cannot be used).
    StationLedger(record::Record& record, const QString& storePath,
                  std::vector<record::RunStart> ports, QString pool, LeasePolicy policy,
                  IClock& clock);
    ~StationLedger() override;  // Stop()
    StationLedger(const StationLedger&) = delete;
    StationLedger& operator=(const StationLedger&) = delete;

    // Gives back what a killed process of this station left leased, and starts forwarding and
    // leasing. Returns at once.
    void Start();
    // Gives back the numbers not given and forwards what waits for up to `flushMs` (the rest
    // waits in the store for the next start); returns the rows still waiting.
    int64_t Stop(uint64_t flushMs = 10000);

    RecordState State() const;
    // The states said since the last call, oldest first (the last kSaidKept at most): for a
    // window or a terminal that looks on its own thread, on a timer of its own.
    std::vector<RecordState> TakeSaid();
    const QString& StorePath() const { return store_->Path(); }

    // IStationRecord: the run's row goes to the store.
    bool OpenRun(int port, QString& why) override;
    void CloseRun(int port, const RunResult& result, QString& note) override;
    bool Later() const override { return true; }  // the store came back from a fault
    // The same for a run described now (a window whose port and modes change between runs).
    bool OpenRun(int port, const record::RunStart& start, QString& why);
    QString RunId(int port) const;
    // The port's open run written to the record now (a number chosen outside the pools is
    // decided there). Throws RecordError.
    void ForwardBegin(int port);
    // What the device said of a number given outside the pools, through the store.
    void SettleRun(int port, bool confirmed, QString& note);
    // The number the next run would get from the leases; empty when none is leased.
    QString NextNumber() const;

    // The pool's numbers, from this station's leases.
    ISerialNumberSource& Numbers() { return numbers_; }

    // Tests: look at the clock again now (the keeper looks every few hundred ms anyway).
    void Recheck();

private:
    struct HeldLease {
        QString id;
        QStringList numbers;  // not given yet, in order
        uint64_t askedMs = 0;
        int64_t lifetimeS = 0;
    };
    class LeasedNumbers final : public ISerialNumberSource {
    public:
        explicit LeasedNumbers(StationLedger& ledger) : ledger_(ledger) {}
        bool Reserve(QString& why) override;
        void Release() override;
        QString Take(int port, QString& note) override;
        void Settle(int port, const QString& number, bool confirmed, QString& note) override;
        bool Later() const override;

    private:
        StationLedger& ledger_;
    };

    bool Append(const QString& kind, const QJsonObject& payload, QString& why);
    void Keep();                 // the lease keeper's thread
    void LeaseOnce();            // one request; on the keeper's thread
    void DropExpiredLocked();    // leases past their time: back to the pool
    int64_t LeftLocked() const;  // numbers in leases still in force
    bool Usable(const HeldLease& lease) const;
    void SenderChanged(const record::SenderStatus& status);
    void Beat(bool last);  // on the sender's thread
    void Publish();

    record::Record& record_;
    std::unique_ptr<record::LocalStore> store_;
    const QString key_;  // the record's identity in the store
    const QString session_;
    std::unique_ptr<QLockFile> sessionLock_;
    std::vector<record::RunStart> ports_;
    const QString station_;            // the host, as the leases name it
    std::vector<QString> runIds_;      // each written only by its own port's thread
    std::vector<QJsonObject> begins_;  // the open run's row, per port, likewise
    const QString pool_;
    const LeasePolicy policy_;
    IClock& clock_;
    LeasedNumbers numbers_{*this};
    std::unique_ptr<record::Sender> sender_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
    std::deque<HeldLease> leases_;
    int64_t reserved_ = 0;
    bool poolUsedUp_ = false;
    bool startForwarded_ = false;  // the store held nothing from before, or the record is away
    bool firstLeaseTried_ = false;
    std::condition_variable leaseTried_;
    QString leaseError_;                 // the last lease request's failure; empty when it worked
    QDateTime leaseAwaySince_;           // the keeper's own view of an outage
    uint64_t nextLeaseMs_ = 0;           // no request before this tick
    uint64_t leaseBackoffMs_ = 0;        // 0: none
    record::SenderStatus senderStatus_;  // the fields the state needs, as last told
    QDateTime awaySince_;                // the outage as the state shows it
    std::vector<RecordState> said_;      // for TakeSaid, under mutex_
    RecordState shown_{false, {}, {}, 0, -1};  // nothing said yet
    std::vector<record::LaneBeat> lanes_;      // what the heartbeat tells of each port
    QString beatPackage_, beatSha256_;
    QDateTime startedAt_;
    std::thread keeper_;
};

}  // namespace kvr::station

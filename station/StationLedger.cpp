#include "StationLedger.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <utility>

#include "Journal.h"
#include "ProductionRun.h"
#include "RecordedStation.h"
#include "Station.h"

namespace kvr::station {

using record::RecordError;

namespace {

// How often the keeper looks at its clock when nothing wakes it.
constexpr int kKeeperPollMs = 200;
// How long the first run waits for the first lease (it never waits again).
constexpr int kFirstLeaseWaitMs = 5000;

// A copy with storage of its own, for a string that crosses threads: Qt's shared strings drop
// their last reference where race checkers cannot see it.
QString Own(const QString& text) {
    return QString(text.constData(), text.size());
}

QString Now() {
    return record::StampText(QDateTime::currentDateTimeUtc());
}

QString SessionLockPath(const QString& storePath, const QString& session) {
    return storePath + QStringLiteral(".") + session + QStringLiteral(".lock");
}

}  // namespace

QString StationStorePath(const QString& updateLogPath) {
    return QFileInfo(updateLogPath).dir().filePath(QStringLiteral("station-store.sqlite"));
}

StationLedger::StationLedger(record::Record& record, const QString& storePath,
                             std::vector<record::RunStart> ports, QString pool, LeasePolicy policy,
                             IClock& clock)
    : record_(record),
      store_(record::LocalStore::Open(storePath)),
      key_(record.Url().Identity()),
      session_(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      ports_(std::move(ports)),
      station_(ports_.empty() ? QString() : ports_.front().station),
      runIds_(ports_.size()),
      begins_(ports_.size()),
      pool_(std::move(pool)),
      policy_(policy),
      clock_(clock) {
    // Held for as long as this process lives: a later process that can take it knows the
    // leases of this session are nobody's.
    sessionLock_ = std::make_unique<QLockFile>(SessionLockPath(storePath, session_));
    sessionLock_->setStaleLockTime(0);
    sessionLock_->tryLock(0);
    for (const record::RunStart& port : ports_)
        lanes_.push_back({port.port, QStringLiteral("idle"), {}, {}});
    if (!ports_.empty()) {
        beatPackage_ = ports_.front().packageName;
        beatSha256_ = ports_.front().packageSha256;
    }
}

StationLedger::~StationLedger() {
    Stop(0);
}

void StationLedger::Start() {
    {
        const std::lock_guard lock(mutex_);
        if (started_)
            return;
        started_ = true;
        startedAt_ = QDateTime::currentDateTimeUtc();
    }
    // Endings that an older version kept in its journal go into the store, in their order:
    // the journal's entries are the store's "end", "settle" and "settle_run". A journal that
    // cannot be read now is left as it is for the next start.
    const QString journal = RecordJournalPath(store_->Path());
    if (QFileInfo::exists(journal)) {
        try {
            record::Journal(journal).Replay(key_, [this](const QJsonObject& entry) {
                store_->Append(key_, entry.value(QStringLiteral("op")).toString(), entry);
            });
        } catch (const RecordError&) {
        }
    }
    // The leases of processes that are gone go back behind their takes.
    for (const auto& [session, lease] : store_->HeldLeases(key_)) {
        if (session == session_)
            continue;
        QLockFile owner(SessionLockPath(store_->Path(), session));
        owner.setStaleLockTime(0);
        if (!owner.tryLock(0))
            continue;  // that process still runs
        store_->ReturnLease(key_, lease, QDateTime::currentDateTimeUtc());
        owner.unlock();
    }
    sender_ = std::make_unique<record::Sender>(
        *store_, key_,
        [this](const record::StoreEntry& e) { record_.ApplyForwarded(e.kind, e.payload); }, clock_,
        record::Sender::Poisoned(), [this](const record::SenderStatus& s) { SenderChanged(s); });
    sender_->SetBeat([this](bool last) { Beat(last); });
    sender_->Start();
    keeper_ = std::thread([this] { Keep(); });
}

int64_t StationLedger::Stop(uint64_t flushMs) {
    {
        const std::lock_guard lock(mutex_);
        if (!started_ || stopping_)
            return sender_ ? sender_->Snapshot().pending : 0;
        stopping_ = true;
    }
    wake_.notify_all();
    if (keeper_.joinable())
        keeper_.join();
    {
        const std::lock_guard lock(mutex_);
        for (const HeldLease& lease : leases_) {
            try {
                store_->ReturnLease(key_, lease.id, QDateTime::currentDateTimeUtc());
            } catch (const RecordError&) {
                // Kept in the store's table: the next start gives it back.
            }
        }
        leases_.clear();
    }
    sender_->Wake();
    // Real time: the rows go at the speed of the record, whatever clock the runs use.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(flushMs);
    auto away = [this] {
        const std::lock_guard lock(mutex_);
        return senderStatus_.failures > 0;
    };
    while (store_->Count(key_) > 0 && std::chrono::steady_clock::now() < until && !away())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sender_->Stop();
    if (sessionLock_)
        sessionLock_->unlock();
    return store_->Count(key_);
}

void StationLedger::Recheck() {
    wake_.notify_all();
    if (sender_)
        sender_->Recheck();
}

bool StationLedger::Append(const QString& kind, const QJsonObject& payload, QString& why) {
    try {
        store_->Append(key_, kind, payload);
    } catch (const RecordError& e) {
        why = QStringLiteral("The station store %1 does not take the run: %2")
                  .arg(QDir::toNativeSeparators(store_->Path()), e.Text());
        return false;
    }
    if (sender_)
        sender_->Wake();
    Publish();
    return true;
}

bool StationLedger::OpenRun(int port, QString& why) {
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto& start = ports_[static_cast<size_t>(port)];
    QJsonObject begin = record::Record::BeginPayload(id, QDateTime::currentDateTimeUtc(), start);
    if (!Append(QStringLiteral("begin"), begin, why))
        return false;
    runIds_[static_cast<size_t>(port)] = id;
    begins_[static_cast<size_t>(port)] = std::move(begin);
    const std::lock_guard lock(mutex_);
    record::LaneBeat& lane = lanes_[static_cast<size_t>(port)];
    lane.port = Own(start.port);
    lane.state = QStringLiteral("updating");
    beatPackage_ = Own(start.packageName);
    beatSha256_ = Own(start.packageSha256);
    return true;
}

bool StationLedger::OpenRun(int port, const record::RunStart& start, QString& why) {
    ports_[static_cast<size_t>(port)] = start;
    return OpenRun(port, why);
}

void StationLedger::ForwardBegin(int port) {
    // Forwarded again later from the store, which then changes nothing.
    record_.ApplyForwarded(QStringLiteral("begin"), begins_[static_cast<size_t>(port)]);
}

void StationLedger::SettleRun(int port, bool confirmed, QString& note) {
    QString why;
    if (!Append(QStringLiteral("settle_run"),
                QJsonObject{{QStringLiteral("id"), RunId(port)},
                            {QStringLiteral("confirmed"), confirmed},
                            {QStringLiteral("at"), Now()}},
                why))
        note = why;
}

QString StationLedger::NextNumber() const {
    const std::lock_guard lock(mutex_);
    for (const HeldLease& lease : leases_) {
        if (!lease.numbers.isEmpty() && Usable(lease))
            return lease.numbers.front();
    }
    return {};
}

void StationLedger::CloseRun(int port, const RunResult& result, QString& note) {
    QString why;
    const record::RunEnding ending = EndingOf(result);
    const QDateTime at = QDateTime::currentDateTimeUtc();
    if (!Append(QStringLiteral("end"), record::Record::EndPayload(RunId(port), at, ending), why))
        note = why;
    const std::lock_guard lock(mutex_);
    record::LaneBeat& lane = lanes_[static_cast<size_t>(port)];
    lane.state = QStringLiteral("idle");
    lane.lastOutcome = Own(ending.outcome);
    lane.lastAt = at;
}

void StationLedger::Beat(bool last) {
    if (last) {
        record_.ApplyForwarded(
            QStringLiteral("stopped"),
            QJsonObject{{QStringLiteral("holder"), session_}, {QStringLiteral("at"), Now()}});
        return;
    }
    record::StationBeat beat;
    {
        const std::lock_guard lock(mutex_);
        beat.holder = Own(session_);
        beat.station = Own(station_);
        beat.startedAt = startedAt_;
        beat.packageName = Own(beatPackage_);
        beat.packageSha256 = Own(beatSha256_);
        beat.pool = Own(pool_);
        beat.waiting = senderStatus_.pending;
        beat.leaseLeft = LeftLocked();
        for (const record::LaneBeat& lane : lanes_)
            beat.lanes.push_back(
                {Own(lane.port), Own(lane.state), Own(lane.lastOutcome), lane.lastAt});
    }
    record_.Beat(beat);
}

QString StationLedger::RunId(int port) const {
    return runIds_[static_cast<size_t>(port)];
}

bool StationLedger::Usable(const HeldLease& lease) const {
    const int64_t spanMs = (lease.lifetimeS - kLeaseMarginS) * 1000;
    return spanMs > 0 && clock_.TickMs() - lease.askedMs < static_cast<uint64_t>(spanMs);
}

void StationLedger::DropExpiredLocked() {
    while (!leases_.empty() && (leases_.front().numbers.isEmpty() || !Usable(leases_.front()))) {
        // Used up or past its time: whatever it has left goes back, behind its takes.
        try {
            store_->ReturnLease(key_, leases_.front().id, QDateTime::currentDateTimeUtc());
        } catch (const RecordError&) {
            // Kept in the store's table: the next start gives it back.
        }
        leases_.pop_front();
    }
}

int64_t StationLedger::LeftLocked() const {
    int64_t left = 0;
    for (const HeldLease& lease : leases_) {
        if (Usable(lease))
            left += lease.numbers.size();
    }
    return left;
}

void StationLedger::Keep() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        DropExpiredLocked();
        const bool due = clock_.TickMs() >= nextLeaseMs_;
        // Not before what waited in the store at the start has gone (or the record is away):
        // leases given back there come out again first.
        const bool needed = !pool_.isEmpty() && !poolUsedUp_ && startForwarded_ &&
                            LeftLocked() - reserved_ < policy_.refillBelow;
        if (due && needed) {
            lock.unlock();
            LeaseOnce();
            Publish();
            lock.lock();
            continue;
        }
        wake_.wait_for(lock, std::chrono::milliseconds(kKeeperPollMs));
    }
}

void StationLedger::LeaseOnce() {
    struct Tried {
        StationLedger& l;
        ~Tried() {
            {
                const std::lock_guard lock(l.mutex_);
                l.firstLeaseTried_ = true;
            }
            l.leaseTried_.notify_all();
        }
    } tried{*this};
    const uint64_t asked = clock_.TickMs();
    try {
        const record::Lease lease =
            record_.LeaseNumbers(pool_, station_, session_, policy_.size, policy_.lifetimeS);
        const std::lock_guard lock(mutex_);
        leaseError_.clear();
        leaseAwaySince_ = QDateTime();
        leaseBackoffMs_ = 0;
        nextLeaseMs_ = 0;
        if (lease.numbers.isEmpty()) {
            poolUsedUp_ = true;
            return;
        }
        store_->KeepLease(key_, session_, lease.id);
        leases_.push_back(HeldLease{lease.id, lease.numbers, asked, lease.lifetimeS});
    } catch (const RecordError& e) {
        const std::lock_guard lock(mutex_);
        leaseError_ = e.Text();
        if (e.Unreachable() && !leaseAwaySince_.isValid())
            leaseAwaySince_ = QDateTime::currentDateTimeUtc();
        leaseBackoffMs_ = leaseBackoffMs_ == 0 ? record::kFirstRetryMs
                                               : std::min(leaseBackoffMs_ * 2, record::kMaxRetryMs);
        nextLeaseMs_ = clock_.TickMs() + leaseBackoffMs_;
    }
}

void StationLedger::SenderChanged(const record::SenderStatus& status) {
    bool back = false;
    {
        const std::lock_guard lock(mutex_);
        back = senderStatus_.failures > 0 && status.failures == 0;
        // Field by field, the text as a copy of its own moved in: Qt's out-of-line string
        // assignment would drop a shared string where race checkers cannot see it.
        senderStatus_.pending = status.pending;
        senderStatus_.failures = status.failures;
        senderStatus_.sentSinceBack = status.sentSinceBack;
        senderStatus_.awaySince = status.awaySince;
        senderStatus_.lastError = QString(status.lastError.constData(), status.lastError.size());
        if (!startForwarded_ && (status.pending == 0 || status.failures > 0)) {
            startForwarded_ = true;
            back = true;
        }
        if (back) {
            // The record answers again: ask for numbers at once.
            nextLeaseMs_ = 0;
            leaseBackoffMs_ = 0;
        }
    }
    if (back)
        wake_.notify_all();
    Publish();
}

RecordState StationLedger::State() const {
    const std::lock_guard lock(mutex_);
    RecordState state;
    const bool senderAway = senderStatus_.awaySince.isValid();
    const bool leaseAway = leaseAwaySince_.isValid();
    state.connected = !senderAway && !leaseAway;
    if (!state.connected) {
        state.awaySince = senderAway && leaseAway
                              ? std::min(senderStatus_.awaySince, leaseAwaySince_)
                              : (senderAway ? senderStatus_.awaySince : leaseAwaySince_);
        // A copy of its own: the text is read on other threads while this one's is replaced,
        // and Qt's shared strings count their owners where race checkers do not look.
        const QString& reason = senderAway ? senderStatus_.lastError : leaseError_;
        state.reason = QString(reason.constData(), reason.size());
    }
    state.waiting = senderStatus_.pending;
    state.leasedLeft = LeftLocked();
    state.sentSinceBack = senderStatus_.sentSinceBack;
    return state;
}

std::vector<RecordState> StationLedger::TakeSaid() {
    const std::lock_guard lock(mutex_);
    return std::exchange(said_, {});
}

void StationLedger::Publish() {
    RecordState state = State();
    {
        const std::lock_guard lock(mutex_);
        if (!state.connected && !awaySince_.isValid())
            awaySince_ = state.awaySince;
        // Back, and what waited has gone: said once, with how long it was away.
        if (state.connected && awaySince_.isValid() && state.waiting == 0) {
            state.backAfterS = awaySince_.secsTo(QDateTime::currentDateTimeUtc());
            awaySince_ = QDateTime();
        } else if (state.connected && awaySince_.isValid()) {
            state.connected = false;  // still sending what waited
            state.awaySince = awaySince_;
        }
        // While the record answers, rows and numbers come and go with every unit: only a
        // change of standing is news. While it is away, so is every row that waits.
        const bool news = state.connected != shown_.connected || state.backAfterS >= 0 ||
                          state.awaySince != shown_.awaySince ||
                          (!state.connected && (state.waiting != shown_.waiting ||
                                                state.leasedLeft != shown_.leasedLeft));
        if (!news && shown_.leasedLeft >= 0)
            return;
        shown_.connected = state.connected;
        shown_.awaySince = state.awaySince;
        shown_.waiting = state.waiting;
        shown_.leasedLeft = state.leasedLeft;
        if (said_.size() >= kSaidKept)
            said_.erase(said_.begin());
        said_.push_back(state);
        said_.back().reason = QString(state.reason.constData(), state.reason.size());
    }
}

bool StationLedger::LeasedNumbers::Reserve(QString& why) {
    StationLedger& l = ledger_;
    {
        std::unique_lock lock(l.mutex_);
        // Right after the start the first lease is on its way: worth a short wait rather than
        // a held lane.
        l.leaseTried_.wait_for(lock, std::chrono::milliseconds(kFirstLeaseWaitMs),
                               [&] { return l.firstLeaseTried_ || l.stopping_; });
        l.DropExpiredLocked();
        if (l.LeftLocked() - l.reserved_ > 0) {
            ++l.reserved_;
            return true;
        }
        if (l.poolUsedUp_ && l.leases_.empty())
            return false;  // none left
        if (l.leaseAwaySince_.isValid() || l.senderStatus_.awaySince.isValid()) {
            why = QStringLiteral(
                      "The record %1 is away and this station's leased numbers are used up: "
                      "the run starts when the record gives numbers again")
                      .arg(l.record_.Url().Text());
        } else if (!l.leaseError_.isEmpty()) {
            why = QStringLiteral("No numbers from the pool \"%1\": %2").arg(l.pool_, l.leaseError_);
        } else {
            why = QStringLiteral("Waiting for numbers from the pool \"%1\"").arg(l.pool_);
        }
    }
    l.wake_.notify_all();
    return false;
}

bool StationLedger::LeasedNumbers::Later() const {
    const std::lock_guard lock(ledger_.mutex_);
    return !ledger_.poolUsedUp_ || !ledger_.leases_.empty();
}

void StationLedger::LeasedNumbers::Release() {
    const std::lock_guard lock(ledger_.mutex_);
    if (ledger_.reserved_ > 0)
        --ledger_.reserved_;
}

QString StationLedger::LeasedNumbers::Take(int port, QString& note) {
    StationLedger& l = ledger_;
    QString number;
    {
        const std::lock_guard lock(l.mutex_);
        if (l.reserved_ > 0)
            --l.reserved_;
        l.DropExpiredLocked();
        for (HeldLease& held : l.leases_) {
            if (held.numbers.isEmpty() || !l.Usable(held))
                continue;
            // In the store before the device sees it, and before any return of its lease,
            // which another port may append once the lease is empty: under the same lock.
            try {
                l.store_->Append(l.key_, QStringLiteral("take"),
                                 QJsonObject{{QStringLiteral("number"), held.numbers.front()},
                                             {QStringLiteral("id"), l.RunId(port)},
                                             {QStringLiteral("lease"), held.id},
                                             {QStringLiteral("at"), Now()}});
            } catch (const RecordError& e) {
                note = QStringLiteral("The station store %1 does not take the number: %2")
                           .arg(QDir::toNativeSeparators(l.store_->Path()), e.Text());
                return {};
            }
            number = held.numbers.takeFirst();
            break;
        }
    }
    l.wake_.notify_all();
    if (number.isEmpty()) {
        note = QStringLiteral("No leased number left for this run");
        return {};
    }
    if (l.sender_)
        l.sender_->Wake();
    l.Publish();
    return number;
}

void StationLedger::LeasedNumbers::Settle(int, const QString& number, bool confirmed,
                                          QString& note) {
    QString why;
    if (!ledger_.Append(QStringLiteral("settle"),
                        QJsonObject{{QStringLiteral("number"), number},
                                    {QStringLiteral("confirmed"), confirmed},
                                    {QStringLiteral("at"), Now()}},
                        why))
        note = why;
}

}  // namespace kvr::station

// A whole station writing through its ledger: rows and pool numbers in the station's store
// first, then in the record; leases that keep it numbering while the record is away (a relay in
// front of the test command's PostgreSQL server cuts the line), lanes that wait for numbers and
// go on by themselves, and a lease that is past its time.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <chrono>
#include <optional>
#include <thread>

#include "LineView.h"
#include "PgTestRecord.h"
#include "ProductionRun.h"
#include "RecordedStation.h"
#include "StationFixture.h"
#include "StationLedger.h"
#include "TcpRelay.h"

namespace {

using namespace kvr;
using namespace kvr::record;
using namespace kvr::station;
using namespace kvr::test;

const QString kSha =
    QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
// Only a guard against a hang: no result depends on it.
constexpr auto kHangGuard = std::chrono::seconds(60);
// The ledger's clock moves by this much each 20 ms while a test waits for it.
constexpr uint64_t kClockStepMs = 1000;

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

class LedgerRun : public StationRun {
protected:
    std::vector<RunStart> Starts(const QString& pool, const QStringList& ports) const {
        std::vector<RunStart> starts;
        for (const QString& port : ports) {
            RunStart s;
            s.station = QStringLiteral("bench-1");
            s.port = port;
            s.packageName = QStringLiteral("kvr17.bsk");
            s.packageSha256 = kSha;
            s.pageCount = kPages;
            s.technology = true;
            s.hardware = QStringLiteral("3");
            s.pool = pool;
            starts.push_back(s);
        }
        return starts;
    }
    static QString Unique(const char* stem) {
        return QLatin1String(stem) + QUuid::createUuid().toString(QUuid::Id128).left(10);
    }
    // A pool with a range of its own, on a server that other tests' pools share.
    static void CreateOwnPool(Record& record, const QString& name) {
        const int64_t first = 200000000000LL + (QUuid::createUuid().data1 % 700000000) * 1000;
        record.CreatePool(name, QString::number(first), QString::number(first + 999));
    }

    // The test server through `relay_`; skipped without one.
    std::unique_ptr<Record> OpenThroughRelay() {
        const std::optional<RecordUrl> server = PgTestRecordUrl();
        if (!server)
            return nullptr;
        return Record::Open(ThroughRelay(*server, relay_, dir_.path()));
    }

    // Waits (real time) until `done` holds, moving the ledger's clock a second at a time so
    // that its backoff passes (a lease lasts thousands of such steps); false when the guard
    // ran out.
    bool WaitFor(StationLedger& ledger, const std::function<bool(const RecordState&)>& done,
                 uint64_t stepMs = kClockStepMs) {
        const auto until = std::chrono::steady_clock::now() + kHangGuard;
        while (std::chrono::steady_clock::now() < until) {
            if (done(ledger.State()))
                return true;
            ledgerClock_.Advance(stepMs);
            ledger.Recheck();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A unit in place on a port of its own; the options of a station numbering from `ledger`.
    StationOptions NextUnit(StationLedger& ledger) {
        fixture_.clear();
        NewPort().line.options.finalStatuses = {10};
        fixture_[0]->line.Device();
        StationOptions options = Options();
        options.technology = true;
        options.hardware = "3";
        options.counter = &ledger.Numbers();
        options.record = &ledger;
        return options;
    }

    // One unit, single run.
    RunResult OneUnit(StationLedger& ledger, const QString& port) {
        const StationOptions options = NextUnit(ledger);  // the port it makes comes first
        Station station({fixture_[0]->Port(port)}, options, events_);
        station.Run();
        return station.Results()[0].empty() ? RunResult{} : station.Results()[0].back();
    }

    // A ledger on a pool of its own on the test server behind `relay_`, started, its first
    // lease in hand; null (the test skips) without a server.
    struct Started {
        std::unique_ptr<Record> record;
        QString pool, port;
        std::unique_ptr<StationLedger> ledger;
    };
    std::optional<Started> StartThroughRelay(LeasePolicy policy) {
        Started s;
        s.record = OpenThroughRelay();
        if (!s.record)
            return std::nullopt;
        s.pool = Unique("p");
        s.port = Unique("port");
        CreateOwnPool(*s.record, s.pool);
        s.ledger =
            std::make_unique<StationLedger>(*s.record, dir_.filePath("store.sqlite"),
                                            Starts(s.pool, {s.port}), s.pool, policy, ledgerClock_);
        s.ledger->Start();
        const int64_t size = policy.size;
        // The first lease needs no time to pass: the clock stays where it was asked on.
        EXPECT_TRUE(WaitFor(
            *s.ledger, [size](const RecordState& r) { return r.leasedLeft == size; }, 0));
        return s;
    }

    QTemporaryDir dir_;
    devsim::VirtualClock ledgerClock_;
    std::unique_ptr<TcpRelay> relay_;
};

TEST_F(LedgerRun, EveryPortGetsItsRowAndThePoolTellsWhatEachDeviceSaid) {
    // A confirms, B refuses its number, C's confirmation is lost: all three numbers are spent.
    for (int i = 0; i < 3; ++i)
        NewPort().line.options.finalStatuses = {10};
    fixture_[1]->line.options.refuseSerialNumber = true;
    fixture_[2]->line.options.faults.push_back(
        FaultOn(devsim::kCmdWriteSerialNumber, 1, FaultKind::NoReply));
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + dir_.filePath("r.sqlite"), url, error))
        << error.toStdString();
    auto record = Record::Open(url);
    record->CreatePool("line", "000101", "000103");
    const QString store = dir_.filePath("store.sqlite");
    StationLedger ledger(*record, store, Starts("line", {"A", "B", "C"}), "line", {3, 3, 3600},
                         ledgerClock_);
    ledger.Start();
    ASSERT_TRUE(WaitFor(ledger, [](const RecordState& s) { return s.leasedLeft == 3; }));
    EXPECT_EQ(record->Pools("line").front().leased, 3);

    Station& station = RunThreeWithCounter(ledger.Numbers(), &ledger);
    // The station's heartbeat tells the line each lane's last outcome, and its stop ends it.
    auto view = LineView::Open(url);
    auto seen = [&] {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        return view->Read(now.addSecs(-3600), now.addSecs(1)).stationsSeen;
    };
    ASSERT_TRUE(WaitFor(ledger, [&](const RecordState&) {
        const std::vector<StationSeen> st = seen();
        return st.size() == 1 && st[0].lanes.size() == 3 && !st[0].lanes[2].lastOutcome.isEmpty();
    }));
    StationSeen beat = seen().front();
    EXPECT_TRUE(beat.online);
    EXPECT_EQ(beat.station, "bench-1");
    EXPECT_EQ(beat.packageSha256, kSha);
    EXPECT_EQ(beat.pool, "line");
    EXPECT_EQ(beat.leaseLeft, 0);
    EXPECT_EQ(beat.lanes[0].port, "A");
    EXPECT_EQ(beat.lanes[0].state, "idle");
    EXPECT_EQ(beat.lanes[0].lastOutcome, "success");
    EXPECT_EQ(beat.lanes[1].lastOutcome, "serial_number_error");
    EXPECT_EQ(ledger.Stop(), 0) << "everything reached the record";
    beat = seen().front();
    EXPECT_TRUE(beat.stoppedAt.isValid());
    EXPECT_FALSE(beat.online);

    const std::vector<HistoryRow> rows = record->History({});
    ASSERT_EQ(rows.size(), 3u);
    QMap<QString, QString> states;  // port → "outcome state confirmed"
    for (const HistoryRow& row : rows) {
        ASSERT_TRUE(row.ending) << row.start.port.toStdString();
        EXPECT_EQ(row.start.packageSha256, kSha);
        EXPECT_EQ(row.start.pool, "line");
        states[row.start.port] = QStringLiteral("%1 %2 %3")
                                     .arg(row.ending->outcome, row.numberState,
                                          row.ending->serialNumberConfirmed ? "1" : "0");
        const int port = row.start.port == "A" ? 0 : row.start.port == "B" ? 1 : 2;
        EXPECT_EQ(row.serialNumber, station.Results()[port][0].serialNumber);
    }
    EXPECT_EQ(states["A"], "success confirmed 1");
    EXPECT_EQ(states["B"], "serial_number_error failed 0");
    EXPECT_EQ(states["C"], "serial_number_error failed 0");
    const PoolStatus status = record->Pools("line").front();
    EXPECT_EQ(status.confirmed, 1);
    EXPECT_EQ(status.failed, 2);
    EXPECT_EQ(status.leased, 0);
    EXPECT_EQ(status.free, 0);

    // The pool is used up: the next station's run is refused before it starts, loop or not.
    StationLedger next(*record, store, Starts("line", {"D"}), "line", {3, 3, 3600}, ledgerClock_);
    next.Start();
    ASSERT_TRUE(WaitFor(next, [&](const RecordState&) {
        QString why;
        return !next.Numbers().Reserve(why) && !next.Numbers().Later();
    }));
    EXPECT_EQ(OneUnit(next, "D").started, false);
    EXPECT_EQ(record->History({}).size(), 3u) << "a refused run writes no row";
}

// A station updated from a version that kept endings in a journal: the first start moves
// them into the store, which sends them; nothing is lost in the change.
TEST_F(LedgerRun, EndingsAnOlderVersionJournaledAreSentFromTheStore) {
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + dir_.filePath("r.sqlite"), url, error));
    auto record = Record::Open(url);
    const QString open = record->BeginRun(Starts({}, {"A"}).front());
    const QString log = dir_.filePath("log.txt");
    {
        QFile journal(RecordJournalPath(log));
        ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
        const QJsonObject end{{"op", "end"},
                              {"record", url.Identity()},
                              {"id", open},
                              {"ended_at", "2026-12-09T19:30:05.120Z"},
                              {"outcome", "success"},
                              {"outcome_text", "Обновление успешно завершено!"},
                              {"duration_ms", "9000"},
                              {"pages_sent", kPages},
                              {"serial_number", ""},
                              {"serial_confirmed", false}};
        journal.write(QJsonDocument(end).toJson(QJsonDocument::Compact) + "\n");
    }
    StationLedger ledger(*record, StationStorePath(log), Starts({}, {"A"}), {}, {}, ledgerClock_);
    ledger.Start();
    ASSERT_TRUE(WaitFor(ledger, [](const RecordState& s) { return s.waiting == 0; }));
    EXPECT_EQ(ledger.Stop(), 0);
    const std::vector<HistoryRow> rows = record->History({});
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].ending);
    EXPECT_EQ(rows[0].ending->outcome, "success");
    EXPECT_EQ(rows[0].ending->durationMs, 9000u);
    QFile left(RecordJournalPath(log));
    EXPECT_TRUE(!left.open(QIODevice::ReadOnly) || left.readAll().trimmed().isEmpty())
        << "the journal holds nothing any more";
}

TEST_F(LedgerRun, WhileTheRecordIsAwayUnitsAreNumberedFromTheLeaseAndTheirRowsFollow) {
    auto started = StartThroughRelay({10, 2, 3600});
    if (!started)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    auto& [record, pool, port, owned] = *started;
    StationLedger& ledger = *owned;

    relay_->SetMode(TcpRelay::Mode::Cut);
    QSet<QString> numbers;
    for (int unit = 0; unit < 4; ++unit) {
        const RunResult r = OneUnit(ledger, port);
        EXPECT_TRUE(r.succeeded) << Joined(events_.Of(0));
        EXPECT_TRUE(r.serialNumberConfirmed);
        numbers.insert(r.serialNumber);
    }
    EXPECT_EQ(numbers.size(), 4) << "four units, four numbers";
    ASSERT_TRUE(WaitFor(ledger, [](const RecordState& s) { return !s.connected; }));
    const RecordState away = ledger.State();
    EXPECT_GT(away.waiting, 0);
    EXPECT_EQ(away.leasedLeft, 6);
    EXPECT_TRUE(away.awaySince.isValid());

    relay_->SetMode(TcpRelay::Mode::Forward);
    ASSERT_TRUE(WaitFor(ledger, [](const RecordState& s) {
        return s.connected && s.waiting == 0 && s.leasedLeft >= 6;
    }));
    HistoryFilter mine;
    mine.port = port;
    const std::vector<HistoryRow> rows = record->History(mine);
    ASSERT_EQ(rows.size(), 4u);
    for (const HistoryRow& row : rows) {
        ASSERT_TRUE(row.ending);
        EXPECT_EQ(row.ending->outcome, "success");
        EXPECT_TRUE(numbers.contains(row.serialNumber)) << row.serialNumber.toStdString();
        EXPECT_EQ(row.numberState, "confirmed");
    }
    EXPECT_EQ(record->Pools(pool).front().confirmed, 4);

    // A clean stop gives back what was leased and not given.
    EXPECT_EQ(ledger.Stop(), 0);
    const PoolStatus after = record->Pools(pool).front();
    EXPECT_EQ(after.leased, 0);
    EXPECT_EQ(after.confirmed, 4);
    EXPECT_TRUE(record->Leases(pool).empty());
    EXPECT_FALSE(numbers.contains(after.next)) << "the next number is one never given";
}

TEST_F(LedgerRun, ALeaseUsedUpWhileTheRecordIsAwayHoldsTheLaneUntilNumbersCome) {
    auto started = StartThroughRelay({1, 1, 3600});
    if (!started)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    auto& [record, pool, port, owned] = *started;
    StationLedger& ledger = *owned;
    relay_->SetMode(TcpRelay::Mode::Cut);
    const RunResult firstUnit = OneUnit(ledger, port);
    ASSERT_TRUE(firstUnit.succeeded);

    // The next unit is in place; its lane waits for a number, says why, and goes on by itself.
    StationOptions options = NextUnit(ledger);
    options.repeat = true;
    options.heldRetryMs = 500;
    Station station({fixture_[0]->Port(port)}, options, events_);
    events_.onState = [&](int, PortState state) {
        if (state == PortState::Held)
            relay_->SetMode(TcpRelay::Mode::Forward);
    };
    events_.onEnded = [&](int, const RunResult&) { station.Stop(); };
    std::atomic<bool> running{true};
    std::thread mover([&] {
        // The keeper's backoff passes on its own clock.
        while (running) {
            ledgerClock_.Advance(kClockStepMs);
            ledger.Recheck();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    station.Run();
    running = false;
    mover.join();

    const std::vector<std::string> lane = events_.Of(0);
    const auto held = std::find_if(lane.begin(), lane.end(), [](const std::string& line) {
        return line.rfind("held ", 0) == 0;
    });
    ASSERT_NE(held, lane.end()) << Joined(lane);
    EXPECT_NE(held->find("away"), std::string::npos) << *held;
    ASSERT_EQ(station.Results()[0].size(), 1u) << Joined(lane);
    const RunResult second = station.Results()[0][0];
    EXPECT_TRUE(second.succeeded) << Joined(lane);
    EXPECT_FALSE(second.serialNumber.isEmpty());
    EXPECT_NE(second.serialNumber, firstUnit.serialNumber);
    EXPECT_EQ(std::count_if(lane.begin(), lane.end(),
                            [](const std::string& l) { return l.rfind("held ", 0) == 0; }),
              1)
        << "said once: " << Joined(lane);
}

TEST_F(LedgerRun, ALeasePastItsLifetimeIsNotUsedWhileTheRecordIsAway) {
    const int64_t lifetimeS = 2 * 3600;
    auto started = StartThroughRelay({5, 1, lifetimeS});
    if (!started)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    auto& [record, pool, port, owned] = *started;
    StationLedger& ledger = *owned;
    relay_->SetMode(TcpRelay::Mode::Cut);
    const QString leased = ledger.NextNumber();
    ASSERT_FALSE(leased.isEmpty());

    // Just inside its time the lease still gives; past it, nothing does.
    ledgerClock_.Advance(static_cast<uint64_t>(lifetimeS - kLeaseMarginS) * 1000 - 1000);
    QString why;
    EXPECT_TRUE(ledger.Numbers().Reserve(why));
    ledger.Numbers().Release();
    ledgerClock_.Advance(1000);
    EXPECT_FALSE(ledger.Numbers().Reserve(why));
    EXPECT_TRUE(ledger.Numbers().Later()) << "numbers come again with the record";
    EXPECT_EQ(ledger.State().leasedLeft, 0);
    EXPECT_TRUE(ledger.NextNumber().isEmpty());
    // A unit put in now waits, and is not updated: stopped while it waits.
    const StationOptions options = NextUnit(ledger);
    Station station({fixture_[0]->Port(port)}, options, events_);
    events_.onState = [&](int, PortState state) {
        if (state == PortState::Held)
            station.Stop();
    };
    station.Run();
    EXPECT_TRUE(station.Results()[0].empty() || !station.Results()[0][0].started)
        << Joined(events_.Of(0));
    EXPECT_EQ(fixture_[0]->line.Report().startUpdateRequests, 0u) << "no number, no update";
    events_.onState = nullptr;

    relay_->SetMode(TcpRelay::Mode::Forward);
    ASSERT_TRUE(WaitFor(ledger, [](const RecordState& s) {
        return s.connected && s.waiting == 0 && s.leasedLeft == 5;
    }));
    EXPECT_EQ(ledger.Stop(), 0);
    const PoolStatus status = record->Pools(pool).front();
    EXPECT_EQ(status.sent + status.confirmed + status.failed, 0) << "no number was given";
    EXPECT_EQ(status.leased, 0);
}

}  // namespace

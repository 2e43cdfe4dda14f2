// The station's own store and its sender: writers killed with SIGKILL in the middle of their
// appends, entries forwarded twice to a real record (SQLite and the test command's PostgreSQL
// server), the line to the server cut while entries wait and the sender backs off in virtual
// time, an entry the record refuses, and files that are no store.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUuid>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "Clock.h"
#include "Database.h"
#include "LocalStore.h"
#include "PgTestRecord.h"
#include "Record.h"
#include "Sender.h"
#include "TcpRelay.h"

namespace {

using namespace kvr::record;
using kvr::test::TcpRelay;

// Only a guard against a hang: no result depends on it.
constexpr int kHangGuardMs = 30000;
constexpr int kWriters = 2;
constexpr int kReportedBeforeKill = 150;
constexpr int kFillerChars = 300;
const QString kRecordKey = QStringLiteral("postgresql://line@db/production");

// Time that moves only when the test moves it.
class VirtualClock final : public kvr::IClock {
public:
    void SleepMs(uint32_t ms) override { now_ += ms; }
    uint64_t TickMs() override { return now_; }
    QDateTime LocalNow() override { return At(now_); }
    void Set(uint64_t ms) { now_ = ms; }
    static QDateTime At(uint64_t ms) {
        return QDateTime(QDate(2026, 12, 9), QTime(8, 0), QTimeZone::utc())
            .addMSecs(static_cast<qint64>(ms));
    }

private:
    std::atomic<uint64_t> now_{0};
};

// The sender's status as it reports it, and a wait for a state of it.
class Watch {
public:
    Sender::Changed Callback() {
        return [this](const SenderStatus& s) {
            {
                const std::lock_guard lock(mutex_);
                last_ = s;
            }
            changed_.notify_all();
        };
    }
    SenderStatus WaitFor(const std::function<bool(const SenderStatus&)>& done) {
        std::unique_lock lock(mutex_);
        const bool reached = changed_.wait_for(lock, std::chrono::milliseconds(kHangGuardMs),
                                               [&] { return done(last_); });
        EXPECT_TRUE(reached) << "the sender hung; last error: " << last_.lastError.toStdString();
        return last_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    SenderStatus last_;
};

QByteArray Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString Filler(int i) {
    return QString(kFillerChars, QChar(u'a' + i % 26));
}

QString Unique() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A run's start as a station would write it.
RunStart Start(const QString& port) {
    RunStart s;
    s.station = QStringLiteral("bench-1");
    s.port = port;
    s.packageName = QStringLiteral("kvr17-1.2.0.3.bsk");
    s.packageSha256 = QString(64, u'a');
    s.pageCount = 16;
    s.hardwareVersions = QStringLiteral("17.2.1");
    s.programVersions = QStringLiteral("1.2.0.3");
    s.technology = true;
    s.hardware = QStringLiteral("3");
    return s;
}

// A number of its own, above every pool the other tests make on the shared server.
QString FreeNumber() {
    return QString::number(900000000000LL + QUuid::createUuid().data1 % 99999999999LL);
}

struct StationRun {
    QString id;
    QString number;
    bool confirmed = false;
    QDateTime endedAt;
};

// Appends a whole run: begin, give, end, settle_run. Returns the seqs in order.
std::vector<int64_t> AppendRun(LocalStore& store, const StationRun& run) {
    const QDateTime started(QDate(2026, 12, 9), QTime(9, 0), QTimeZone::utc());
    RunEnding e;
    e.outcome = run.confirmed ? QStringLiteral("success") : QStringLiteral("serial_number_error");
    e.outcomeText = QStringLiteral("Обновление успешно завершено!");
    e.durationMs = 7200;
    e.pagesSent = 16;
    e.serialNumber = run.number;
    e.serialNumberConfirmed = run.confirmed;
    return {
        store.Append(kRecordKey, "begin", Record::BeginPayload(run.id, started, Start("A"))),
        store.Append(kRecordKey, "give",
                     {{"number", run.number}, {"id", run.id}, {"renumber", false}}),
        store.Append(kRecordKey, "end", Record::EndPayload(run.id, run.endedAt, e)),
        store.Append(
            kRecordKey, "settle_run",
            {{"id", run.id}, {"confirmed", run.confirmed}, {"at", StampText(run.endedAt)}}),
    };
}

std::unique_ptr<Database> OpenDirect(const RecordUrl& url) {
    return url.kind == RecordUrl::Kind::Sqlite ? OpenSqlite(url.path)
                                               : OpenPostgres(url.ConnInfo());
}

QString One(Database& db, const QString& sql, const QString& key) {
    const Rows rows = db.Exec(sql, {key});
    return rows.empty() ? QStringLiteral("<none>") : rows[0][0].value_or(QStringLiteral("<null>"));
}

// Forked writers, killed and reaped however the test ends.
struct Writers {
    std::vector<pid_t> pids;
    ~Writers() {
        for (pid_t pid : pids) {
            if (pid <= 0)
                continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Forks a process that appends entries to the store at `path` without end and writes each
// returned seq to the pipe, until it is killed.
pid_t StartWriter(const QString& path, int writer, int pipeOut) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    try {
        auto store = LocalStore::Open(path);
        for (int i = 0;; ++i) {
            const int64_t seq =
                store->Append(kRecordKey, QStringLiteral("end"),
                              {{"writer", writer}, {"i", i}, {"filler", Filler(i)}});
            // One write of 8 bytes to a pipe is never split.
            if (write(pipeOut, &seq, sizeof seq) != static_cast<ssize_t>(sizeof seq))
                _exit(2);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "writer %d: %s\n", writer, e.what());
    }
    _exit(3);
}

TEST(LocalStore, WritersKilledInTheMiddleOfAppendingLoseNoReturnedEntryAndTearNone) {
    QTemporaryDir dir;
    const QString path = dir.filePath("station-store.sqlite");
    LocalStore::Open(path);  // made once, so that the writers race on entries only

    Writers writers;
    int pipes[kWriters][2];
    for (int w = 0; w < kWriters; ++w) {
        ASSERT_EQ(pipe(pipes[w]), 0);
        writers.pids.push_back(StartWriter(path, w, pipes[w][1]));
        ASSERT_GT(writers.pids.back(), 0);
        close(pipes[w][1]);
    }
    const std::vector<pid_t> pids = writers.pids;
    std::vector<int64_t> reported[kWriters];
    auto readFrom = [&](int w) {
        int64_t seq = 0;
        const ssize_t got = read(pipes[w][0], &seq, sizeof seq);
        if (got == static_cast<ssize_t>(sizeof seq))
            reported[w].push_back(seq);
        return got > 0;
    };
    // Both write at once; they are killed while they still append.
    for (;;) {
        if (reported[0].size() >= kReportedBeforeKill && reported[1].size() >= kReportedBeforeKill)
            break;
        pollfd fds[kWriters] = {{pipes[0][0], POLLIN, 0}, {pipes[1][0], POLLIN, 0}};
        ASSERT_GT(poll(fds, kWriters, kHangGuardMs), 0) << "the writers stopped";
        for (int w = 0; w < kWriters; ++w) {
            if (fds[w].revents != 0) {
                ASSERT_TRUE(readFrom(w)) << "writer " << w << " ended by itself";
            }
        }
    }
    for (int w = 0; w < kWriters; ++w)
        kill(pids[w], SIGKILL);
    for (int w = 0; w < kWriters; ++w) {
        int status = 0;
        ASSERT_EQ(waitpid(pids[w], &status, 0), pids[w]);
        writers.pids[w] = -1;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "killed, not ended";
        while (readFrom(w)) {
        }
        close(pipes[w][0]);
    }

    auto store = LocalStore::Open(path);
    const std::vector<StoreEntry> all = store->Pending(kRecordKey, 1000000);
    EXPECT_EQ(store->Count(kRecordKey), static_cast<int64_t>(all.size()));
    QMap<int64_t, StoreEntry> bySeq;
    for (const StoreEntry& e : all)
        bySeq.insert(e.seq, e);
    for (int w = 0; w < kWriters; ++w) {
        int missing = 0;
        for (int64_t seq : reported[w])
            missing += bySeq.contains(seq) ? 0 : 1;
        EXPECT_EQ(missing, 0) << "entries whose Append had returned are gone";
        std::printf("writer %d: %zu appends returned before SIGKILL\n", w, reported[w].size());
    }
    // Nothing torn: each writer's entries are its first n, whole and in seq order; at most one
    // more than it reported (committed, killed before it wrote the seq).
    for (int w = 0; w < kWriters; ++w) {
        int n = 0;
        int64_t lastSeq = 0;
        for (const StoreEntry& e : all) {
            if (e.payload.value("writer").toInt() != w)
                continue;
            EXPECT_EQ(e.payload.value("i").toInt(), n) << "a hole or a repeat";
            EXPECT_EQ(e.payload.value("filler").toString(), Filler(n)) << "a torn entry";
            EXPECT_GT(e.seq, lastSeq);
            EXPECT_EQ(e.kind, "end");
            lastSeq = e.seq;
            ++n;
        }
        EXPECT_GE(n, static_cast<int>(reported[w].size()));
        EXPECT_LE(n, static_cast<int>(reported[w].size()) + 1);
    }
    // And the store goes on.
    EXPECT_GT(store->Append(kRecordKey, "end", {}), all.back().seq);
}

TEST(LocalStore, AFileThatIsNoStoreIsRefusedByNameAndLeftAsItWas) {
    QTemporaryDir dir;
    auto expectRefused = [](const QString& path, const char* why) {
        const QByteArray before = Bytes(path);
        try {
            LocalStore::Open(path);
            ADD_FAILURE() << "opened " << why;
        } catch (const RecordError& e) {
            EXPECT_FALSE(e.Unreachable()) << why;
            EXPECT_TRUE(e.Text().contains(path)) << "the file is named: " << e.what();
            std::printf("%s: %s\n", why, e.what());
        }
        EXPECT_EQ(Bytes(path), before) << why << ": the file was changed";
        EXPECT_FALSE(QFile::exists(path + "-wal")) << why;
    };

    const QString text = dir.filePath("notes.txt");
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("S/N 000101 went to line 2\n");
    f.close();
    expectRefused(text, "a text file");

    // A store whose pages were overwritten.
    const QString damaged = dir.filePath("damaged.sqlite");
    {
        auto store = LocalStore::Open(damaged);
        for (int i = 0; i < 100; ++i)
            store->Append(kRecordKey, "end", {{"i", i}, {"filler", Filler(i)}});
    }
    const QByteArray whole = Bytes(damaged);
    ASSERT_GT(whole.size(), 4 * 4096) << "the entries span pages";
    f.setFileName(damaged);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    // A page of entries, which opening the store alone would never read.
    f.seek(whole.size() - 2 * 4096);
    f.write(QByteArray(4096, '\x5a'));
    f.close();
    expectRefused(damaged, "a damaged store");

    // A store of a newer version.
    const QString newer = dir.filePath("newer.sqlite");
    LocalStore::Open(newer)->Append(kRecordKey, "end", {});
    OpenSqlite(newer)->Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'");
    expectRefused(newer, "a newer store");
    try {
        LocalStore::Open(newer);
    } catch (const RecordError& e) {
        EXPECT_TRUE(e.Text().contains("newer")) << e.what();
    }
}

class Forwarding : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        const QString text = kvr::test::EngineRecordText(GetParam(), dir_.path());
        if (text.isEmpty())
            GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
        QString error;
        ASSERT_TRUE(ParseRecordUrl(text, url_, error)) << error.toStdString();
        record_ = Record::Open(url_);
        store_ = LocalStore::Open(dir_.filePath("station-store.sqlite"));
    }

    // Forwards the store through ApplyForwarded until it holds nothing; the seqs applied.
    std::vector<int64_t> ForwardAll() {
        std::vector<int64_t> applied;
        Watch watch;
        Sender sender(
            *store_, kRecordKey,
            [&](const StoreEntry& e) {
                applied.push_back(e.seq);
                record_->ApplyForwarded(e.kind, e.payload);
            },
            clock_, {}, watch.Callback());
        sender.Start();
        watch.WaitFor([](const SenderStatus& now) {
            return now.pending == 0 && now.failures == 0 && now.nextAttemptMs > 0;
        });
        sender.Stop();
        return applied;
    }

    QTemporaryDir dir_;
    RecordUrl url_;
    std::unique_ptr<Record> record_;
    std::unique_ptr<LocalStore> store_;
    VirtualClock clock_;
};

TEST_P(Forwarding, TheWholeStoreForwardedTwiceInOrderLeavesOneRowPerRunAndItsEnd) {
    const QDateTime ended(QDate(2026, 12, 9), QTime(9, 1, 2, 345), QTimeZone::utc());
    std::vector<StationRun> runs;
    std::vector<int64_t> appended;
    for (int i = 0; i < 4; ++i) {
        runs.push_back({Unique(), FreeNumber(), i % 2 == 0, ended.addSecs(i)});
        for (int64_t seq : AppendRun(*store_, runs.back()))
            appended.push_back(seq);
    }
    EXPECT_EQ(ForwardAll(), appended) << "every entry once, in seq order";
    EXPECT_EQ(store_->Count(kRecordKey), 0);

    // The same entries again, as a store restored from a copy or a sender that crashed before
    // its removals would send them.
    std::vector<int64_t> again;
    for (const StationRun& run : runs) {
        for (int64_t seq : AppendRun(*store_, run))
            again.push_back(seq);
    }
    EXPECT_EQ(ForwardAll(), again);
    EXPECT_EQ(store_->Count(kRecordKey), 0);
    EXPECT_TRUE(store_->Dead(kRecordKey).empty()) << "nothing refused";

    auto db = OpenDirect(url_);
    for (const StationRun& run : runs) {
        EXPECT_EQ(One(*db, "SELECT count(*) FROM runs WHERE id = $1", run.id), "1");
        EXPECT_EQ(One(*db, "SELECT count(*) FROM given_numbers WHERE run_id = $1", run.id), "1");
        EXPECT_EQ(One(*db, "SELECT outcome FROM runs WHERE id = $1", run.id),
                  run.confirmed ? "success" : "serial_number_error");
        EXPECT_EQ(One(*db, "SELECT ended_at FROM runs WHERE id = $1", run.id),
                  StampText(run.endedAt));
        EXPECT_EQ(One(*db, "SELECT serial_number FROM runs WHERE id = $1", run.id), run.number);
        EXPECT_EQ(One(*db, "SELECT state FROM given_numbers WHERE run_id = $1", run.id),
                  run.confirmed ? "confirmed" : "failed");
        EXPECT_EQ(One(*db, "SELECT renumbered FROM runs WHERE id = $1", run.id), "0")
            << "a give forwarded twice is no renumbering";
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Forwarding, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& param) { return std::string(param.param); });

TEST(Sender, AnEntryTheRecordCannotTakeHoldsBackEveryEntryAfterIt) {
    QTemporaryDir dir;
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + dir.filePath("records.sqlite"), url, error));
    auto record = Record::Open(url);
    auto store = LocalStore::Open(dir.filePath("station-store.sqlite"));
    const QDateTime at(QDate(2026, 12, 9), QTime(9, 0), QTimeZone::utc());
    RunEnding done;
    done.outcome = "success";
    const QString a = Unique(), b = Unique();
    const std::vector<int64_t> seqs = {
        store->Append(kRecordKey, "begin", Record::BeginPayload(a, at, Start("A"))),
        store->Append(kRecordKey, "end", Record::EndPayload(a, at, done)),
        store->Append(kRecordKey, "begin", Record::BeginPayload(b, at, Start("B"))),
        store->Append(kRecordKey, "end", Record::EndPayload(b, at, done)),
    };

    // B's begin finds the record away once.
    bool awayOnce = true;
    std::vector<int64_t> applied;
    VirtualClock clock;
    Watch watch;
    Sender sender(
        *store, kRecordKey,
        [&](const StoreEntry& e) {
            applied.push_back(e.seq);
            if (e.seq == seqs[2] && std::exchange(awayOnce, false))
                throw RecordError("the record is away", true);
            record->ApplyForwarded(e.kind, e.payload);
        },
        clock, {}, watch.Callback());
    sender.Start();
    watch.WaitFor([](const SenderStatus& now) { return now.failedAttempts == 1; });
    EXPECT_EQ(applied, (std::vector<int64_t>{seqs[0], seqs[1], seqs[2]}))
        << "B's end was tried before its begin";
    EXPECT_EQ(store->Count(kRecordKey), 2);
    auto db = OpenSqlite(url.path);
    EXPECT_EQ(One(*db, "SELECT outcome FROM runs WHERE id = $1", a), "success");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM runs WHERE id = $1", b), "0");

    sender.Wake();
    watch.WaitFor([](const SenderStatus& now) { return now.pending == 0 && now.failures == 0; });
    sender.Stop();
    EXPECT_EQ(applied, (std::vector<int64_t>{seqs[0], seqs[1], seqs[2], seqs[2], seqs[3]}));
    EXPECT_EQ(One(*db, "SELECT outcome FROM runs WHERE id = $1", b), "success");
    EXPECT_EQ(store->Count(kRecordKey), 0);
}

TEST(Sender, AnEntryTheRecordRefusesGoesToTheDeadTableAndTheRestGoOn) {
    QTemporaryDir dir;
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + dir.filePath("records.sqlite"), url, error));
    auto record = Record::Open(url);
    const QString storePath = dir.filePath("station-store.sqlite");
    auto store = LocalStore::Open(storePath);
    const QDateTime at(QDate(2026, 12, 9), QTime(9, 0), QTimeZone::utc());
    RunEnding done;
    done.outcome = "success";
    const QString a = Unique(), b = Unique(), ghost = Unique();
    store->Append(kRecordKey, "begin", Record::BeginPayload(a, at, Start("A")));
    const int64_t poison = store->Append(kRecordKey, "end", Record::EndPayload(ghost, at, done));
    store->Append(kRecordKey, "end", Record::EndPayload(a, at, done));
    store->Append(kRecordKey, "begin", Record::BeginPayload(b, at, Start("B")));
    store->Append(kRecordKey, "end", Record::EndPayload(b, at, done));

    std::vector<int64_t> told;
    VirtualClock clock;
    Watch watch;
    Sender sender(
        *store, kRecordKey, [&](const StoreEntry& e) { record->ApplyForwarded(e.kind, e.payload); },
        clock, [&](const StoreEntry& e, const QString&) { told.push_back(e.seq); },
        watch.Callback());
    sender.Start();
    const SenderStatus s = watch.WaitFor(
        [](const SenderStatus& now) { return now.pending == 0 && now.nextAttemptMs > 0; });
    sender.Stop();

    EXPECT_EQ(told, std::vector<int64_t>{poison});
    EXPECT_EQ(s.dead, 1);
    EXPECT_EQ(s.sentSinceBack, 4);
    EXPECT_EQ(store->Count(kRecordKey), 0);
    auto db = OpenSqlite(url.path);
    EXPECT_EQ(One(*db, "SELECT count(*) FROM runs WHERE outcome = $1", "success"), "2");
    // Where a person reads it, with the sqlite3 shell as well.
    auto raw = OpenSqlite(storePath);
    const Rows dead = raw->Exec("SELECT seq, kind, payload, reason FROM dead");
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0][0], QString::number(poison));
    EXPECT_EQ(dead[0][1], "end");
    EXPECT_TRUE(dead[0][2].value_or("").contains(ghost));
    EXPECT_TRUE(dead[0][3].value_or("").contains(ghost)) << dead[0][3].value_or("").toStdString();
}

TEST(Sender, WhileTheRecordIsAwayItBacksOffToTheCapAndForwardsEverythingOnItsReturn) {
    const std::optional<RecordUrl> server = kvr::test::PgTestRecordUrl();
    if (!server)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    const RecordUrl& url = *server;
    QTemporaryDir dir;
    // The record is reached through a relay, which cuts the line while entries wait.
    std::unique_ptr<TcpRelay> cut;
    const RecordUrl through = kvr::test::ThroughRelay(url, cut, dir.path());
    TcpRelay& relay = *cut;
    auto record = Record::Open(through);
    auto store = LocalStore::Open(dir.filePath("station-store.sqlite"));

    VirtualClock clock;
    Watch watch;
    std::vector<uint64_t> attempts;  // the clock at each entry tried while away
    std::atomic<bool> away{false};
    Sender sender(
        *store, kRecordKey,
        [&](const StoreEntry& e) {
            if (away)
                attempts.push_back(clock.TickMs());
            record->ApplyForwarded(e.kind, e.payload);
        },
        clock, {}, watch.Callback());
    sender.Start();
    watch.WaitFor([](const SenderStatus& now) { return now.nextAttemptMs > 0; });

    relay.SetMode(TcpRelay::Mode::Cut);
    away = true;
    std::vector<StationRun> runs;
    for (int i = 0; i < 3; ++i) {
        runs.push_back({Unique(), FreeNumber(), true,
                        QDateTime(QDate(2026, 12, 9), QTime(10, i), QTimeZone::utc())});
        AppendRun(*store, runs.back());
    }
    const int64_t entries = store->Count(kRecordKey);
    sender.Wake();

    // Each wait runs out in virtual time; the gaps between tries double up to the cap.
    const int tries = 9;
    SenderStatus s;
    for (int k = 1; k <= tries; ++k) {
        s = watch.WaitFor([&](const SenderStatus& now) {
            return now.failedAttempts == static_cast<uint64_t>(k);
        });
        if (k < tries) {
            clock.Set(s.nextAttemptMs);
            sender.Recheck();
        }
    }
    ASSERT_EQ(attempts.size(), static_cast<size_t>(tries));
    std::vector<uint64_t> gaps, expected;
    uint64_t backoff = kFirstRetryMs;
    for (size_t i = 1; i < attempts.size(); ++i) {
        gaps.push_back(attempts[i] - attempts[i - 1]);
        expected.push_back(backoff);
        backoff = std::min(backoff * 2, kMaxRetryMs);
    }
    EXPECT_EQ(gaps, expected);
    EXPECT_EQ(gaps.back(), kMaxRetryMs);
    EXPECT_EQ(s.pending, entries) << "everything waits in the store";
    EXPECT_EQ(s.awaySince, VirtualClock::At(attempts.front())) << "from the first failure";
    EXPECT_FALSE(s.lastError.isEmpty());

    // An append wakes it at once, without resetting the backoff.
    store->Append(kRecordKey, "settle_run",
                  {{"id", runs[0].id}, {"confirmed", true}, {"at", StampText(clock.LocalNow())}});
    sender.Wake();
    s = watch.WaitFor([&](const SenderStatus& now) {
        return now.failedAttempts == static_cast<uint64_t>(tries + 1);
    });
    EXPECT_EQ(attempts.back(), attempts[tries - 1]) << "tried at once";
    EXPECT_EQ(s.nextAttemptMs - attempts.back(), kMaxRetryMs);

    relay.SetMode(TcpRelay::Mode::Forward);
    sender.Wake();
    s = watch.WaitFor(
        [](const SenderStatus& now) { return now.pending == 0 && now.failures == 0; });
    sender.Stop();
    EXPECT_EQ(store->Count(kRecordKey), 0);
    EXPECT_FALSE(s.awaySince.isValid());
    EXPECT_EQ(s.sentSinceBack, entries + 1);
    EXPECT_TRUE(s.lastSuccess.isValid());

    auto db = OpenPostgres(url.ConnInfo());
    int rows = 0, ended = 0;
    for (const StationRun& run : runs) {
        rows += One(*db, "SELECT count(*) FROM runs WHERE id = $1", run.id).toInt();
        ended +=
            One(*db, "SELECT count(*) FROM runs WHERE id = $1 AND ended_at IS NOT NULL", run.id)
                .toInt();
    }
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(ended, 3);
}

// A station with nothing to send learns from its heartbeat that its record went away, backs
// off as for its rows, and is back with the first heartbeat the record takes.
TEST(Sender, AnIdleStationsHeartbeatTellsTheRecordAwayAndBack) {
    const std::optional<RecordUrl> server = kvr::test::PgTestRecordUrl();
    if (!server)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    const RecordUrl& url = *server;
    QTemporaryDir dir;
    std::unique_ptr<TcpRelay> cut;
    const RecordUrl through = kvr::test::ThroughRelay(url, cut, dir.path());
    TcpRelay& relay = *cut;
    auto record = Record::Open(through);
    auto store = LocalStore::Open(dir.filePath("station-store.sqlite"));

    const QString holder = Unique();
    StationBeat beat;
    beat.holder = holder;
    beat.station = QStringLiteral("idle-station");
    beat.startedAt = QDateTime::currentDateTimeUtc();
    std::atomic<int> beats{0};
    VirtualClock clock;
    Watch watch;
    Sender sender(
        *store, kRecordKey, [&](const StoreEntry&) {}, clock, {}, watch.Callback());
    sender.SetBeat([&](bool last) {
        if (last) {
            record->ApplyForwarded("stopped", {{"holder", holder},
                                               {"at", StampText(QDateTime::currentDateTimeUtc())}});
            return;
        }
        ++beats;
        record->Beat(beat);
    });
    sender.Start();
    watch.WaitFor([](const SenderStatus& now) { return now.nextAttemptMs > 0; });
    ASSERT_EQ(beats.load(), 1);

    relay.SetMode(TcpRelay::Mode::Cut);
    clock.Set(clock.TickMs() + kBeatIntervalMs);
    sender.Recheck();
    SenderStatus s = watch.WaitFor([](const SenderStatus& now) { return now.failures == 1; });
    EXPECT_TRUE(s.awaySince.isValid());
    EXPECT_EQ(s.nextAttemptMs - clock.TickMs(), kFirstRetryMs);
    // Tried again after the backoff, not a whole beat later.
    clock.Set(s.nextAttemptMs);
    sender.Recheck();
    s = watch.WaitFor([](const SenderStatus& now) { return now.failures == 2; });
    EXPECT_EQ(beats.load(), 3);

    relay.SetMode(TcpRelay::Mode::Forward);
    clock.Set(s.nextAttemptMs);
    sender.Recheck();
    s = watch.WaitFor([](const SenderStatus& now) { return !now.awaySince.isValid(); });
    EXPECT_EQ(s.failures, 0);
    EXPECT_EQ(beats.load(), 4);
    sender.Stop();
    auto db = OpenPostgres(url.ConnInfo());
    EXPECT_EQ(One(*db, "SELECT stopped_at IS NOT NULL FROM stations WHERE holder = $1", holder),
              QStringLiteral("t"))
        << "a clean stop after a heartbeat the record took ends the station's row";
}

}  // namespace

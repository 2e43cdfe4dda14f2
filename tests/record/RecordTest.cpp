// The record itself, on SQLite and on the test command's PostgreSQL server: serial numbers
// taken at once by several processes and threads, a pool's states from first to last number
// and the counts it keeps of them, a record written by a newer tool, a server whose defaults
// differ from what the pool relies on, a station frozen inside its take, and a SQLite COMMIT
// that fails.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#include "Database.h"
#include "PgTestRecord.h"
#include "Record.h"

namespace {

using namespace kvr::record;

constexpr int kProcesses = 2;
constexpr int kThreads = 2;
constexpr int kTakesEach = 500;
constexpr int kChildRefused = 1;
constexpr int kChildFailed = 3;

QString Padded(int64_t value, int width) {
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

// A pool of its own, also on a server that earlier tests' pools share.
QString NewPool(Record& record, int width, int64_t size, QString& first) {
    const QString name = QUuid::createUuid().toString(QUuid::Id128).left(12);
    const int64_t base = 1 + static_cast<int64_t>(QUuid::createUuid().data1 % 100000) * 100000;
    first = Padded(base, width);
    record.CreatePool(name, first, Padded(base + size - 1, width));
    return name;
}

std::unique_ptr<Database> OpenDirect(const RecordUrl& url) {
    return url.kind == RecordUrl::Kind::Sqlite ? OpenSqlite(url.path)
                                               : OpenPostgres(url.ConnInfo());
}

// A forked child, killed and reaped however the test ends.
struct Child {
    pid_t pid = -1;
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // The child's exit code; -1 when it did not exit by itself.
    int Wait() {
        int status = 0;
        const pid_t done = waitpid(pid, &status, 0);
        pid = -1;
        return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Several processes, each with its own connection and several threads, take numbers of one
// fresh pool at once: every take succeeds, no number is given twice and none is skipped.
void ExpectTakesAtOnceShareAndSkipNothing(const RecordUrl& url, const QString& dir) {
    QString first;
    const QString pool = NewPool(*Record::Open(url), 12, 100000, first);

    std::vector<Child> children(kProcesses);
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each process with its own connection, as two stations have.
            int rc = 0;
            try {
                auto record = Record::Open(url);
                std::vector<QStringList> taken(kThreads);
                std::vector<std::thread> threads;
                std::atomic<bool> failed{false};
                for (int t = 0; t < kThreads; ++t) {
                    threads.emplace_back([&, t] {
                        try {
                            for (int i = 0; i < kTakesEach; ++i)
                                taken[t]
                                    << record->TakeNumber(pool, QUuid::createUuid().toString());
                        } catch (const std::exception& e) {
                            std::fprintf(stderr, "child: %s\n", e.what());
                            failed = true;
                        }
                    });
                }
                for (auto& thread : threads)
                    thread.join();
                QFile out(dir + QStringLiteral("/taken-%1").arg(p));
                if (failed || !out.open(QIODevice::WriteOnly))
                    rc = kChildFailed;
                for (const QStringList& numbers : taken)
                    out.write(numbers.join('\n').toUtf8() + '\n');
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child: %s\n", e.what());
                rc = kChildFailed;
            }
            std::fflush(nullptr);
            _exit(rc);
        }
        children[static_cast<size_t>(p)].pid = child;
    }
    for (Child& child : children)
        ASSERT_EQ(child.Wait(), 0) << "a take failed";

    QSet<QString> all;
    int count = 0;
    for (int p = 0; p < kProcesses; ++p) {
        QFile in(dir + QStringLiteral("/taken-%1").arg(p));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        for (const QByteArray& line : in.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            ++count;
            all.insert(QString::fromUtf8(line));
        }
    }
    const int total = kProcesses * kThreads * kTakesEach;
    EXPECT_EQ(count, total);
    EXPECT_EQ(all.size(), total) << "a number was given twice";
    // None skipped: exactly the first `total` numbers, each with its state.
    for (int64_t i = 0; i < total; ++i) {
        const QString n = Padded(first.toLongLong() + i, 12);
        ASSERT_TRUE(all.contains(n)) << n.toStdString() << " was skipped";
    }
    const PoolStatus status = Record::Open(url)->Pools(pool).front();
    EXPECT_EQ(status.sent, total);
    EXPECT_EQ(status.next, Padded(first.toLongLong() + total, 12));
}

// The numbers of a pool counted afresh, by state.
QMap<QString, int64_t> Recount(Database& db, const QString& pool) {
    QMap<QString, int64_t> counts;
    for (const Row& row : db.Exec(
             QStringLiteral("SELECT state, count(*) FROM numbers WHERE pool = $1 GROUP BY state"),
             {pool}))
        counts[row[0].value_or(QString())] = row[1].value_or(QString()).toLongLong();
    return counts;
}

void ExpectCountsAgree(Record& record, Database& db, const QString& pool) {
    const PoolStatus s = record.Pools(pool).front();
    const QMap<QString, int64_t> counted = Recount(db, pool);
    EXPECT_EQ(s.sent, counted.value(QStringLiteral("sent")));
    EXPECT_EQ(s.confirmed, counted.value(QStringLiteral("confirmed")));
    EXPECT_EQ(s.failed, counted.value(QStringLiteral("failed")));
    EXPECT_EQ(s.voided, counted.value(QStringLiteral("void")));
    EXPECT_EQ(s.leased, counted.value(QStringLiteral("leased")));
    int64_t rows = 0;
    for (int64_t c : counted)
        rows += c;
    // A number given back from a lease is free again.
    EXPECT_EQ(s.free, s.last.toLongLong() - s.first.toLongLong() + 1 - rows +
                          counted.value(QStringLiteral("returned")));
}

// The test server's superuser, over the server's own socket (which trusts local users).
QString PgSuperuserConnInfo() {
    const QString dir = kvr::test::PgTestDir();
    QFile socketDir(dir + QStringLiteral("/server-dir"));
    QFile port(dir + QStringLiteral("/port"));
    if (dir.isEmpty() || !socketDir.open(QIODevice::ReadOnly) || !port.open(QIODevice::ReadOnly))
        return {};
    return QStringLiteral("host='%1' port=%2 user=postgres dbname=postgres")
        .arg(QString::fromUtf8(socketDir.readAll()).trimmed(),
             QString::fromUtf8(port.readAll()).trimmed());
}

// A database of its own on the test server, owned by the tests' role, whose sessions start
// with `defaults` (ALTER DATABASE … SET); dropped at the end.
class FreshPgDatabase {
public:
    explicit FreshPgDatabase(const QStringList& defaults) {
        QString error;
        const QString text = kvr::test::PgTestUrl();
        const QString super = PgSuperuserConnInfo();
        if (text.isEmpty() || super.isEmpty() || !ParseRecordUrl(text, url_, error))
            return;
        name_ = QStringLiteral("kvr_") + QUuid::createUuid().toString(QUuid::Id128).left(12);
        auto admin = OpenPostgres(super);
        admin->Exec(QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(name_, url_.user), {});
        for (const QString& setting : defaults)
            admin->Exec(QStringLiteral("ALTER DATABASE %1 SET %2").arg(name_, setting), {});
        url_.database = name_;
    }
    ~FreshPgDatabase() {
        if (!name_.isEmpty()) {
            try {
                OpenPostgres(PgSuperuserConnInfo())
                    ->Exec(QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(name_), {});
            } catch (const RecordError& e) {
                std::fprintf(stderr, "dropping %s: %s\n", qPrintable(name_), e.what());
            }
        }
    }
    bool Made() const { return !name_.isEmpty(); }
    const RecordUrl& Url() const { return url_; }

private:
    RecordUrl url_;
    QString name_;
};

QJsonObject SettleEntry(const QString& number, bool confirmed) {
    return {{QStringLiteral("number"), number},
            {QStringLiteral("confirmed"), confirmed},
            {QStringLiteral("at"), QStringLiteral("2026-12-09T19:30:05.120Z")}};
}

// Takes, settles, voids and settles forwarded from a station's store on one pool of `url`;
// returns the pool.
QString MixStates(const RecordUrl& url) {
    auto record = Record::Open(url);
    QString first;
    const QString pool = NewPool(*record, 8, 20, first);
    auto n = [&](int i) { return Padded(first.toLongLong() + i, 8); };

    record->VoidNumber(n(5), "ahead, never given");
    for (int i = 0; i < 8; ++i)
        record->TakeNumber(pool, QStringLiteral("run-%1-%2").arg(pool).arg(i));
    record->SettleNumber(n(0), true);
    record->SettleNumber(n(1), false);
    record->SettleNumber(n(2), true);
    record->SettleNumber(n(2), false);  // settled already: no change
    record->VoidNumber(n(3), "sent, then scrapped");
    record->VoidNumber(n(0), "confirmed, then scrapped");
    record->VoidNumber(n(5), "voided twice");
    record->VoidNumber(n(15), "far ahead");
    // Settles a station forwarded from its store, one of them twice; one of a number nobody
    // took is refused.
    for (const QJsonObject& entry : {SettleEntry(n(4), true), SettleEntry(n(4), true),
                                     SettleEntry(n(6), false), SettleEntry(n(3), true)})
        record->ApplyForwarded(QStringLiteral("settle"), entry);
    EXPECT_THROW(record->ApplyForwarded(QStringLiteral("settle"), SettleEntry(n(19), true)),
                 RecordError);
    return pool;
}

class RecordTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        const QString text = kvr::test::EngineRecordText(GetParam(), dir_.path());
        if (text.isEmpty())
            GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
        QString error;
        ASSERT_TRUE(ParseRecordUrl(text, url_, error)) << error.toStdString();
    }
    std::unique_ptr<Record> Open() const { return Record::Open(url_); }

    QTemporaryDir dir_;
    RecordUrl url_;
};

TEST_P(RecordTest, ProcessesAndThreadsTakingAtOnceNeverShareOrSkipANumber) {
    ExpectTakesAtOnceShareAndSkipNothing(url_, dir_.path());
}

TEST_P(RecordTest, APoolGoesFromFirstToLastAndEveryNumberKeepsItsState) {
    auto record = Open();
    QString first;
    const QString pool = NewPool(*record, 6, 5, first);
    const int64_t base = first.toLongLong();
    auto n = [&](int i) { return QStringLiteral("%1").arg(base + i, 6, 10, QLatin1Char('0')); };

    // Ranges that meet another pool's would give its numbers twice.
    EXPECT_THROW(record->CreatePool("other", n(4), n(9)), RecordError);
    EXPECT_THROW(record->CreatePool(pool, n(100), n(101)), RecordError);

    record->VoidNumber(n(1), "label printer jammed");  // never given
    const QString runA = QUuid::createUuid().toString();
    EXPECT_EQ(record->TakeNumber(pool, runA), n(0)) << "width of --first kept";
    EXPECT_EQ(record->TakeNumber(pool, runA), n(0)) << "one run, one number";
    EXPECT_EQ(record->TakeNumber(pool, "b"), n(2)) << "the voided number is skipped";
    EXPECT_EQ(record->TakeNumber(pool, "c"), n(3));
    EXPECT_EQ(record->TakeNumber(pool, "d"), n(4));
    EXPECT_EQ(record->TakeNumber(pool, "e"), QString()) << "used up";
    EXPECT_THROW(record->TakeNumber("no such pool", "f"), RecordError);

    record->SettleNumber(n(0), true);
    record->SettleNumber(n(2), false);
    record->SettleNumber(n(2), true);  // a late answer changes nothing once settled
    record->VoidNumber(n(3), "board scrapped");
    EXPECT_THROW(record->VoidNumber("999", "no pool of that width"), RecordError);

    const PoolStatus s = record->Pools(pool).front();
    EXPECT_EQ(s.first, n(0));
    EXPECT_EQ(s.last, n(4));
    EXPECT_TRUE(s.next.isEmpty());
    EXPECT_EQ(s.free, 0);
    EXPECT_EQ(s.confirmed, 1);
    EXPECT_EQ(s.failed, 1);
    EXPECT_EQ(s.sent, 1);
    EXPECT_EQ(s.voided, 2);
}

TEST_P(RecordTest, APoolsCountsAgreeWithItsNumbersAfterEveryKindOfChange) {
    const QString pool = MixStates(url_);
    auto record = Open();
    auto db = OpenDirect(url_);
    ExpectCountsAgree(*record, *db, pool);
    const PoolStatus s = record->Pools(pool).front();
    EXPECT_EQ(s.sent, 2);
    EXPECT_EQ(s.confirmed, 2);
    EXPECT_EQ(s.failed, 2);
    EXPECT_EQ(s.voided, 4);
    EXPECT_EQ(s.free, 10);
    EXPECT_EQ(s.next, Padded(s.first.toLongLong() + 9, 8));
}

// A record as the first released schema left it (its tables never change), with numbers in
// every state: opened now, it is upgraded through every later step and its pools' counts come
// from its numbers.
TEST_P(RecordTest, ARecordMadeBeforeTheCountsGetsThemFromItsNumbers) {
    std::unique_ptr<FreshPgDatabase> fresh;
    RecordUrl url = url_;
    if (url.kind == RecordUrl::Kind::Postgres) {
        fresh = std::make_unique<FreshPgDatabase>(QStringList());
        ASSERT_TRUE(fresh->Made());
        url = fresh->Url();
    }
    {
        auto db = OpenDirect(url);
        for (const char* statement : {
                 "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
                 "INSERT INTO meta (key, value) VALUES ('schema_version', '1')",
                 "CREATE TABLE runs (id TEXT PRIMARY KEY, station TEXT NOT NULL,"
                 " port TEXT NOT NULL, adapter TEXT, package_name TEXT NOT NULL,"
                 " package_sha256 TEXT NOT NULL, page_count INTEGER NOT NULL,"
                 " hardware_versions TEXT NOT NULL, program_versions TEXT NOT NULL,"
                 " technology INTEGER NOT NULL, boot_all INTEGER NOT NULL, hw TEXT, pool TEXT,"
                 " started_at TEXT NOT NULL, ended_at TEXT, duration_ms BIGINT, outcome TEXT,"
                 " outcome_text TEXT, pages_sent INTEGER, serial_number TEXT,"
                 " serial_confirmed INTEGER, log_path TEXT)",
                 "CREATE INDEX runs_serial_number ON runs (serial_number)",
                 "CREATE INDEX runs_started_at ON runs (started_at)",
                 "CREATE TABLE pools (name TEXT PRIMARY KEY, width INTEGER NOT NULL,"
                 " first_value BIGINT NOT NULL, last_value BIGINT NOT NULL,"
                 " next_value BIGINT NOT NULL, created_at TEXT NOT NULL)",
                 "CREATE TABLE numbers (pool TEXT NOT NULL REFERENCES pools (name),"
                 " value BIGINT NOT NULL, number TEXT NOT NULL UNIQUE, state TEXT NOT NULL,"
                 " run_id TEXT, taken_at TEXT NOT NULL, settled_at TEXT, reason TEXT,"
                 " PRIMARY KEY (pool, value))",
                 "CREATE INDEX numbers_run_id ON numbers (run_id)",
                 // Two pools: 101–120 with 8 taken, one voided ahead and one far ahead;
                 // 501–503 untouched.
                 "INSERT INTO pools VALUES ('line1', 6, 101, 120, 109, '2026-12-01T08:00:00Z'),"
                 " ('line2', 6, 501, 503, 501, '2026-12-01T08:00:00Z')",
                 "INSERT INTO numbers (pool, value, number, state, run_id, taken_at) VALUES"
                 " ('line1', 101, '000101', 'confirmed', 'a', '2026-12-01T08:01:00Z'),"
                 " ('line1', 102, '000102', 'failed', 'b', '2026-12-01T08:02:00Z'),"
                 " ('line1', 103, '000103', 'confirmed', 'c', '2026-12-01T08:03:00Z'),"
                 " ('line1', 104, '000104', 'void', 'd', '2026-12-01T08:04:00Z'),"
                 " ('line1', 105, '000105', 'void', NULL, '2026-12-01T08:00:30Z'),"
                 " ('line1', 106, '000106', 'sent', 'e', '2026-12-01T08:06:00Z'),"
                 " ('line1', 107, '000107', 'sent', 'f', '2026-12-01T08:07:00Z'),"
                 " ('line1', 108, '000108', 'confirmed', 'g', '2026-12-01T08:08:00Z'),"
                 " ('line1', 109, '000109', 'void', NULL, '2026-12-01T08:08:30Z'),"
                 " ('line1', 115, '000115', 'void', NULL, '2026-12-01T08:09:00Z')",
             })
            db->Exec(QString::fromUtf8(statement));
    }
    QTemporaryDir dir;
    auto record = Record::Open(url);
    auto db = OpenDirect(url);
    EXPECT_EQ(db->Exec(QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"))
                  .front()
                  .front(),
              QString::number(kSchemaVersion));
    ExpectCountsAgree(*record, *db, "line1");
    ExpectCountsAgree(*record, *db, "line2");
    const PoolStatus s = record->Pools("line1").front();
    EXPECT_EQ(s.confirmed, 3);
    EXPECT_EQ(s.voided, 4);
    EXPECT_EQ(s.next, "000110") << "the number voided ahead is skipped";
    EXPECT_EQ(record->Pools("line2").front().free, 3);
    // The counts go on from there.
    EXPECT_EQ(record->TakeNumber("line1", "h"), "000110");
    record->VoidNumber("000106", "scrapped");
    ExpectCountsAgree(*record, *db, "line1");
}

TEST_P(RecordTest, ALeasedNumberGoesToNobodyElseUntilItsStationGivesItBackOrItsTimeIsOver) {
    auto record = Open();
    QDateTime now(QDate(2026, 12, 10), QTime(8, 0), QTimeZone::utc());
    record->SetNow([&] { return now; });
    QString first;
    const QString pool = NewPool(*record, 8, 10, first);
    const int64_t base = first.toLongLong();
    auto n = [&](int i) { return Padded(base + i, 8); };

    const Lease a = record->LeaseNumbers(pool, "host-a", "session-a", 4, 3600);
    EXPECT_EQ(a.numbers, (QStringList{n(0), n(1), n(2), n(3)}));
    // Nobody else gets them: a take, another lease, a number by hand (not even to re-number),
    // a void.
    EXPECT_EQ(record->TakeNumber(pool, "run-x"), n(4));
    const Lease b = record->LeaseNumbers(pool, "host-b", "session-b", 2, 3600);
    EXPECT_EQ(b.numbers, (QStringList{n(5), n(6)}));
    EXPECT_FALSE(record->GiveNumber(n(1), "run-y", true));
    EXPECT_THROW(record->VoidNumber(n(2), "label jammed"), RecordError);

    // The station's own steps, forwarded twice each: once counts.
    RunStart start;
    start.station = "host-a";
    start.port = "A";
    start.packageName = "kvr17.bsk";
    start.packageSha256 = "00";
    start.pool = pool;
    for (int twice = 0; twice < 2; ++twice) {
        record->ApplyForwarded("begin", Record::BeginPayload("run-a1", now, start));
        record->ApplyForwarded(
            "take",
            QJsonObject{
                {"number", n(0)}, {"id", "run-a1"}, {"lease", a.id}, {"at", StampText(now)}});
        record->ApplyForwarded(
            "settle", QJsonObject{{"number", n(0)}, {"confirmed", true}, {"at", StampText(now)}});
    }
    record->ApplyForwarded("begin", Record::BeginPayload("run-a2", now, start));
    try {
        record->ApplyForwarded(
            "take", QJsonObject{{"number", n(0)}, {"id", "run-a2"}, {"lease", a.id}, {"at", ""}});
        ADD_FAILURE() << "a number given already went to a second run";
    } catch (const RecordError& e) {
        EXPECT_FALSE(e.Unreachable()) << "refused for good, not tried again";
    }
    HistoryFilter one;
    one.serialNumber = n(0);
    ASSERT_EQ(record->History(one).size(), 1u);
    EXPECT_EQ(record->History(one).front().numberState, "confirmed");

    // Released by hand, a lease gives nothing back before its time (and the clocks' grace).
    EXPECT_TRUE(record->ReleaseLease(a.id));
    EXPECT_FALSE(record->ReleaseLease(a.id)) << "released already";
    now = now.addSecs(3600 + kLeaseClockGraceS - 1);
    EXPECT_EQ(record->TakeNumber(pool, "run-z"), n(7));
    const std::vector<LeaseStatus> held = record->Leases(pool);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].id, a.id);
    EXPECT_EQ(held[0].left, 3);
    EXPECT_EQ(held[0].releasedBy, "hand");
    EXPECT_FALSE(held[0].reclaimed);
    now = now.addSecs(1);
    EXPECT_EQ(record->TakeNumber(pool, "run-w"), n(1)) << "back, and out again first";

    // Given back by its station: free again at once, and twice changes nothing.
    record->ApplyForwarded("return", QJsonObject{{"lease", b.id}, {"at", StampText(now)}});
    record->ApplyForwarded("return", QJsonObject{{"lease", b.id}, {"at", StampText(now)}});
    EXPECT_TRUE(record->Leases(pool).empty());
    const PoolStatus s = record->Pools(pool).front();
    EXPECT_EQ(s.leased, 0);
    EXPECT_EQ(s.next, n(2));
    ExpectCountsAgree(*record, *OpenDirect(url_), pool);
    EXPECT_EQ(s.free, 10 - 4) << "given: 0, 4, 7 and 1";
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& param) { return std::string(param.param); });

TEST(RecordSchema, ARecordFromANewerToolIsRefusedAndLeftAsItIs) {
    QTemporaryDir dir;
    const QString path = dir.filePath("records.sqlite");
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + path, url, error));
    Record::Open(url);
    OpenSqlite(path)->Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'", {});
    const QByteArray before = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    try {
        Record::Open(url);
        FAIL() << "opened";
    } catch (const RecordError& e) {
        EXPECT_FALSE(e.Unreachable());
        EXPECT_TRUE(e.Text().contains("newer")) << e.what();
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);

    // Nor is a file that is no database taken for one, or changed.
    const QString other = dir.filePath("notes.txt");
    QFile text(other);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("S/N 000101 went to line 2\n");
    text.close();
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + other, url, error));
    EXPECT_THROW(Record::Open(url), RecordError);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_EQ(text.readAll(), QByteArray("S/N 000101 went to line 2\n"));
}

// A server whose defaults make every transaction REPEATABLE READ: the record's sessions still
// work as the pool needs.
TEST(RecordServerDefaults, RepeatableReadByDefaultStillGivesEveryNumberOnceAndInOrder) {
    FreshPgDatabase fresh({QStringLiteral("default_transaction_isolation = 'repeatable read'")});
    if (!fresh.Made())
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    QTemporaryDir dir;
    ExpectTakesAtOnceShareAndSkipNothing(fresh.Url(), dir.path());
}

TEST(RecordServerDefaults, RepeatableReadByDefaultStillKeepsTwoPoolsFromOverlapping) {
    FreshPgDatabase fresh({QStringLiteral("default_transaction_isolation = 'repeatable read'")});
    if (!fresh.Made())
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    Record::Open(fresh.Url());  // the schema, made once

    // Both creations are held up inside their transactions until both are under way, so that
    // each has begun before the other commits, whatever the scheduling.
    auto holder = OpenPostgres(fresh.Url().ConnInfo());
    // It waits idle inside its transaction for as long as the children take to get there.
    holder->Exec(QStringLiteral("SET idle_in_transaction_session_timeout = 0"));
    holder->BeginWrite();
    holder->Exec(QStringLiteral("LOCK TABLE pools IN ACCESS EXCLUSIVE MODE"));
    std::vector<Child> children(2);
    for (int p = 0; p < 2; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int rc = 0;
            try {
                // Overlapping ranges under two names.
                Record::Open(fresh.Url())
                    ->CreatePool(QStringLiteral("line%1").arg(p), Padded(1000 + p * 500, 6),
                                 Padded(2000 + p * 500, 6));
            } catch (const RecordError& e) {
                std::fprintf(stderr, "child %d: %s\n", p, e.what());
                rc = e.Unreachable() ? kChildFailed : kChildRefused;
            }
            std::fflush(nullptr);
            _exit(rc);
        }
        children[static_cast<size_t>(p)].pid = child;
    }
    auto watcher = OpenPostgres(fresh.Url().ConnInfo());
    for (;;) {
        const Rows waiting = watcher->Exec(QStringLiteral(
            "SELECT count(*) FROM pg_locks WHERE NOT granted"
            " AND database = (SELECT oid FROM pg_database WHERE datname = current_database())"));
        if (waiting.front().front() == QStringLiteral("2"))
            break;
        for (Child& child : children)
            ASSERT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "a creation ended unheld";
        QThread::msleep(10);
    }
    holder->Commit();

    std::vector<int> codes;
    for (Child& child : children)
        codes.push_back(child.Wait());
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<int>{0, kChildRefused})) << "exactly one pool is made";
    EXPECT_EQ(Record::Open(fresh.Url())->Pools().size(), 1U);
}

// Defaults that would make a take fail, or a taken number go with a server crash: the record's
// sessions set what they rely on.
TEST(RecordServerDefaults, ReadOnlyAndAsynchronousCommitByDefaultAreSetAside) {
    FreshPgDatabase fresh({QStringLiteral("default_transaction_isolation = 'serializable'"),
                           QStringLiteral("default_transaction_read_only = on"),
                           QStringLiteral("synchronous_commit = off"),
                           QStringLiteral("idle_in_transaction_session_timeout = 0")});
    if (!fresh.Made())
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    QTemporaryDir dir;
    auto record = Record::Open(fresh.Url());
    QString first;
    const QString pool = NewPool(*record, 6, 10, first);
    EXPECT_EQ(record->TakeNumber(pool, "run"), first);

    auto db = OpenPostgres(fresh.Url().ConnInfo());
    auto setting = [&](const char* name) {
        return db->Exec(QStringLiteral("SELECT current_setting($1)"), {QString::fromUtf8(name)})
            .front()
            .front()
            .value_or(QString())
            .toStdString();
    };
    EXPECT_EQ(setting("transaction_isolation"), "read committed");
    EXPECT_EQ(setting("default_transaction_read_only"), "off");
    EXPECT_EQ(setting("synchronous_commit"), "on");
    EXPECT_NE(setting("idle_in_transaction_session_timeout"), "0");
}

// A station stopped dead inside the transaction of its take (SIGSTOP: the process holds its
// connection and its host still answers, as a frozen or hung station does) keeps the pool's
// row locked; the other stations get their numbers once the server has ended its session, not
// after a lock wait fails.
TEST(RecordServerDefaults, AStationFrozenInsideItsTakeHoldsThePoolForSecondsOnly) {
    const std::optional<RecordUrl> server = kvr::test::PgTestRecordUrl();
    if (!server)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    const RecordUrl& url = *server;
    QTemporaryDir dir;
    QString first;
    const QString pool = NewPool(*Record::Open(url), 6, 10, first);

    Child frozen;
    frozen.pid = fork();
    ASSERT_GE(frozen.pid, 0);
    if (frozen.pid == 0) {
        try {
            auto record = Record::Open(url);
            // The take stamps its number after it has locked the pool's row: it stops there.
            record->SetNow([] {
                raise(SIGSTOP);
                return QDateTime::currentDateTimeUtc();
            });
            record->TakeNumber(pool, "frozen");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "frozen child: %s\n", e.what());
        }
        std::fflush(nullptr);
        _exit(kChildFailed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(frozen.pid, &status, WUNTRACED), frozen.pid);
    ASSERT_TRUE(WIFSTOPPED(status)) << "the child ended before its take";

    auto record = Record::Open(url);
    QElapsedTimer timer;
    timer.start();
    QString number;
    try {
        number = record->TakeNumber(pool, "next station");
    } catch (const RecordError& e) {
        FAIL() << "the pool stayed locked: " << e.what();
    }
    const qint64 firstMs = timer.elapsed();
    // The frozen take never committed: its number is given, not lost.
    EXPECT_EQ(number, first);
    EXPECT_EQ(record->TakeNumber(pool, "after"), Padded(first.toLongLong() + 1, 6));
    std::printf("first number after the frozen station: %lld ms; the next: %lld ms\n",
                static_cast<long long>(firstMs), static_cast<long long>(timer.elapsed() - firstMs));
}

// SQLite keeps a transaction open when its COMMIT fails with BUSY. `writeAndCommit` writes
// "lost" and commits while another connection reads: the COMMIT fails, and the record's next
// write must then be committed on its own, without the failed one's.
void ExpectAFailedCommitLeavesNoTransactionOpen(
    const std::function<void(Database&)>& writeAndCommit) {
    QTemporaryDir dir;
    const QString path = dir.filePath("records.sqlite");
    auto db = OpenSqlite(path);
    // A COMMIT waits for readers only with the rollback journal (the record itself uses WAL);
    // a short wait makes it give up at once.
    db->Exec(QStringLiteral("PRAGMA journal_mode=DELETE"));
    db->Exec(QStringLiteral("PRAGMA busy_timeout=50"));
    db->Exec(QStringLiteral("CREATE TABLE t (v TEXT)"));

    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.toUtf8().constData(), &reader, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(reader, &sqlite3_close);
    auto values = [&] {
        QStringList seen;
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(reader, "SELECT v FROM t ORDER BY v", -1, &statement, nullptr);
        while (sqlite3_step(statement) == SQLITE_ROW)
            seen << QString::fromUtf8(
                reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
        return seen.join(u',').toStdString();
    };
    // A read transaction that the writer's COMMIT has to wait for.
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    values();
    try {
        writeAndCommit(*db);
        FAIL() << "the COMMIT went through under a reader";
    } catch (const RecordError& e) {
        EXPECT_TRUE(e.Unreachable()) << "busy, worth trying again: " << e.what();
    }
    ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);

    db->Exec(QStringLiteral("INSERT INTO t VALUES ('kept')"));
    EXPECT_EQ(values(), "kept") << "the next write went into the failed transaction";
}

TEST(RecordSqlite, ACommitThatFailsLeavesNoTransactionOpen) {
    ExpectAFailedCommitLeavesNoTransactionOpen([](Database& db) {
        WriteTransaction transaction(db);
        db.Exec(QStringLiteral("INSERT INTO t VALUES ('lost')"));
        transaction.Commit();
    });
}

TEST(RecordSqlite, TheConnectionsOwnCommitEndsItsTransactionWhenItFails) {
    ExpectAFailedCommitLeavesNoTransactionOpen([](Database& db) {
        db.BeginWrite();
        db.Exec(QStringLiteral("INSERT INTO t VALUES ('lost')"));
        db.Commit();
    });
}

TEST(RecordUrlText, NamesAreReadAsTheirOwnersMeanThem) {
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("postgresql://line@db.factory:6543/production", url, error));
    EXPECT_EQ(url.ConnInfo(), "user='line' host='db.factory' port=6543 dbname='production'");
    EXPECT_FALSE(ParseRecordUrl("postgresql://line:secret@db/production", url, error));
    EXPECT_TRUE(error.contains("PGPASSWORD")) << "a password never goes on a command line";
    EXPECT_FALSE(ParseRecordUrl("postgresql://db/production", url, error)) << "no user";
    EXPECT_FALSE(ParseRecordUrl("mysql://line@db/production", url, error));
    EXPECT_FALSE(ParseRecordUrl("sqlite:", url, error));
}

}  // namespace

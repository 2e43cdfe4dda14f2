#include "Record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>
#include <algorithm>

#include "LinkTypes.h"

namespace kvr::record {

namespace {

constexpr int kMaxNumberDigits = static_cast<int>(kSerialNumberMaxChars);
constexpr int kMaxPoolNameChars = 64;

// Each step brings the schema from the version before it to its own; a fresh record runs them
// all. A step is never changed once released: a new one is added instead.
const std::vector<std::vector<const char*>> kSchemaSteps = {
    {
        "CREATE TABLE runs ("
        " id TEXT PRIMARY KEY,"
        " station TEXT NOT NULL, port TEXT NOT NULL, adapter TEXT,"
        " package_name TEXT NOT NULL, package_sha256 TEXT NOT NULL, page_count INTEGER NOT NULL,"
        " hardware_versions TEXT NOT NULL, program_versions TEXT NOT NULL,"
        " technology INTEGER NOT NULL, boot_all INTEGER NOT NULL, hw TEXT, pool TEXT,"
        " started_at TEXT NOT NULL, ended_at TEXT, duration_ms BIGINT,"
        " outcome TEXT, outcome_text TEXT, pages_sent INTEGER,"
        " serial_number TEXT, serial_confirmed INTEGER,"
        " log_path TEXT)",
        "CREATE INDEX runs_serial_number ON runs (serial_number)",
        "CREATE INDEX runs_started_at ON runs (started_at)",
        "CREATE TABLE pools ("
        " name TEXT PRIMARY KEY, width INTEGER NOT NULL,"
        " first_value BIGINT NOT NULL, last_value BIGINT NOT NULL, next_value BIGINT NOT NULL,"
        " created_at TEXT NOT NULL)",
        "CREATE TABLE numbers ("
        " pool TEXT NOT NULL REFERENCES pools (name), value BIGINT NOT NULL,"
        " number TEXT NOT NULL UNIQUE, state TEXT NOT NULL, run_id TEXT,"
        " taken_at TEXT NOT NULL, settled_at TEXT, reason TEXT,"
        " PRIMARY KEY (pool, value))",
        "CREATE INDEX numbers_run_id ON numbers (run_id)",
    },
    {
        // Counts by state kept with the pool, so that its status costs the same at a million
        // numbers as at a hundred; filled from the numbers already there.
        "ALTER TABLE pools ADD COLUMN count_sent BIGINT NOT NULL DEFAULT 0",
        "ALTER TABLE pools ADD COLUMN count_confirmed BIGINT NOT NULL DEFAULT 0",
        "ALTER TABLE pools ADD COLUMN count_failed BIGINT NOT NULL DEFAULT 0",
        "ALTER TABLE pools ADD COLUMN count_void BIGINT NOT NULL DEFAULT 0",
        "UPDATE pools SET"
        " count_sent = (SELECT count(*) FROM numbers n"
        " WHERE n.pool = pools.name AND n.state = 'sent'),"
        " count_confirmed = (SELECT count(*) FROM numbers n"
        " WHERE n.pool = pools.name AND n.state = 'confirmed'),"
        " count_failed = (SELECT count(*) FROM numbers n"
        " WHERE n.pool = pools.name AND n.state = 'failed'),"
        " count_void = (SELECT count(*) FROM numbers n"
        " WHERE n.pool = pools.name AND n.state = 'void')",
    },
    {
        // Numbers given outside any pool (typed, fixed or counted), one row per value, so that
        // no pool and no later command gives them again; and the runs that gave a number the
        // record held already, on purpose.
        "CREATE TABLE given_numbers ("
        " value BIGINT PRIMARY KEY, number TEXT NOT NULL, state TEXT NOT NULL, run_id TEXT,"
        " taken_at TEXT NOT NULL, settled_at TEXT)",
        "CREATE INDEX given_numbers_run_id ON given_numbers (run_id)",
        "ALTER TABLE runs ADD COLUMN renumbered INTEGER NOT NULL DEFAULT 0",
    },
    {
        // Blocks of a pool's numbers leased to a station ahead of need, so that it goes on
        // numbering while the record is away. A leased number is "leased" with its lease's id
        // until the station gives it; one never given goes back as "returned", free again.
        "CREATE TABLE leases ("
        " id TEXT PRIMARY KEY, pool TEXT NOT NULL REFERENCES pools (name),"
        " station TEXT NOT NULL, holder TEXT NOT NULL,"
        " first_number TEXT NOT NULL, last_number TEXT NOT NULL, count BIGINT NOT NULL,"
        " granted_at TEXT NOT NULL, lifetime_s BIGINT NOT NULL, expires_at TEXT NOT NULL,"
        " released_at TEXT, released_by TEXT, reclaimed_at TEXT)",
        "CREATE INDEX leases_holder ON leases (holder)",
        "ALTER TABLE numbers ADD COLUMN lease_id TEXT",
        "CREATE INDEX numbers_lease_id ON numbers (lease_id)",
        "CREATE INDEX numbers_pool_state ON numbers (pool, state)",
        "ALTER TABLE pools ADD COLUMN count_leased BIGINT NOT NULL DEFAULT 0",
        "ALTER TABLE pools ADD COLUMN count_returned BIGINT NOT NULL DEFAULT 0",
    },
    {
        // Each station process's heartbeat, written by its sender while the record answers: who
        // is on the line, what it flashes, and what it has not sent yet. One row a process.
        "CREATE TABLE stations ("
        " holder TEXT PRIMARY KEY, station TEXT NOT NULL,"
        " started_at TEXT NOT NULL, seen_at TEXT NOT NULL, stopped_at TEXT,"
        " package_name TEXT, package_sha256 TEXT, pool TEXT,"
        " waiting BIGINT NOT NULL DEFAULT 0, lease_left BIGINT NOT NULL DEFAULT 0,"
        " lanes TEXT NOT NULL DEFAULT '[]')",
        "CREATE INDEX stations_seen_at ON stations (seen_at)",
        // A unit's earlier runs, for the line's first-pass yield.
        "CREATE INDEX runs_serial_started ON runs (serial_number, started_at)",
    },
};

QString Flag(bool on) {
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QString Number(int64_t value, int width) {
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

int64_t ToInt(const Value& v) {
    return v ? v->toLongLong() : 0;
}

QString ToText(const Value& v) {
    return v.value_or(QString());
}

bool AllDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

[[noreturn]] void Refuse(const QString& why) {
    throw RecordError(why, false);
}

// The pools column that counts a number state.
QString CountColumn(const QString& state) {
    for (const char* known : {"sent", "confirmed", "failed", "void", "leased", "returned"}) {
        if (state == QLatin1String(known))
            return QStringLiteral("count_") + state;
    }
    Refuse(QStringLiteral("No number state \"%1\"").arg(state));
}

}  // namespace

QString StampText(const QDateTime& at) {
    return at.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime StampValue(const QString& text) {
    QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!at.isValid())
        at = QDateTime::fromString(text, Qt::ISODate);
    return at;
}

Record::Record(const RecordUrl& url, std::unique_ptr<Database> db)
    : url_(url), db_(std::move(db)), now_([] { return QDateTime::currentDateTimeUtc(); }) {}

Record::~Record() = default;

std::unique_ptr<Record> Record::Open(const RecordUrl& url) {
    std::unique_ptr<Database> db =
        url.kind == RecordUrl::Kind::Sqlite ? OpenSqlite(url.path) : OpenPostgres(url.ConnInfo());
    std::unique_ptr<Record> record(new Record(url, std::move(db)));
    record->PrepareSchema();
    return record;
}

QString Record::Stamp() const {
    return StampText(now_());
}

void Record::PrepareSchema() {
    const int latest = static_cast<int>(kSchemaSteps.size());
    auto version = [this]() {
        if (!db_->TableExists(QStringLiteral("meta")))
            return 0;
        const Rows rows =
            db_->Exec(QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"), {});
        return rows.empty() ? 0 : static_cast<int>(ToInt(rows[0][0]));
    };
    auto newer = [&](int found) {
        return RecordError(QStringLiteral("The record %1 was written by a newer version of the "
                                          "tool (schema %2; this one knows %3): it is left as it "
                                          "is")
                               .arg(url_.Text())
                               .arg(found)
                               .arg(latest),
                           false);
    };
    // Most opens find the schema as it should be and need no write lock.
    const int seen = version();
    if (seen == latest)
        return;
    if (seen > latest)
        throw newer(seen);
    WriteTransaction transaction(*db_);
    db_->LockSchema();
    int current = version();  // another process may have been first
    if (current > latest)
        throw newer(current);
    if (current == 0 && !db_->TableExists(QStringLiteral("meta"))) {
        db_->Exec(QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
                  {});
        db_->Exec(QStringLiteral("INSERT INTO meta (key, value) VALUES ('schema_version', '0')"),
                  {});
    }
    for (; current < latest; ++current) {
        for (const char* statement : kSchemaSteps[static_cast<size_t>(current)])
            db_->Exec(QString::fromUtf8(statement), {});
    }
    db_->Exec(QStringLiteral("UPDATE meta SET value = $1 WHERE key = 'schema_version'"),
              {QString::number(latest)});
    transaction.Commit();
}

template <typename F>
auto Record::Reaching(F&& work) -> decltype(work()) {
    if (!db_->Connected())
        db_->Reconnect();
    try {
        return work();
    } catch (const RecordError& e) {
        // A connection that broke under the call (a restarted server) gets one more try on a
        // new one; every call here may run twice with the same result.
        if (!e.Unreachable() || db_->Connected())
            throw;
        db_->Reconnect();
        return work();
    }
}

QString Record::BeginRun(const RunStart& s) {
    const std::lock_guard lock(mutex_);
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString started = Stamp();
    Reaching([&] { ApplyBegin(id, started, s); });
    return id;
}

void Record::ApplyEnd(const QString& runId, const RunEnding& e, const QString& endedAt) {
    // Only an open row is completed: an ending forwarded twice is written once.
    db_->Exec(
        QStringLiteral("UPDATE runs SET ended_at = $2, duration_ms = $3, outcome = $4,"
                       " outcome_text = $5, pages_sent = $6, serial_number = $7,"
                       " serial_confirmed = $8 WHERE id = $1 AND ended_at IS NULL"),
        {runId, endedAt, QString::number(e.durationMs), e.outcome, e.outcomeText,
         QString::number(e.pagesSent), e.serialNumber.isEmpty() ? Value() : Value(e.serialNumber),
         Flag(e.serialNumberConfirmed)});
}

void Record::EndRun(const QString& runId, const RunEnding& e) {
    const std::lock_guard lock(mutex_);
    const QString endedAt = Stamp();
    Reaching([&] { ApplyEnd(runId, e, endedAt); });
}

void Record::CreatePool(const QString& name, const QString& first, const QString& lastGiven) {
    const std::lock_guard lock(mutex_);
    if (name.trimmed().isEmpty() || name.size() > kMaxPoolNameChars)
        Refuse(QStringLiteral("A pool's name has 1 to %1 characters").arg(kMaxPoolNameChars));
    if (!AllDigits(first) || first.size() > kMaxNumberDigits)
        Refuse(QStringLiteral("The first number \"%1\" is not 1 to %2 digits")
                   .arg(first)
                   .arg(kMaxNumberDigits));
    const int width = static_cast<int>(first.size());
    const QString last = lastGiven.isEmpty() ? QString(width, u'9') : lastGiven;
    if (!AllDigits(last) || last.size() > width)
        Refuse(QStringLiteral("The last number \"%1\" is not a number of at most %2 digits")
                   .arg(last)
                   .arg(width));
    const int64_t firstValue = first.toLongLong();
    const int64_t lastValue = last.toLongLong();
    if (lastValue < firstValue)
        Refuse(QStringLiteral("The last number %1 comes before the first %2").arg(last, first));
    Reaching([&] {
        WriteTransaction transaction(*db_);
        db_->LockSchema();  // two pools created at once must still not overlap
        if (!db_->Exec(QStringLiteral("SELECT 1 FROM pools WHERE name = $1"), {name}).empty())
            Refuse(QStringLiteral("A pool named \"%1\" exists already").arg(name));
        const Rows overlap =
            db_->Exec(QStringLiteral("SELECT name, first_value, last_value, width FROM pools"
                                     " WHERE first_value <= $2 AND last_value >= $1"),
                      {QString::number(firstValue), QString::number(lastValue)});
        if (!overlap.empty()) {
            const int w = static_cast<int>(ToInt(overlap[0][3]));
            Refuse(QStringLiteral("%1–%2 overlaps the pool \"%3\" (%4–%5): a serial number would "
                                  "be given twice")
                       .arg(first, Number(lastValue, width), ToText(overlap[0][0]),
                            Number(ToInt(overlap[0][1]), w), Number(ToInt(overlap[0][2]), w)));
        }
        db_->Exec(QStringLiteral("INSERT INTO pools (name, width, first_value, last_value,"
                                 " next_value, created_at) VALUES ($1, $2, $3, $4, $3, $5)"),
                  {name, QString::number(width), QString::number(firstValue),
                   QString::number(lastValue), Stamp()});
        transaction.Commit();
    });
}

std::vector<PoolStatus> ReadPools(Database& db, const QString& name) {
    std::vector<PoolStatus> pools;
    const Rows rows = db.Exec(
        QStringLiteral("SELECT name, width, first_value, last_value, next_value, created_at,"
                       " count_sent, count_confirmed, count_failed, count_void,"
                       " count_leased, count_returned"
                       " FROM pools WHERE $1 = '' OR name = $1 ORDER BY first_value"),
        {name});
    for (const Row& row : rows) {
        PoolStatus p;
        p.name = ToText(row[0]);
        const int width = static_cast<int>(ToInt(row[1]));
        const int64_t last = ToInt(row[3]);
        int64_t next = ToInt(row[4]);
        p.first = Number(ToInt(row[2]), width);
        p.last = Number(last, width);
        p.created = StampValue(ToText(row[5]));
        p.sent = ToInt(row[6]);
        p.confirmed = ToInt(row[7]);
        p.failed = ToInt(row[8]);
        p.voided = ToInt(row[9]);
        p.leased = ToInt(row[10]);
        const int64_t returned = ToInt(row[11]);
        // Numbers voided before anybody took them are not free either. Only rows written
        // ahead of a take lie at or after next: few, whatever the pool's size.
        const Rows ahead = db.Exec(QStringLiteral("SELECT value FROM numbers WHERE pool = $1"
                                                  " AND value >= $2 ORDER BY value"),
                                   {p.name, QString::number(next)});
        p.free =
            std::max<int64_t>(0, last - next + 1 - static_cast<int64_t>(ahead.size())) + returned;
        for (const Row& a : ahead) {
            if (ToInt(a[0]) != next)
                break;
            ++next;
        }
        if (next <= last)
            p.next = Number(next, width);
        // Returned numbers go out first.
        if (returned > 0) {
            const Rows first = db.Exec(QStringLiteral("SELECT min(value) FROM numbers"
                                                      " WHERE pool = $1 AND state = 'returned'"),
                                       {p.name});
            if (!first.empty() && first[0][0])
                p.next = Number(ToInt(first[0][0]), width);
        }
        pools.push_back(p);
    }
    return pools;
}

std::vector<PoolStatus> Record::Pools(const QString& name) {
    const std::lock_guard lock(mutex_);
    return Reaching([&] { return ReadPools(*db_, name); });
}

QString Record::ClaimLocked(const QString& pool, const QString& state, const QString& runId,
                            const QString& leaseId, const QString& at) {
    // The pool's row lock first: every claim of this pool waits here, in order.
    const Rows locked = db_->Exec(QStringLiteral("UPDATE pools SET next_value = next_value"
                                                 " WHERE name = $1 RETURNING width"),
                                  {pool});
    if (locked.empty())
        Refuse(QStringLiteral("There is no pool named \"%1\"").arg(pool));
    const Value runValue = runId.isEmpty() ? Value() : Value(runId);
    const Value leaseValue = leaseId.isEmpty() ? Value() : Value(leaseId);
    // A number returned from a lease goes out again before any never given.
    const Rows returned = db_->Exec(
        QStringLiteral("UPDATE numbers SET state = $2, run_id = $3, lease_id = $4, taken_at = $5,"
                       " settled_at = NULL, reason = NULL"
                       " WHERE pool = $1 AND state = 'returned' AND value = (SELECT min(value)"
                       " FROM numbers WHERE pool = $1 AND state = 'returned') RETURNING number"),
        {pool, state, runValue, leaseValue, at});
    if (!returned.empty()) {
        CountState(pool, QStringLiteral("returned"), state);
        return ToText(returned[0][0]);
    }
    for (;;) {
        const Rows taken = db_->Exec(QStringLiteral("UPDATE pools SET next_value = next_value + 1"
                                                    " WHERE name = $1 AND next_value <= last_value"
                                                    " RETURNING next_value - 1, width"),
                                     {pool});
        if (taken.empty())
            return QString();
        const int64_t value = ToInt(taken[0][0]);
        const QString number = Number(value, static_cast<int>(ToInt(taken[0][1])));
        // Voided, or given by hand before (inside the range or before the pool was made).
        const Rows voided =
            db_->Exec(QStringLiteral("SELECT 1 FROM numbers WHERE pool = $1 AND value = $2"
                                     " UNION ALL SELECT 1 FROM given_numbers WHERE value = $2"),
                      {pool, QString::number(value)});
        if (!voided.empty())
            continue;
        db_->Exec(QStringLiteral("INSERT INTO numbers (pool, value, number, state, run_id,"
                                 " lease_id, taken_at) VALUES ($1, $2, $3, $4, $5, $6, $7)"),
                  {pool, QString::number(value), number, state, runValue, leaseValue, at});
        CountState(pool, QString(), state);
        return number;
    }
}

QString Record::TakeNumber(const QString& pool, const QString& runId) {
    const std::lock_guard lock(mutex_);
    return Reaching([&] {
        WriteTransaction transaction(*db_);
        // A take whose commit went through before the connection broke is not taken again.
        const Rows had =
            db_->Exec(QStringLiteral("SELECT number FROM numbers WHERE run_id = $1"), {runId});
        if (!had.empty())
            return ToText(had[0][0]);
        ReclaimLocked();
        const QString number = ClaimLocked(pool, QStringLiteral("sent"), runId, {}, Stamp());
        if (number.isEmpty())
            return number;
        // An open row shows the number even when its run never ends.
        db_->Exec(QStringLiteral("UPDATE runs SET serial_number = $2, serial_confirmed = 0"
                                 " WHERE id = $1"),
                  {runId, number});
        transaction.Commit();
        return number;
    });
}

void Record::ApplySettle(const QString& number, bool confirmed, const QString& at) {
    const QString state = confirmed ? QStringLiteral("confirmed") : QStringLiteral("failed");
    WriteTransaction transaction(*db_);
    // Counted only when the row changed: a settle forwarded twice counts once.
    const Rows changed = db_->Exec(QStringLiteral("UPDATE numbers SET state = $2, settled_at = $3"
                                                  " WHERE number = $1 AND state = 'sent'"
                                                  " RETURNING pool"),
                                   {number, state, at});
    for (const Row& row : changed)
        CountState(ToText(row[0]), QStringLiteral("sent"), state);
    transaction.Commit();
}

void Record::CountState(const QString& pool, const QString& from, const QString& to) {
    if (from == to)
        return;
    QStringList counts;
    if (!from.isEmpty())
        counts << QStringLiteral("%1 = %1 - 1").arg(CountColumn(from));
    if (!to.isEmpty())
        counts << QStringLiteral("%1 = %1 + 1").arg(CountColumn(to));
    db_->Exec(QStringLiteral("UPDATE pools SET %1 WHERE name = $1")
                  .arg(counts.join(QStringLiteral(", "))),
              {pool});
}

void Record::Shift(const QString& pool, const QString& from, const QString& to, size_t n) {
    if (n == 0)
        return;
    db_->Exec(QStringLiteral("UPDATE pools SET %1 = %1 - $2, %3 = %3 + $2 WHERE name = $1")
                  .arg(CountColumn(from), CountColumn(to)),
              {pool, QString::number(n)});
}

void Record::SettleNumber(const QString& number, bool confirmed) {
    const std::lock_guard lock(mutex_);
    const QString at = Stamp();
    Reaching([&] { ApplySettle(number, confirmed, at); });
}

void Record::VoidNumber(const QString& number, const QString& reason) {
    const std::lock_guard lock(mutex_);
    if (!AllDigits(number) || number.size() > kMaxNumberDigits)
        Refuse(QStringLiteral("\"%1\" is no serial number").arg(number));
    Reaching([&] {
        WriteTransaction transaction(*db_);
        const Rows pools =
            db_->Exec(QStringLiteral("SELECT name FROM pools WHERE width = $1 AND first_value <= $2"
                                     " AND last_value >= $2"),
                      {QString::number(number.size()), QString::number(number.toLongLong())});
        if (pools.empty())
            Refuse(QStringLiteral("No pool holds the serial number %1").arg(number));
        const QString pool = ToText(pools[0][0]);
        const QString at = Stamp();
        const QString voided = QStringLiteral("void");
        for (;;) {
            const Rows had =
                db_->Exec(QStringLiteral("SELECT state FROM numbers WHERE number = $1"), {number});
            if (!had.empty()) {
                // Changed only from the state read, so that the right count goes down; a settle
                // that came in between is read again.
                const QString state = ToText(had[0][0]);
                if (state == QLatin1String("leased"))
                    Refuse(QStringLiteral("S/N %1 is leased to a station, which may give it at "
                                          "any moment: void it once its lease has ended")
                               .arg(number));
                const Rows updated =
                    db_->Exec(QStringLiteral("UPDATE numbers SET state = 'void', settled_at = $2,"
                                             " reason = $3, lease_id = NULL"
                                             " WHERE number = $1 AND state = $4"
                                             " RETURNING number"),
                              {number, at, reason, state});
                if (updated.empty())
                    continue;
                CountState(pool, state, voided);
                break;
            }
            // The pool's row first, as a take holds it before its insert: a take of this very
            // number waits for us instead of deadlocking on PostgreSQL.
            CountState(pool, QString(), voided);
            const Rows inserted = db_->Exec(
                QStringLiteral("INSERT INTO numbers (pool, value, number, state, taken_at,"
                               " settled_at, reason) VALUES ($1, $2, $3, 'void', $4, $4, $5)"
                               " ON CONFLICT (number) DO NOTHING RETURNING number"),
                {pool, QString::number(number.toLongLong()), number, at, reason});
            if (!inserted.empty())
                break;
            CountState(pool, voided, QString());  // taken meanwhile: void it as taken
        }
        transaction.Commit();
    });
}

std::optional<GivenNumber> Record::GivenLocked(const QString& given) {
    const QString v = QString::number(given.toLongLong());
    // Pools never overlap, so one range at most holds the value.
    Rows rows =
        db_->Exec(QStringLiteral("SELECT n.number, n.pool, n.state, n.run_id, n.taken_at, r.station"
                                 " FROM pools p JOIN numbers n ON n.pool = p.name AND n.value = $1"
                                 " LEFT JOIN runs r ON r.id = n.run_id"
                                 " WHERE p.first_value <= $1 AND p.last_value >= $1"
                                 " AND n.state <> 'returned'"),
                  {v});
    if (rows.empty()) {
        rows = db_->Exec(QStringLiteral("SELECT g.number, '', g.state, g.run_id, g.taken_at,"
                                        " r.station FROM given_numbers g"
                                        " LEFT JOIN runs r ON r.id = g.run_id WHERE g.value = $1"),
                         {v});
    }
    if (rows.empty()) {
        // Rows written before numbers given by hand were kept apart know them by their text.
        rows = db_->Exec(QStringLiteral("SELECT serial_number, '', CASE WHEN serial_confirmed = 1"
                                        " THEN 'confirmed' ELSE 'failed' END, id, started_at,"
                                        " station FROM runs WHERE serial_number = $1"
                                        " AND pool IS NULL ORDER BY started_at DESC LIMIT 1"),
                         {given});
    }
    if (rows.empty())
        return std::nullopt;
    const Row& row = rows.front();
    return GivenNumber{ToText(row[0]), ToText(row[1]), ToText(row[2]),
                       ToText(row[3]), ToText(row[5]), StampValue(ToText(row[4]))};
}

std::optional<GivenNumber> Record::Given(const QString& number) {
    const std::lock_guard lock(mutex_);
    if (!AllDigits(number) || number.size() > kMaxNumberDigits)
        Refuse(QStringLiteral("\"%1\" is no serial number").arg(number));
    return Reaching([&] { return GivenLocked(number); });
}

bool Record::GiveNumber(const QString& number, const QString& runId, bool renumber,
                        GivenNumber* holder) {
    const std::lock_guard lock(mutex_);
    if (!AllDigits(number) || number.size() > kMaxNumberDigits)
        Refuse(QStringLiteral("\"%1\" is no serial number").arg(number));
    const int64_t value = number.toLongLong();
    const QString v = QString::number(value);
    return Reaching([&] {
        WriteTransaction transaction(*db_);
        const Rows pools =
            db_->Exec(QStringLiteral("SELECT name, width FROM pools"
                                     " WHERE first_value <= $1 AND last_value >= $1"),
                      {v});
        const QString pool = pools.empty() ? QString() : ToText(pools[0][0]);
        // The pool's row lock first, as a take holds it: a take of the same value waits here
        // rather than crossing this transaction.
        if (!pool.isEmpty())
            db_->Exec(QStringLiteral("UPDATE pools SET next_value = next_value WHERE name = $1"),
                      {pool});
        for (;;) {
            const std::optional<GivenNumber> had = GivenLocked(number);
            // A give whose commit went through before the connection broke is not refused now.
            if (had && had->runId == runId)
                return true;
            // A leased number belongs to a station that may give it at any moment, record or
            // not: never by hand, not even to re-number.
            if (had && (!renumber || had->state == QLatin1String("leased"))) {
                if (holder != nullptr)
                    *holder = *had;
                return false;
            }
            const QString at = Stamp();
            if (!pool.isEmpty() && had && had->pool == pool) {
                // Only from the state just read: a settle in between makes this read again.
                if (db_->Exec(QStringLiteral("UPDATE numbers SET state = 'sent', run_id = $3,"
                                             " taken_at = $4, settled_at = NULL, reason = NULL"
                                             " WHERE pool = $1 AND value = $2 AND state = $5"
                                             " RETURNING value"),
                              {pool, v, runId, at, had->state})
                        .empty())
                    continue;
                CountState(pool, had->state, QStringLiteral("sent"));
            } else if (!pool.isEmpty() &&
                       !db_->Exec(QStringLiteral("UPDATE numbers SET state = 'sent', run_id = $3,"
                                                 " lease_id = NULL, taken_at = $4"
                                                 " WHERE pool = $1 AND value = $2"
                                                 " AND state = 'returned' RETURNING value"),
                                  {pool, v, runId, at})
                            .empty()) {
                CountState(pool, QStringLiteral("returned"), QStringLiteral("sent"));
            } else if (!pool.isEmpty()) {
                CountState(pool, QString(), QStringLiteral("sent"));
                db_->Exec(
                    QStringLiteral("INSERT INTO numbers (pool, value, number, state, run_id,"
                                   " taken_at) VALUES ($1, $2, $3, 'sent', $4, $5)"),
                    {pool, v, Number(value, static_cast<int>(ToInt(pools[0][1]))), runId, at});
            } else {
                db_->Exec(QStringLiteral("DELETE FROM given_numbers WHERE value = $1"), {v});
                db_->Exec(QStringLiteral("INSERT INTO given_numbers (value, number, state, run_id,"
                                         " taken_at) VALUES ($1, $2, 'sent', $3, $4)"),
                          {v, number, runId, at});
            }
            db_->Exec(QStringLiteral("UPDATE runs SET serial_number = $2, serial_confirmed = 0,"
                                     " renumbered = $3 WHERE id = $1"),
                      {runId, number, Flag(had.has_value())});
            transaction.Commit();
            return true;
        }
    });
}

void Record::ApplySettleRun(const QString& runId, bool confirmed, const QString& at) {
    const QString state = confirmed ? QStringLiteral("confirmed") : QStringLiteral("failed");
    WriteTransaction transaction(*db_);
    // Only a number still "sent" changes: a settle forwarded twice is applied once.
    const Rows changed =
        db_->Exec(QStringLiteral("UPDATE numbers SET state = $2, settled_at = $3"
                                 " WHERE run_id = $1 AND state = 'sent' RETURNING pool"),
                  {runId, state, at});
    for (const Row& row : changed)
        CountState(ToText(row[0]), QStringLiteral("sent"), state);
    db_->Exec(QStringLiteral("UPDATE given_numbers SET state = $2, settled_at = $3"
                             " WHERE run_id = $1 AND state = 'sent'"),
              {runId, state, at});
    transaction.Commit();
}

void Record::SettleRun(const QString& runId, bool confirmed) {
    const std::lock_guard lock(mutex_);
    const QString at = Stamp();
    Reaching([&] { ApplySettleRun(runId, confirmed, at); });
}

std::vector<HistoryRow> Record::History(const HistoryFilter& filter) {
    const std::lock_guard lock(mutex_);
    return Reaching([&] {
        const Rows rows = db_->Exec(
            QStringLiteral(
                "SELECT r.id, r.station, r.port, r.adapter, r.package_name, r.package_sha256,"
                " r.page_count, r.hardware_versions, r.program_versions, r.technology, r.boot_all,"
                " r.hw, r.pool, r.log_path, r.started_at, r.ended_at, r.duration_ms, r.outcome,"
                " r.outcome_text, r.pages_sent, r.serial_number, r.serial_confirmed,"
                " COALESCE(n.state, g.state),"
                " r.renumbered"
                " FROM runs r LEFT JOIN numbers n ON n.run_id = r.id"
                " LEFT JOIN given_numbers g ON g.run_id = r.id"
                " WHERE ($1 = '' OR r.serial_number = $1) AND ($2 = '' OR r.port = $2)"
                " AND ($3 = '' OR r.started_at >= $3)"
                " ORDER BY r.started_at, r.id"),
            {filter.serialNumber, filter.port,
             filter.since.isValid() ? StampText(filter.since) : QString()});
        std::vector<HistoryRow> history;
        history.reserve(rows.size());
        for (const Row& row : rows) {
            HistoryRow h;
            h.id = ToText(row[0]);
            h.start.station = ToText(row[1]);
            h.start.port = ToText(row[2]);
            h.start.adapter = ToText(row[3]);
            h.start.packageName = ToText(row[4]);
            h.start.packageSha256 = ToText(row[5]);
            h.start.pageCount = static_cast<int>(ToInt(row[6]));
            h.start.hardwareVersions = ToText(row[7]);
            h.start.programVersions = ToText(row[8]);
            h.start.technology = ToInt(row[9]) != 0;
            h.start.bootAll = ToInt(row[10]) != 0;
            h.start.hardware = ToText(row[11]);
            h.start.pool = ToText(row[12]);
            h.start.logPath = ToText(row[13]);
            h.startedAt = StampValue(ToText(row[14]));
            h.serialNumber = ToText(row[20]);
            if (row[15]) {
                RunEnding e;
                h.endedAt = StampValue(ToText(row[15]));
                e.durationMs = static_cast<uint64_t>(ToInt(row[16]));
                e.outcome = ToText(row[17]);
                e.outcomeText = ToText(row[18]);
                e.pagesSent = static_cast<int>(ToInt(row[19]));
                e.serialNumber = h.serialNumber;
                e.serialNumberConfirmed = ToInt(row[21]) != 0;
                h.ending = e;
            }
            h.numberState = ToText(row[22]);
            h.renumbered = ToInt(row[23]) != 0;
            history.push_back(std::move(h));
        }
        return history;
    });
}

std::optional<Record::Confirmed> Record::LastConfirmed(const QString& serialNumber) {
    const std::lock_guard lock(mutex_);
    return Reaching([&]() -> std::optional<Confirmed> {
        const Rows rows =
            db_->Exec(QStringLiteral("SELECT ended_at, station FROM runs WHERE serial_number = $1"
                                     " AND serial_confirmed = 1 ORDER BY ended_at DESC LIMIT 1"),
                      {serialNumber});
        if (rows.empty())
            return std::nullopt;
        return Confirmed{StampValue(ToText(rows[0][0])), ToText(rows[0][1])};
    });
}

// Forwarded entries from a station's store.

QJsonObject Record::BeginPayload(const QString& runId, const QDateTime& startedAt,
                                 const RunStart& s) {
    return {{QStringLiteral("id"), runId},
            {QStringLiteral("started_at"), StampText(startedAt)},
            {QStringLiteral("station"), s.station},
            {QStringLiteral("port"), s.port},
            {QStringLiteral("adapter"), s.adapter},
            {QStringLiteral("package_name"), s.packageName},
            {QStringLiteral("package_sha256"), s.packageSha256},
            {QStringLiteral("page_count"), s.pageCount},
            {QStringLiteral("hardware_versions"), s.hardwareVersions},
            {QStringLiteral("program_versions"), s.programVersions},
            {QStringLiteral("technology"), s.technology},
            {QStringLiteral("boot_all"), s.bootAll},
            {QStringLiteral("hw"), s.hardware},
            {QStringLiteral("pool"), s.pool},
            {QStringLiteral("log_path"), s.logPath}};
}

QJsonObject Record::EndPayload(const QString& runId, const QDateTime& endedAt, const RunEnding& e) {
    // The keys an older version's journal used, so that its endings are forwarded as they are.
    return {{QStringLiteral("id"), runId},
            {QStringLiteral("ended_at"), StampText(endedAt)},
            {QStringLiteral("outcome"), e.outcome},
            {QStringLiteral("outcome_text"), e.outcomeText},
            {QStringLiteral("duration_ms"), QString::number(e.durationMs)},
            {QStringLiteral("pages_sent"), e.pagesSent},
            {QStringLiteral("serial_number"), e.serialNumber},
            {QStringLiteral("serial_confirmed"), e.serialNumberConfirmed}};
}

void Record::ApplyBegin(const QString& id, const QString& started, const RunStart& s) {
    // The run's row under the id and stamp it was given (here, or on a station): a row written
    // twice is written once.
    db_->Exec(
        QStringLiteral("INSERT INTO runs (id, station, port, adapter, package_name, package_sha256,"
                       " page_count, hardware_versions, program_versions, technology, boot_all,"
                       " hw, pool, started_at, log_path)"
                       " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15)"
                       " ON CONFLICT (id) DO NOTHING"),
        {id, s.station, s.port, s.adapter.isEmpty() ? Value() : Value(s.adapter), s.packageName,
         s.packageSha256, QString::number(s.pageCount), s.hardwareVersions, s.programVersions,
         Flag(s.technology), Flag(s.bootAll), s.technology ? Value(s.hardware) : Value(),
         s.pool.isEmpty() ? Value() : Value(s.pool), started,
         s.logPath.isEmpty() ? Value() : Value(s.logPath)});
}

void Record::RequireRow(const QString& sql, const QString& key, const QString& refusal) {
    // A step that changed nothing because its row is missing would otherwise vanish unseen.
    if (db_->Exec(sql, {key}).empty())
        Refuse(refusal);
}

void Record::ApplyForwarded(const QString& kind, const QJsonObject& p) {
    const std::lock_guard lock(mutex_);
    auto text = [&](const char* key) { return p.value(QLatin1String(key)).toString(); };
    auto flag = [&](const char* key) { return p.value(QLatin1String(key)).toBool(); };
    const QString id = text("id");
    if (kind == QLatin1String("begin")) {
        RunStart s;
        s.station = text("station");
        s.port = text("port");
        s.adapter = text("adapter");
        s.packageName = text("package_name");
        s.packageSha256 = text("package_sha256");
        s.pageCount = p.value(QLatin1String("page_count")).toInt();
        s.hardwareVersions = text("hardware_versions");
        s.programVersions = text("program_versions");
        s.technology = flag("technology");
        s.bootAll = flag("boot_all");
        s.hardware = text("hw");
        s.pool = text("pool");
        s.logPath = text("log_path");
        const QString started = text("started_at");
        if (id.isEmpty() || !StampValue(started).isValid())
            Refuse(QStringLiteral("A forwarded run start without its id or start time"));
        Reaching([&] { ApplyBegin(id, started, s); });
    } else if (kind == QLatin1String("end")) {
        RunEnding e;
        e.outcome = text("outcome");
        e.outcomeText = text("outcome_text");
        e.durationMs = text("duration_ms").toULongLong();
        e.pagesSent = p.value(QLatin1String("pages_sent")).toInt();
        e.serialNumber = text("serial_number");
        e.serialNumberConfirmed = flag("serial_confirmed");
        Reaching([&] {
            RequireRow(QStringLiteral("SELECT 1 FROM runs WHERE id = $1"), id,
                       QStringLiteral("The record holds no run %1 to end").arg(id));
            ApplyEnd(id, e, text("ended_at"));
        });
    } else if (kind == QLatin1String("settle")) {
        const QString number = text("number");
        Reaching([&] {
            RequireRow(
                QStringLiteral("SELECT 1 FROM numbers WHERE number = $1"), number,
                QStringLiteral("The record holds no serial number %1 to settle").arg(number));
            ApplySettle(number, flag("confirmed"), text("at"));
        });
    } else if (kind == QLatin1String("settle_run")) {
        Reaching([&] {
            RequireRow(QStringLiteral("SELECT 1 FROM numbers WHERE run_id = $1"
                                      " UNION ALL SELECT 1 FROM given_numbers WHERE run_id = $1"),
                       id, QStringLiteral("The record gave the run %1 no number").arg(id));
            ApplySettleRun(id, flag("confirmed"), text("at"));
        });
    } else if (kind == QLatin1String("give")) {
        GivenNumber holder;
        if (!GiveNumber(text("number"), id, flag("renumber"), &holder))
            Refuse(QStringLiteral("S/N %1 is given already (run %2 on %3)")
                       .arg(holder.number, holder.runId, holder.station));
    } else if (kind == QLatin1String("take")) {
        const QString number = text("number");
        const QString lease = text("lease");
        if (id.isEmpty() || number.isEmpty() || lease.isEmpty())
            Refuse(QStringLiteral("A forwarded take without its run, number or lease"));
        Reaching([&] {
            RequireRow(QStringLiteral("SELECT 1 FROM runs WHERE id = $1"), id,
                       QStringLiteral("The record holds no run %1 to number").arg(id));
            ApplyTake(number, id, lease, text("at"));
        });
    } else if (kind == QLatin1String("return")) {
        Reaching([&] { ApplyReturn(text("lease"), text("at")); });
    } else if (kind == QLatin1String("stopped")) {
        // A station's last word; a station the record never heard of has no row to end.
        if (!StampValue(text("at")).isValid())
            Refuse(QStringLiteral("A forwarded stop without its time"));
        Reaching([&] {
            db_->Exec(QStringLiteral("UPDATE stations SET stopped_at = $2"
                                     " WHERE holder = $1 AND stopped_at IS NULL"),
                      {text("holder"), text("at")});
        });
    } else {
        Refuse(QStringLiteral("A forwarded entry of an unknown kind \"%1\"").arg(kind));
    }
}

void Record::Beat(const StationBeat& beat) {
    const std::lock_guard lock(mutex_);
    QJsonArray lanes;
    for (const LaneBeat& lane : beat.lanes) {
        QJsonObject o{{"port", lane.port}, {"state", lane.state}};
        if (!lane.lastOutcome.isEmpty()) {
            o.insert("last_outcome", lane.lastOutcome);
            o.insert("last_at", StampText(lane.lastAt));
        }
        lanes.append(o);
    }
    const QString seen = Stamp();
    const std::vector<Value> params = {
        beat.holder,
        beat.station,
        StampText(beat.startedAt),
        seen,
        beat.packageName,
        beat.packageSha256,
        beat.pool,
        QString::number(beat.waiting),
        QString::number(beat.leaseLeft),
        QString::fromUtf8(QJsonDocument(lanes).toJson(QJsonDocument::Compact))};
    Reaching([&] {
        db_->Exec(QStringLiteral(
                      "INSERT INTO stations (holder, station, started_at, seen_at, package_name,"
                      " package_sha256, pool, waiting, lease_left, lanes)"
                      " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)"
                      " ON CONFLICT (holder) DO UPDATE SET seen_at = $4, package_name = $5,"
                      " package_sha256 = $6, pool = $7, waiting = $8, lease_left = $9,"
                      " lanes = $10"),
                  params);
    });
}

Lease Record::LeaseNumbers(const QString& pool, const QString& station, const QString& holder,
                           int count, int64_t lifetimeS) {
    const std::lock_guard lock(mutex_);
    if (count <= 0 || lifetimeS <= 0)
        Refuse(QStringLiteral("A lease needs at least one number and a lifetime"));
    return Reaching([&] {
        WriteTransaction transaction(*db_);
        ReclaimLocked();
        Lease lease;
        lease.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        lease.pool = pool;
        lease.grantedAt = now_();
        lease.lifetimeS = lifetimeS;
        const QString at = StampText(lease.grantedAt);
        for (int i = 0; i < count; ++i) {
            const QString number = ClaimLocked(pool, QStringLiteral("leased"), {}, lease.id, at);
            if (number.isEmpty())
                break;
            lease.numbers << number;
        }
        if (lease.numbers.isEmpty())
            return lease;  // nothing to commit but the pool row's lock
        db_->Exec(QStringLiteral("INSERT INTO leases (id, pool, station, holder, first_number,"
                                 " last_number, count, granted_at, lifetime_s, expires_at)"
                                 " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)"),
                  {lease.id, pool, station, holder, lease.numbers.front(), lease.numbers.back(),
                   QString::number(lease.numbers.size()), at, QString::number(lifetimeS),
                   StampText(lease.grantedAt.addSecs(lifetimeS))});
        transaction.Commit();
        return lease;
    });
}

std::vector<LeaseStatus> Record::Leases(const QString& pool) {
    const std::lock_guard lock(mutex_);
    return Reaching([&] {
        const Rows rows = db_->Exec(
            QStringLiteral("SELECT l.id, l.pool, l.station, l.holder, l.first_number,"
                           " l.last_number, l.count, l.granted_at, l.expires_at, l.released_at,"
                           " l.released_by, l.reclaimed_at,"
                           " (SELECT count(*) FROM numbers n WHERE n.lease_id = l.id"
                           " AND n.state = 'leased')"
                           " FROM leases l WHERE ($1 = '' OR l.pool = $1)"
                           " AND (l.released_at IS NULL OR EXISTS (SELECT 1 FROM numbers n"
                           " WHERE n.lease_id = l.id AND n.state = 'leased'))"
                           " ORDER BY l.granted_at, l.pool, l.first_number"),
            {pool});
        std::vector<LeaseStatus> leases;
        for (const Row& r : rows) {
            LeaseStatus l;
            l.id = ToText(r[0]);
            l.pool = ToText(r[1]);
            l.station = ToText(r[2]);
            l.holder = ToText(r[3]);
            l.first = ToText(r[4]);
            l.last = ToText(r[5]);
            l.count = ToInt(r[6]);
            l.grantedAt = StampValue(ToText(r[7]));
            l.expiresAt = StampValue(ToText(r[8]));
            if (r[9])
                l.releasedAt = StampValue(ToText(r[9]));
            l.releasedBy = ToText(r[10]);
            l.reclaimed = r[11].has_value();
            l.left = ToInt(r[12]);
            leases.push_back(l);
        }
        return leases;
    });
}

bool Record::ReleaseLease(const QString& leaseId) {
    const std::lock_guard lock(mutex_);
    return Reaching([&] {
        WriteTransaction transaction(*db_);
        const bool released = !db_->Exec(QStringLiteral("UPDATE leases SET released_at = $2,"
                                                        " released_by = 'hand' WHERE id = $1"
                                                        " AND released_at IS NULL RETURNING id"),
                                         {leaseId, Stamp()})
                                   .empty();
        ReclaimLocked();
        transaction.Commit();
        return released;
    });
}

void Record::ReclaimLocked() {
    // Stamps are ISO text of one width, so text order is time order.
    const QString due = StampText(now_().addSecs(-kLeaseClockGraceS));
    const Rows leases = db_->Exec(QStringLiteral("SELECT id, pool FROM leases"
                                                 " WHERE released_by = 'hand'"
                                                 " AND reclaimed_at IS NULL AND expires_at <= $1"),
                                  {due});
    for (const Row& lease : leases) {
        const QString id = ToText(lease[0]);
        const QString pool = ToText(lease[1]);
        // The pool's row first, as a claim holds it.
        db_->Exec(QStringLiteral("UPDATE pools SET next_value = next_value WHERE name = $1"),
                  {pool});
        const Rows back = db_->Exec(QStringLiteral("UPDATE numbers SET state = 'returned',"
                                                   " lease_id = NULL WHERE lease_id = $1"
                                                   " AND state = 'leased' RETURNING number"),
                                    {id});
        Shift(pool, QStringLiteral("leased"), QStringLiteral("returned"), back.size());
        db_->Exec(QStringLiteral("UPDATE leases SET reclaimed_at = $2 WHERE id = $1"),
                  {id, Stamp()});
    }
}

QString Record::LockLeasePool(const QString& leaseId) {
    const Rows lease =
        db_->Exec(QStringLiteral("SELECT pool FROM leases WHERE id = $1"), {leaseId});
    if (lease.empty())
        Refuse(QStringLiteral("The record holds no lease %1").arg(leaseId));
    const QString pool = ToText(lease[0][0]);
    // The pool's row first, as a claim holds it.
    db_->Exec(QStringLiteral("UPDATE pools SET next_value = next_value WHERE name = $1"), {pool});
    return pool;
}

void Record::ApplyTake(const QString& number, const QString& runId, const QString& leaseId,
                       const QString& at) {
    WriteTransaction transaction(*db_);
    LockLeasePool(leaseId);
    const Rows taken = db_->Exec(QStringLiteral("UPDATE numbers SET state = 'sent', run_id = $2,"
                                                " taken_at = $4 WHERE number = $1"
                                                " AND lease_id = $3 AND state = 'leased'"
                                                " RETURNING pool"),
                                 {number, runId, leaseId, at});
    if (taken.empty()) {
        // Applied before: the number is the run's already.
        if (db_->Exec(QStringLiteral("SELECT 1 FROM numbers WHERE number = $1 AND run_id = $2"),
                      {number, runId})
                .empty())
            Refuse(QStringLiteral("S/N %1 is no longer in the lease %2: not given to run %3")
                       .arg(number, leaseId, runId));
        return;
    }
    CountState(ToText(taken[0][0]), QStringLiteral("leased"), QStringLiteral("sent"));
    db_->Exec(QStringLiteral("UPDATE runs SET serial_number = $2, serial_confirmed = 0"
                             " WHERE id = $1 AND serial_number IS NULL"),
              {runId, number});
    transaction.Commit();
}

void Record::ApplyReturn(const QString& leaseId, const QString& at) {
    WriteTransaction transaction(*db_);
    const QString pool = LockLeasePool(leaseId);
    const Rows back = db_->Exec(QStringLiteral("UPDATE numbers SET state = 'returned',"
                                               " lease_id = NULL WHERE lease_id = $1"
                                               " AND state = 'leased' RETURNING number"),
                                {leaseId});
    Shift(pool, QStringLiteral("leased"), QStringLiteral("returned"), back.size());
    db_->Exec(QStringLiteral("UPDATE leases SET released_at = COALESCE(released_at, $2),"
                             " released_by = COALESCE(released_by, 'station'),"
                             " reclaimed_at = COALESCE(reclaimed_at, $2) WHERE id = $1"),
              {leaseId, at});
    transaction.Commit();
}

}  // namespace kvr::record

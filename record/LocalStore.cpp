#include "LocalStore.h"

#include <sqlite3.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QStringList>

#include "Database.h"
#include "Record.h"

namespace kvr::record {

namespace {

constexpr int kProbeBusyTimeoutMs = 15000;
constexpr int kProblemsShown = 3;

QString Refusal(const QString& path, const QString& why) {
    return QStringLiteral("The station store %1 cannot be used: %2. It is left as it is.")
        .arg(path, why);
}

QString Newer(const QString& path, int found) {
    return Refusal(path, QStringLiteral("it was written by a newer version of the tool (store "
                                        "schema %1; this one knows %2)")
                             .arg(found)
                             .arg(kStoreSchemaVersion));
}

// Looks at an existing file before anything may write to it (the WAL switch would): a file
// that is no database, a damaged one, or a newer store is refused as it is. A busy file is
// "unreachable" (another process holds it), as the database says.
void Probe(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.size() == 0)
        return;
    sqlite3* db = nullptr;
    const int opened =
        sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
    if (opened != SQLITE_OK) {
        throw RecordError(QStringLiteral("Cannot open the station store %1: %2")
                              .arg(path, QString::fromUtf8(sqlite3_errstr(opened))),
                          true);
    }
    sqlite3_busy_timeout(db, kProbeBusyTimeoutMs);
    auto rows = [&](const char* sql) {
        QStringList out;
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
                out << QString::fromUtf8(
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
        const QString reason = QString::fromUtf8(sqlite3_errmsg(db));  // finalize clears it
        sqlite3_finalize(statement);
        if (rc != SQLITE_DONE) {
            const int primary = rc & 0xFF;
            if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
                throw RecordError(QStringLiteral("%1: %2").arg(path, reason), true);
            throw RecordError(Refusal(path, reason), false);
        }
        return out;
    };
    const QStringList problems = rows("PRAGMA quick_check");
    if (problems != QStringList{QStringLiteral("ok")}) {
        throw RecordError(
            Refusal(path, QStringLiteral("it is damaged (%1)")
                              .arg(problems.mid(0, kProblemsShown).join("; ").simplified())),
            false);
    }
    if (rows("SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'meta'").isEmpty())
        return;
    const QStringList version = rows("SELECT value FROM meta WHERE key = 'schema_version'");
    if (!version.isEmpty() && version.front().toInt() > kStoreSchemaVersion)
        throw RecordError(Newer(path, version.front().toInt()), false);
}

QString Text(const Value& v) {
    return v.value_or(QString());
}

StoreEntry ToEntry(const Row& row) {
    StoreEntry e;
    e.seq = Text(row[0]).toLongLong();
    e.record = Text(row[1]);
    e.kind = Text(row[2]);
    e.payload = QJsonDocument::fromJson(Text(row[3]).toUtf8()).object();
    e.writtenAt = StampValue(Text(row[4]));
    return e;
}

}  // namespace

LocalStore::LocalStore(QString path, std::unique_ptr<Database> db)
    : path_(std::move(path)),
      db_(std::move(db)),
      now_([] { return QDateTime::currentDateTimeUtc(); }) {}

LocalStore::~LocalStore() = default;

std::unique_ptr<LocalStore> LocalStore::Open(const QString& path) {
    Probe(path);
    std::unique_ptr<Database> db;
    try {
        db = OpenSqlite(path);
    } catch (const RecordError& e) {
        if (e.Unreachable())
            throw;
        throw RecordError(Refusal(path, e.Text()), false);
    }
    std::unique_ptr<LocalStore> store(new LocalStore(path, std::move(db)));
    store->PrepareSchema();
    return store;
}

void LocalStore::SetNow(std::function<QDateTime()> now) {
    const std::lock_guard lock(mutex_);
    now_ = std::move(now);
}

void LocalStore::PrepareSchema() {
    auto version = [this] {
        if (!db_->TableExists(QStringLiteral("meta")))
            return 0;
        const Rows rows =
            db_->Exec(QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"));
        return rows.empty() ? 0 : Text(rows[0][0]).toInt();
    };
    if (version() == kStoreSchemaVersion)
        return;
    WriteTransaction transaction(*db_);
    const int current = version();  // another process may have been first
    if (current > kStoreSchemaVersion)
        throw RecordError(Newer(path_, current), false);
    if (current == 0) {
        for (const char* statement : {
                 "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
                 // AUTOINCREMENT: a seq is never given again, even after the last entry went.
                 "CREATE TABLE entries (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " record TEXT NOT NULL, kind TEXT NOT NULL, payload TEXT NOT NULL,"
                 " written_at TEXT NOT NULL)",
                 "CREATE INDEX entries_record ON entries (record, seq)",
                 "CREATE TABLE dead (seq INTEGER PRIMARY KEY, record TEXT NOT NULL,"
                 " kind TEXT NOT NULL, payload TEXT NOT NULL, written_at TEXT NOT NULL,"
                 " failed_at TEXT NOT NULL, reason TEXT NOT NULL)",
                 // The leases a station process holds, so that a later process gives back
                 // those of one that was killed.
                 "CREATE TABLE leases (id TEXT PRIMARY KEY, record TEXT NOT NULL,"
                 " session TEXT NOT NULL, granted_at TEXT NOT NULL)",
             })
            db_->Exec(QString::fromUtf8(statement));
        db_->Exec(QStringLiteral("INSERT INTO meta (key, value) VALUES ('schema_version', $1)"),
                  {QString::number(kStoreSchemaVersion)});
    }
    transaction.Commit();
}

int64_t LocalStore::Append(const QString& record, const QString& kind, const QJsonObject& payload) {
    const std::lock_guard lock(mutex_);
    WriteTransaction transaction(*db_);
    const Rows rows = db_->Exec(
        QStringLiteral("INSERT INTO entries (record, kind, payload, written_at)"
                       " VALUES ($1, $2, $3, $4) RETURNING seq"),
        {record, kind, QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact)),
         StampText(now_())});
    transaction.Commit();
    return Text(rows.at(0)[0]).toLongLong();
}

std::vector<StoreEntry> LocalStore::Pending(const QString& record, int limit) {
    const std::lock_guard lock(mutex_);
    std::vector<StoreEntry> entries;
    for (const Row& row : db_->Exec(QStringLiteral("SELECT seq, record, kind, payload, written_at"
                                                   " FROM entries WHERE record = $1"
                                                   " ORDER BY seq LIMIT $2"),
                                    {record, QString::number(limit)}))
        entries.push_back(ToEntry(row));
    return entries;
}

void LocalStore::Remove(int64_t seq) {
    const std::lock_guard lock(mutex_);
    db_->Exec(QStringLiteral("DELETE FROM entries WHERE seq = $1"), {QString::number(seq)});
}

int64_t LocalStore::Count(const QString& record) {
    const std::lock_guard lock(mutex_);
    return Text(
               db_->Exec(QStringLiteral("SELECT count(*) FROM entries WHERE record = $1"), {record})
                   .at(0)[0])
        .toLongLong();
}

std::optional<QDateTime> LocalStore::OldestPendingAt(const QString& record) {
    const std::lock_guard lock(mutex_);
    const Rows rows = db_->Exec(QStringLiteral("SELECT written_at FROM entries WHERE record = $1"
                                               " ORDER BY seq LIMIT 1"),
                                {record});
    if (rows.empty())
        return std::nullopt;
    return StampValue(Text(rows[0][0]));
}

void LocalStore::Bury(int64_t seq, const QString& reason) {
    const std::lock_guard lock(mutex_);
    WriteTransaction transaction(*db_);
    // Two senders may bury the same entry: the first one's reason stays.
    db_->Exec(QStringLiteral("INSERT OR IGNORE INTO dead (seq, record, kind, payload, written_at,"
                             " failed_at, reason) SELECT seq, record, kind, payload, written_at,"
                             " $2, $3 FROM entries WHERE seq = $1"),
              {QString::number(seq), StampText(now_()), reason});
    db_->Exec(QStringLiteral("DELETE FROM entries WHERE seq = $1"), {QString::number(seq)});
    transaction.Commit();
}

std::vector<DeadEntry> LocalStore::Dead(const QString& record) {
    const std::lock_guard lock(mutex_);
    std::vector<DeadEntry> dead;
    for (const Row& row :
         db_->Exec(QStringLiteral("SELECT seq, record, kind, payload, written_at, failed_at,"
                                  " reason FROM dead WHERE record = $1 ORDER BY seq"),
                   {record})) {
        DeadEntry d;
        d.entry = ToEntry(row);
        d.failedAt = StampValue(Text(row[5]));
        d.reason = Text(row[6]);
        dead.push_back(std::move(d));
    }
    return dead;
}

void LocalStore::KeepLease(const QString& record, const QString& session, const QString& lease) {
    const std::lock_guard lock(mutex_);
    db_->Exec(QStringLiteral("INSERT OR IGNORE INTO leases (id, record, session, granted_at)"
                             " VALUES ($1, $2, $3, $4)"),
              {lease, record, session, StampText(now_())});
}

void LocalStore::ReturnLease(const QString& record, const QString& lease, const QDateTime& at) {
    const std::lock_guard lock(mutex_);
    WriteTransaction transaction(*db_);
    // The return waits behind every take of the lease already in line.
    db_->Exec(QStringLiteral("INSERT INTO entries (record, kind, payload, written_at)"
                             " VALUES ($1, 'return', $2, $3)"),
              {record,
               QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("lease"), lease},
                                                           {QStringLiteral("at"), StampText(at)}})
                                     .toJson(QJsonDocument::Compact)),
               StampText(now_())});
    db_->Exec(QStringLiteral("DELETE FROM leases WHERE id = $1"), {lease});
    transaction.Commit();
}

std::vector<std::pair<QString, QString>> LocalStore::HeldLeases(const QString& record) {
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<QString, QString>> held;
    for (const Row& row : db_->Exec(QStringLiteral("SELECT session, id FROM leases"
                                                   " WHERE record = $1 ORDER BY granted_at"),
                                    {record}))
        held.emplace_back(Text(row[0]), Text(row[1]));
    return held;
}

}  // namespace kvr::record

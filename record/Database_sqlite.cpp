#include <sqlite3.h>

#include "Database.h"

namespace kvr::record {

namespace {

// Several stations' processes may write one file at once; a writer waits this long for another's
// transaction before it gives up.
constexpr int kBusyTimeoutMs = 15000;

class SqliteDatabase final : public Database {
public:
    SqliteDatabase(const QString& path, bool readOnly) : path_(path), readOnly_(readOnly) {
        const int flags =
            readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            const QString reason = db_ != nullptr ? QString::fromUtf8(sqlite3_errmsg(db_))
                                                  : QString::fromUtf8(sqlite3_errstr(rc));
            sqlite3_close(db_);
            db_ = nullptr;
            throw RecordError(QStringLiteral("Cannot open %1: %2").arg(path, reason), true);
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
        try {
            Prepare();
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteDatabase() override { sqlite3_close(db_); }

    void Prepare() {
        // Reading the header tells a file that is no database before anything is written to it.
        Exec(QStringLiteral("SELECT count(*) FROM sqlite_master"), {});
        if (readOnly_)
            return;
        // WAL lets history read while a station writes; FULL makes every commit survive a
        // power cut, which is what a taken serial number needs.
        Exec(QStringLiteral("PRAGMA journal_mode=WAL"), {});
        Exec(QStringLiteral("PRAGMA synchronous=FULL"), {});
        Exec(QStringLiteral("PRAGMA foreign_keys=ON"), {});
    }

    Rows Exec(const QString& sql, const std::vector<Value>& params) override {
        // "$1" is SQLite's "?1". No regular expression here: this runs on the station's worker
        // threads, and Qt's per-thread regex stack was seen to crash at such a thread's end on
        // Windows.
        QString text = sql;
        for (qsizetype i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == u'$' && text[i + 1].isDigit())
                text[i] = u'?';
        }
        const QByteArray utf8 = text.toUtf8();
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db_, utf8.constData(), static_cast<int>(utf8.size()),
                                    &statement, nullptr);
        if (rc != SQLITE_OK)
            Fail(rc);
        struct Finalize {
            sqlite3_stmt* s;
            ~Finalize() { sqlite3_finalize(s); }
        } finalize{statement};
        std::vector<QByteArray> bound;  // alive until the statement has run
        bound.reserve(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            const int index = static_cast<int>(i) + 1;
            if (!params[i]) {
                rc = sqlite3_bind_null(statement, index);
            } else {
                bound.push_back(params[i]->toUtf8());
                rc = sqlite3_bind_text(statement, index, bound.back().constData(),
                                       static_cast<int>(bound.back().size()), SQLITE_STATIC);
            }
            if (rc != SQLITE_OK)
                Fail(rc);
        }
        Rows rows;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const int columns = sqlite3_column_count(statement);
            Row row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
                    row.emplace_back(std::nullopt);
                } else {
                    const auto* data =
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                    row.emplace_back(QString::fromUtf8(data, sqlite3_column_bytes(statement, c)));
                }
            }
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE)
            Fail(rc);
        return rows;
    }

    void BeginWrite() override { Exec(QStringLiteral("BEGIN IMMEDIATE"), {}); }
    void Commit() override {
        try {
            Exec(QStringLiteral("COMMIT"), {});
        } catch (const RecordError&) {
            // A BUSY COMMIT leaves the transaction open; the next write would fall into it.
            Rollback();
            throw;
        }
    }
    void Rollback() noexcept override {
        if (sqlite3_get_autocommit(db_) == 0)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void LockSchema() override {}  // BEGIN IMMEDIATE holds the file's write lock already
    bool TableExists(const QString& table) override {
        return !Exec(QStringLiteral(
                         "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1"),
                     {table})
                    .empty();
    }
    bool Connected() const override { return true; }
    void Reconnect() override {}

private:
    [[noreturn]] void Fail(int rc) {
        const int primary = rc & 0xFF;
        // A locked or unreadable file may be fine a moment later; a file that is no database,
        // or a statement the schema refuses, never will be.
        const bool transient = primary == SQLITE_BUSY || primary == SQLITE_LOCKED ||
                               primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN ||
                               primary == SQLITE_FULL;
        throw RecordError(
            QStringLiteral("%1: %2").arg(path_, QString::fromUtf8(sqlite3_errmsg(db_))), transient);
    }

    QString path_;
    bool readOnly_ = false;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const QString& path, bool readOnly) {
    return std::make_unique<SqliteDatabase>(path, readOnly);
}

}  // namespace kvr::record

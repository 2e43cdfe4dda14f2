// A connection to one SQL database, SQLite or PostgreSQL, with the little the record needs:
// statements with parameters, text results and transactions. Statements are written once for
// both: parameters are $1, $2, … and every value travels as text (or NULL).
//
// Not thread-safe: one connection, one caller at a time (Record holds the lock).
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace kvr::record {

// A database error. unreachable: the server could not be reached or the connection broke, so
// the same statement may work later; otherwise the database refused it (or the file is no
// database) and trying again will not help.
class RecordError : public std::runtime_error {
public:
    RecordError(const QString& message, bool unreachable)
        : std::runtime_error(message.toStdString()), unreachable_(unreachable) {}
    QString Text() const { return QString::fromUtf8(what()); }
    bool Unreachable() const { return unreachable_; }

private:
    bool unreachable_;
};

using Value = std::optional<QString>;  // NULL is nullopt
using Row = std::vector<Value>;
using Rows = std::vector<Row>;

class Database {
public:
    virtual ~Database() = default;

    // Runs one statement; rows it returns (RETURNING included). Throws RecordError.
    virtual Rows Exec(const QString& sql, const std::vector<Value>& params = {}) = 0;

    // A transaction that takes the write lock at once: two writers never both read the same
    // counter before either has written it.
    virtual void BeginWrite() = 0;
    // Ends the transaction either way: what a failed COMMIT left open is rolled back.
    virtual void Commit() = 0;
    // Never throws: a broken connection has rolled back already.
    virtual void Rollback() noexcept = 0;

    // Serialises schema changes between processes that open a fresh record at once.
    virtual void LockSchema() = 0;
    virtual bool TableExists(const QString& table) = 0;

    // True when the connection is believed usable; a broken one is reopened by Reconnect.
    virtual bool Connected() const = 0;
    virtual void Reconnect() = 0;
};

// path: the database file, created when missing (its folder must exist). readOnly: never
// created, never written, not even its journal mode.
std::unique_ptr<Database> OpenSqlite(const QString& path, bool readOnly = false);
// conninfo: libpq's keyword=value form. The password comes from PGPASSWORD or the .pgpass file.
// readOnly: every transaction of the session is read-only, refused by the server otherwise.
std::unique_ptr<Database> OpenPostgres(const QString& conninfo, bool readOnly = false);

// Commits at Commit(), rolls back when left without (an exception on the way).
class WriteTransaction {
public:
    explicit WriteTransaction(Database& db) : db_(db) { db_.BeginWrite(); }
    ~WriteTransaction() {
        if (!done_)
            db_.Rollback();
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    // A COMMIT that fails (SQLite's BUSY keeps the transaction open) is rolled back by the
    // destructor, so later statements never run inside it.
    void Commit() {
        db_.Commit();
        done_ = true;
    }

private:
    Database& db_;
    bool done_ = false;
};

}  // namespace kvr::record

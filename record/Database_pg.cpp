#include <libpq-fe.h>

#include <memory>

#include "Database.h"
#include "PostgresDeadlines.h"
#include "SocketWait.h"

namespace kvr::record {

namespace {

using Clock = std::chrono::steady_clock;

// Unacknowledged data on a connection whose network went away ends it after this long (Linux
// only; the deadlines cover every platform).
constexpr int kTcpUserTimeoutMs = 5000;
// A station frozen or powered off inside a transaction (a taken number's) holds the pool's row
// lock; the server ends its session after this long instead of after the TCP keepalive (hours
// for a host that still answers it, a stopped process).
constexpr const char* kIdleInTransactionTimeout = "5s";
// Serialises first-time schema creation between stations.
constexpr const char* kSchemaLockKey = "727017";

QString Trimmed(const char* text) {
    return QString::fromUtf8(text != nullptr ? text : "").trimmed();
}

QString NoAnswer(std::chrono::seconds waited) {
    return QStringLiteral("the record's server did not answer within %1 s").arg(waited.count());
}

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

class PostgresDatabase final : public Database {
public:
    PostgresDatabase(const QString& conninfo, bool readOnly)
        : readOnly_(readOnly),
          conninfo_(conninfo + QStringLiteral(" tcp_user_timeout=%1 keepalives=1"
                                              " keepalives_idle=5 keepalives_interval=2"
                                              " keepalives_count=2 application_name=kvr-uplinker")
                                   .arg(kTcpUserTimeoutMs)) {
        Open();
    }
    ~PostgresDatabase() override { Close(); }

    Rows Exec(const QString& sql, const std::vector<Value>& params) override {
        return Run(sql, params, Clock::now() + kPgStatementDeadline, kPgStatementDeadline);
    }

    void BeginWrite() override { Exec(QStringLiteral("BEGIN"), {}); }
    void Commit() override {
        try {
            Exec(QStringLiteral("COMMIT"), {});
        } catch (const RecordError&) {
            Rollback();  // the server ends it already; a session never stays inside it
            throw;
        }
    }
    void Rollback() noexcept override {
        if (!Connected() || PQtransactionStatus(conn_) == PQTRANS_IDLE)
            return;
        try {
            Exec(QStringLiteral("ROLLBACK"), {});
        } catch (...) {
            // A connection that broke has rolled back on the server.
        }
    }
    void LockSchema() override {
        Exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(QLatin1String(kSchemaLockKey)),
             {});
    }
    bool TableExists(const QString& table) override {
        const Rows rows = Exec(QStringLiteral("SELECT to_regclass($1) IS NOT NULL"), {table});
        return !rows.empty() && rows[0][0] == QStringLiteral("t");
    }
    bool Connected() const override { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }
    void Reconnect() override {
        Close();
        Open();
    }

private:
    // Connects and sets the session up within kPgConnectDeadline; PQconnectdb would wait as
    // long as the server keeps the TCP connection without answering.
    void Open() {
        const Clock::time_point deadline = Clock::now() + kPgConnectDeadline;
        conn_ = PQconnectStart(conninfo_.toUtf8().constData());
        if (conn_ == nullptr)
            throw RecordError(QStringLiteral("Out of memory"), true);
        PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
        while (PQstatus(conn_) != CONNECTION_BAD && polling != PGRES_POLLING_OK &&
               polling != PGRES_POLLING_FAILED) {
            Await(polling == PGRES_POLLING_READING, polling == PGRES_POLLING_WRITING, deadline,
                  kPgConnectDeadline);
            polling = PQconnectPoll(conn_);
        }
        if (PQstatus(conn_) != CONNECTION_OK)
            Drop(Reason(nullptr));
        // libpq then never waits by itself, not even to send its goodbye in PQfinish.
        PQsetnonblocking(conn_, 1);
        // The server's notices ("relation already exists") are nobody's business on a console.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        try {
            Prepare(deadline);
        } catch (...) {
            Close();
            throw;
        }
    }

    void Prepare(Clock::time_point deadline) {
        const auto set = [&](const QString& sql) { Run(sql, {}, deadline, kPgConnectDeadline); };
        set(QStringLiteral("SET lock_timeout = '%1s'").arg(kPgLockTimeout.count()));
        set(QStringLiteral("SET statement_timeout = '%1s'").arg(kPgStatementTimeout.count()));
        set(QStringLiteral("SET client_encoding = 'UTF8'"));
        set(QStringLiteral("SET idle_in_transaction_session_timeout = '%1'")
                .arg(QLatin1String(kIdleInTransactionTimeout)));
        // Whatever the server, database or role default to: the pool's "UPDATE pools …
        // RETURNING" waits for another station's row lock and then reads its committed value,
        // which only READ COMMITTED does (a stricter level fails the take, and CreatePool's
        // check after the schema lock would read a snapshot taken before it).
        set(QStringLiteral(
            "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED"));
        // A database left read-only by default would refuse every take; a reader asks the
        // server to refuse any write of its own.
        set(readOnly_ ? QStringLiteral("SET default_transaction_read_only = on")
                      : QStringLiteral("SET default_transaction_read_only = off"));
        // A taken number must survive a server crash once its COMMIT returned; a stronger
        // setting (a synchronous standby) is kept.
        set(
            QStringLiteral("SELECT set_config('synchronous_commit', 'on', false)"
                           " WHERE current_setting('synchronous_commit') = 'off'"));
    }

    // One statement, sent and answered by `deadline`; `limit` names that deadline's length.
    Rows Run(const QString& sql, const std::vector<Value>& params, Clock::time_point deadline,
             std::chrono::seconds limit) {
        if (!Connected())
            throw RecordError(conn_ != nullptr ? Reason(nullptr) : lost_, true);
        std::vector<QByteArray> texts;
        std::vector<const char*> values;
        texts.reserve(params.size());
        for (const Value& v : params) {
            if (v) {
                texts.push_back(v->toUtf8());
                values.push_back(texts.back().constData());
            } else {
                values.push_back(nullptr);
            }
        }
        if (!PQsendQueryParams(conn_, sql.toUtf8().constData(), static_cast<int>(values.size()),
                               nullptr, values.data(), nullptr, nullptr, 0))
            Drop(Reason(nullptr));
        for (;;) {
            const int flushed = PQflush(conn_);
            if (flushed == 0)
                break;
            if (flushed < 0)
                Drop(Reason(nullptr));
            // The server may answer (an error) before it has read everything.
            Await(true, true, deadline, limit);
            Consume();
        }
        // Every result is read, so the connection is ready for the next statement; as with
        // PQexec, the last one counts unless an error came before it.
        Result result(nullptr, &PQclear);
        for (;;) {
            while (PQisBusy(conn_)) {
                Await(true, false, deadline, limit);
                Consume();
            }
            Result next(PQgetResult(conn_), &PQclear);
            if (next == nullptr)
                break;
            if (result == nullptr || PQresultStatus(result.get()) != PGRES_FATAL_ERROR)
                result = std::move(next);
            if (PQstatus(conn_) == CONNECTION_BAD)
                break;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw RecordError(Reason(result.get()), Transient(result.get()));
        Rows rows;
        const int count = PQntuples(result.get());
        const int columns = PQnfields(result.get());
        rows.reserve(static_cast<size_t>(count));
        for (int r = 0; r < count; ++r) {
            Row row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result.get(), r, c))
                    row.emplace_back(std::nullopt);
                else
                    row.emplace_back(QString::fromUtf8(PQgetvalue(result.get(), r, c),
                                                       PQgetlength(result.get(), r, c)));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // Waits for the connection's socket; past the deadline the connection is given up.
    void Await(bool forRead, bool forWrite, Clock::time_point deadline,
               std::chrono::seconds limit) {
        const int socket = PQsocket(conn_);
        const SocketWait waited =
            socket < 0 ? SocketWait::Failed : WaitForSocket(socket, forRead, forWrite, deadline);
        if (waited == SocketWait::TimedOut) {
            // Not PQcancel: it opens a connection of its own and waits for the server's
            // answer, which is what does not come. Closing never waits, and the server's own
            // limits (statement, idle in transaction) end what the session left behind.
            Drop(NoAnswer(limit));
        }
        if (waited == SocketWait::Failed)
            Drop(Reason(nullptr));
    }

    void Consume() {
        if (!PQconsumeInput(conn_))
            Drop(Reason(nullptr));
    }

    // Closes the connection, so that Connected() is false and Reaching makes a new one; a
    // connection left half-way through a statement could take no other.
    [[noreturn]] void Drop(const QString& reason) {
        Close();
        lost_ = reason;
        throw RecordError(reason, true);
    }

    void Close() {
        if (conn_ != nullptr)
            PQfinish(conn_);
        conn_ = nullptr;
    }

    QString Reason(const PGresult* result) const {
        QString text = result != nullptr ? Trimmed(PQresultErrorMessage(result)) : QString();
        if (text.isEmpty() && conn_ != nullptr)
            text = Trimmed(PQerrorMessage(conn_));
        // libpq's messages run over several lines; one line each reads better in a log.
        text.replace(u'\n', u' ');
        return text.isEmpty() ? QStringLiteral("connection lost") : text;
    }

    // Worth trying again later: the connection, the server going down, a lock or a conflict.
    bool Transient(const PGresult* result) const {
        if (PQstatus(conn_) != CONNECTION_OK)
            return true;
        const QString state = Trimmed(PQresultErrorField(result, PG_DIAG_SQLSTATE));
        return state.isEmpty() || state.startsWith(QLatin1String("08")) ||
               state.startsWith(QLatin1String("57")) || state.startsWith(QLatin1String("40")) ||
               state == QLatin1String("55P03");
    }

    const bool readOnly_;
    const QString conninfo_;
    PGconn* conn_ = nullptr;
    QString lost_ = QStringLiteral("connection lost");  // why conn_ is null
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const QString& conninfo, bool readOnly) {
    return std::make_unique<PostgresDatabase>(conninfo, readOnly);
}

}  // namespace kvr::record

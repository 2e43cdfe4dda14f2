#include <libpq-fe.h>

#include "Database.h"

namespace kvr::record {

namespace {

// How long a station waits for an unreachable server before it journals instead: connecting,
// and unacknowledged data on a connection whose network went away.
constexpr int kConnectTimeoutS = 5;
constexpr int kTcpUserTimeoutMs = 5000;
// A writer waits for another's row lock at most this long; a statement runs at most this long.
constexpr const char* kLockTimeout = "10s";
constexpr const char* kStatementTimeout = "30s";
// A station frozen or powered off inside a transaction (a taken number's) holds the pool's row
// lock; the server ends its session after this long instead of after the TCP keepalive (hours
// for a host that still answers it, a stopped process).
constexpr const char* kIdleInTransactionTimeout = "5s";
// Serialises first-time schema creation between stations.
constexpr const char* kSchemaLockKey = "727017";

QString Trimmed(const char* text) {
    return QString::fromUtf8(text != nullptr ? text : "").trimmed();
}

class PostgresDatabase final : public Database {
public:
    explicit PostgresDatabase(const QString& conninfo) {
        const QString full = conninfo + QStringLiteral(
                                            " connect_timeout=%1 tcp_user_timeout=%2 keepalives=1"
                                            " keepalives_idle=5 keepalives_interval=2"
                                            " keepalives_count=2 application_name=kvr-uplinker")
                                            .arg(kConnectTimeoutS)
                                            .arg(kTcpUserTimeoutMs);
        conn_ = PQconnectdb(full.toUtf8().constData());
        if (conn_ == nullptr)
            throw RecordError(QStringLiteral("Out of memory"), true);
        try {
            Prepare();
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }
    ~PostgresDatabase() override { PQfinish(conn_); }

    Rows Exec(const QString& sql, const std::vector<Value>& params) override {
        if (PQstatus(conn_) != CONNECTION_OK)
            throw RecordError(Reason(nullptr), true);
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
        PGresult* result =
            PQexecParams(conn_, sql.toUtf8().constData(), static_cast<int>(values.size()), nullptr,
                         values.data(), nullptr, nullptr, 0);
        struct Clear {
            PGresult* r;
            ~Clear() { PQclear(r); }
        } clear{result};
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw RecordError(Reason(result), Transient(result));
        Rows rows;
        const int count = PQntuples(result);
        const int columns = PQnfields(result);
        rows.reserve(static_cast<size_t>(count));
        for (int r = 0; r < count; ++r) {
            Row row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result, r, c))
                    row.emplace_back(std::nullopt);
                else
                    row.emplace_back(
                        QString::fromUtf8(PQgetvalue(result, r, c), PQgetlength(result, r, c)));
            }
            rows.push_back(std::move(row));
        }
        return rows;
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
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            PQclear(PQexec(conn_, "ROLLBACK"));
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
    bool Connected() const override { return PQstatus(conn_) == CONNECTION_OK; }
    void Reconnect() override {
        PQreset(conn_);
        Prepare();
    }

private:
    void Prepare() {
        if (PQstatus(conn_) != CONNECTION_OK)
            throw RecordError(Reason(nullptr), true);
        // The server's notices ("relation already exists") are nobody's business on a console.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        Exec(QStringLiteral("SET lock_timeout = '%1'").arg(QLatin1String(kLockTimeout)), {});
        Exec(QStringLiteral("SET statement_timeout = '%1'").arg(QLatin1String(kStatementTimeout)),
             {});
        Exec(QStringLiteral("SET client_encoding = 'UTF8'"), {});
        Exec(QStringLiteral("SET idle_in_transaction_session_timeout = '%1'")
                 .arg(QLatin1String(kIdleInTransactionTimeout)),
             {});
        // Whatever the server, database or role default to: the pool's "UPDATE pools …
        // RETURNING" waits for another station's row lock and then reads its committed value,
        // which only READ COMMITTED does (a stricter level fails the take, and CreatePool's
        // check after the schema lock would read a snapshot taken before it).
        Exec(QStringLiteral(
                 "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED"),
             {});
        // A database left read-only by default would refuse every take.
        Exec(QStringLiteral("SET default_transaction_read_only = off"), {});
        // A taken number must survive a server crash once its COMMIT returned; a stronger
        // setting (a synchronous standby) is kept.
        Exec(QStringLiteral("SELECT set_config('synchronous_commit', 'on', false)"
                            " WHERE current_setting('synchronous_commit') = 'off'"),
             {});
    }

    QString Reason(const PGresult* result) const {
        QString text = result != nullptr ? Trimmed(PQresultErrorMessage(result)) : QString();
        if (text.isEmpty())
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

    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const QString& conninfo) {
    return std::make_unique<PostgresDatabase>(conninfo);
}

}  // namespace kvr::record

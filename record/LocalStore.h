// A station's own store of what it has still to write to its record: a SQLite file on the
// station, written first, forwarded to the line's record when it answers (Sender.h).
//
// Durability: every entry is committed in a transaction of its own before Append returns, in
// WAL mode with synchronous=FULL, so neither a killed process nor a power cut after Append
// returned loses it.
//
// Sharing: several processes of one station may use one file at once; a writer waits up to
// 15 s for another's transaction (RecordError, unreachable, after that). One object may be
// used from several threads (one call at a time inside).
//
// A file that is no database, or a damaged one, is refused with a RecordError that names it
// (never unreachable) and is never replaced or changed; so is a store written by a newer
// version of the tool.
//
// Entries that the record refused for good are moved to the `dead` table with the reason, in
// the same file, for a person to read (sqlite3 FILE "SELECT * FROM dead"); they are never
// forwarded again by themselves.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kvr::record {

class Database;

inline constexpr int kStoreSchemaVersion = 1;

struct StoreEntry {
    int64_t seq = 0;  // grows with every Append, in every process; never reused
    QString record;   // the record it is for (RecordUrl::Identity())
    QString kind;     // "begin", "end", "settle", "settle_run", "give", "take", "return"
    QJsonObject payload;
    QDateTime writtenAt;  // UTC
};

struct DeadEntry {
    StoreEntry entry;
    QDateTime failedAt;  // UTC
    QString reason;      // the record's refusal
};

class LocalStore {
public:
    // Opens the store at `path`, creating it when missing (its folder must exist). Throws
    // RecordError naming the file: no database, damaged, or written by a newer version.
    static std::unique_ptr<LocalStore> Open(const QString& path);
    ~LocalStore();

    const QString& Path() const { return path_; }

    // Durable when it returns; returns the entry's seq. Throws RecordError.
    int64_t Append(const QString& record, const QString& kind, const QJsonObject& payload);
    // The oldest `limit` entries still to forward for `record`, in seq order.
    std::vector<StoreEntry> Pending(const QString& record, int limit);
    // The entry was forwarded; removing one that is gone already does nothing.
    void Remove(int64_t seq);
    int64_t Count(const QString& record);
    // When the oldest entry still to forward was written; none when there is none.
    std::optional<QDateTime> OldestPendingAt(const QString& record);

    // Moves the entry to the dead table with `reason`; one that is gone already stays gone.
    void Bury(int64_t seq, const QString& reason);
    std::vector<DeadEntry> Dead(const QString& record);

    // Leases of the record's pools held by a station process (`session`).
    void KeepLease(const QString& record, const QString& session, const QString& lease);
    // Appends the lease's "return" entry and forgets the lease, in one transaction.
    void ReturnLease(const QString& record, const QString& lease, const QDateTime& at);
    // (session, lease) of every lease kept for `record`, oldest first.
    std::vector<std::pair<QString, QString>> HeldLeases(const QString& record);

    // Stamps for the entries; the system's UTC time unless a test sets its own.
    void SetNow(std::function<QDateTime()> now);

private:
    LocalStore(QString path, std::unique_ptr<Database> db);
    void PrepareSchema();

    QString path_;
    std::unique_ptr<Database> db_;
    std::function<QDateTime()> now_;
    std::mutex mutex_;
};

}  // namespace kvr::record

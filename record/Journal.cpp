#include "Journal.h"

#include <QFile>
#include <QJsonDocument>
#include <QLockFile>
#include <QSaveFile>
#include <exception>

#include "Database.h"

namespace kvr::record {

namespace {

constexpr int kLockWaitMs = 10000;
const QString kRecordKey = QStringLiteral("record");

class Locked {
public:
    explicit Locked(const QString& path) : lock_(path + QStringLiteral(".lock")) {
        if (!lock_.tryLock(kLockWaitMs))
            throw RecordError(QStringLiteral("The journal %1 is locked").arg(path), true);
    }

private:
    QLockFile lock_;
};

}  // namespace

void Journal::Append(const QString& record, const QJsonObject& entry) {
    const Locked locked(path_);
    QJsonObject line = entry;
    line.insert(kRecordKey, record);
    QFile file(path_);
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
        throw RecordError(
            QStringLiteral("Cannot write the journal %1: %2").arg(path_, file.errorString()),
            false);
    }
}

int Journal::Replay(const QString& record, const std::function<void(const QJsonObject&)>& apply) {
    if (!QFile::exists(path_))
        return 0;
    const Locked locked(path_);
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();

    QByteArray kept;
    int applied = 0;
    std::exception_ptr stoppedBy;
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        // Another record's entries, and lines that are no entry, stay for a person to see.
        if (stoppedBy || entry.value(kRecordKey).toString() != record) {
            kept += line + '\n';
            continue;
        }
        try {
            apply(entry);
            ++applied;
        } catch (...) {
            stoppedBy = std::current_exception();
            kept += line + '\n';
        }
    }
    if (applied > 0) {
        if (kept.isEmpty()) {
            QFile::remove(path_);
        } else {
            QSaveFile out(path_);
            if (out.open(QIODevice::WriteOnly) && out.write(kept) == kept.size())
                out.commit();
        }
    }
    if (stoppedBy)
        std::rethrow_exception(stoppedBy);
    return applied;
}

}  // namespace kvr::record

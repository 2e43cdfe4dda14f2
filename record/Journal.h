// The journal in which earlier versions kept run endings while their record could not be
// reached: one JSON object a line, each naming its record. Nothing writes it any more; a
// station's ledger moves what it holds into the station's store. Several processes share the
// file (a lock file beside it); what a replay took leaves the file, the rest stays as it was.
#pragma once

#include <QJsonObject>
#include <QString>
#include <functional>

namespace kvr::record {

class Journal {
public:
    explicit Journal(QString path) : path_(std::move(path)) {}
    const QString& Path() const { return path_; }

    // Adds one entry for `record`. Throws RecordError when the file cannot be written.
    void Append(const QString& record, const QJsonObject& entry);
    // Hands each entry of `record` to apply, oldest first, until one throws; the ones applied
    // are taken out of the file. Returns how many were applied; rethrows what apply threw.
    int Replay(const QString& record, const std::function<void(const QJsonObject&)>& apply);

private:
    QString path_;
};

}  // namespace kvr::record

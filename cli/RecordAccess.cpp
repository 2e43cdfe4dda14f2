#include "RecordAccess.h"

#include "RecordedStation.h"

namespace kvr::cli {

std::unique_ptr<record::Record> OpenRecord(const QString& given, QString& error, bool& usage) {
    record::RecordUrl url;
    const QString text = given == QLatin1String("default") ? record::DefaultRecordUrl() : given;
    usage = !record::ParseRecordUrl(text, url, error);
    if (usage)
        return nullptr;
    try {
        return record::Record::Open(url, record::DefaultJournalPath());
    } catch (const record::RecordError& e) {
        error = e.Unreachable() ? station::RecordUnreachableText(url, e.Text()) : e.Text();
        return nullptr;
    }
}

}  // namespace kvr::cli

// The test command's PostgreSQL server as a record URL, for the tests that link the record.
#pragma once

#include <optional>

#include "PgTestServer.h"
#include "RecordUrl.h"

namespace kvr::test {

// The test server's record; none when there is no server (the test then skips).
inline std::optional<kvr::record::RecordUrl> PgTestRecordUrl() {
    const QString text = PgTestUrl();
    kvr::record::RecordUrl url;
    QString error;
    if (text.isEmpty() || !kvr::record::ParseRecordUrl(text, url, error))
        return std::nullopt;
    return url;
}

}  // namespace kvr::test

// The test command's PostgreSQL server as a record URL, for the tests that link the record.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>

#include "PgTestServer.h"
#include "RecordUrl.h"
#include "TcpRelay.h"

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

// `url` reached through a relay of the test's own, which can cut the line while the server,
// shared with other tests, is never touched; its password file goes in `dir`. Throws when the
// relay cannot listen.
inline kvr::record::RecordUrl ThroughRelay(const kvr::record::RecordUrl& url,
                                           std::unique_ptr<TcpRelay>& relay, const QString& dir) {
    relay = std::make_unique<TcpRelay>(static_cast<uint16_t>(url.port));
    if (relay->Port() == 0 || !PgPassThrough(url.host, url.port, relay->Port(), dir))
        throw std::runtime_error("no relay in front of the test server");
    kvr::record::RecordUrl through = url;
    through.port = relay->Port();
    return through;
}

}  // namespace kvr::test

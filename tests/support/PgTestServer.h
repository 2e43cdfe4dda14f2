// The PostgreSQL server the test command runs (scripts/pg-test-server.sh, a ctest fixture):
// its URL, its password file, and stopping and starting it under a running test.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdlib>

namespace kvr::test {

// The server's folder, from the fixture; empty outside ctest.
inline QString PgTestDir() {
    return qEnvironmentVariable("KVR_TEST_PG_DIR");
}

// The record URL of the test server, with PGPASSFILE set for it; empty when there is none.
inline QString PgTestUrl() {
    const QString dir = PgTestDir();
    QFile url(dir + QStringLiteral("/url"));
    if (dir.isEmpty() || !url.open(QIODevice::ReadOnly))
        return {};
    qputenv("PGPASSFILE", (dir + QStringLiteral("/pgpass")).toLocal8Bit());
    return QString::fromUtf8(url.readAll()).trimmed();
}

// "halt" or "resume": the server goes away with its data, or comes back on its port.
inline bool PgTestServer(const char* action) {
    const QByteArray command =
        QByteArray(KVR_PG_TEST_SCRIPT) + ' ' + action + " '" + PgTestDir().toLocal8Bit() + '\'';
    return std::system(command.constData()) == 0;
}

}  // namespace kvr::test

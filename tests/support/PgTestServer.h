// The PostgreSQL server the test command runs (scripts/pg-test-server.sh, a ctest fixture):
// its URL, its password file, and stopping and starting it under a running test.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

// The record the tests of `engine` ("sqlite" or "postgresql") use: a SQLite file in `dir`, or
// the test server's URL; empty when there is no server.
inline QString EngineRecordText(const char* engine, const QString& dir) {
    if (QLatin1String(engine) == QLatin1String("postgresql"))
        return PgTestUrl();
    return QStringLiteral("sqlite:") + QDir(dir).filePath(QStringLiteral("records.sqlite"));
}

// "halt" or "resume": the server goes away with its data, or comes back on its port.
inline bool PgTestServer(const char* action) {
    const QByteArray command =
        QByteArray(KVR_PG_TEST_SCRIPT) + ' ' + action + " '" + PgTestDir().toLocal8Bit() + '\'';
    return std::system(command.constData()) == 0;
}

// A password file in `dir` that also names `relayPort` (a relay in front of the server at
// host:port), set as PGPASSFILE; false when the server's own file cannot be read.
inline bool PgPassThrough(const QString& host, int port, uint16_t relayPort, const QString& dir) {
    QFile given(qEnvironmentVariable("PGPASSFILE"));
    if (!given.open(QIODevice::ReadOnly))
        return false;
    QByteArray lines = given.readAll();
    const QByteArray server = host.toUtf8() + ':' + QByteArray::number(port) + ':';
    for (const QByteArray& line : lines.split('\n')) {
        if (line.startsWith(server))
            lines += '\n' + host.toUtf8() + ':' + QByteArray::number(relayPort) +
                     line.mid(server.size() - 1) + '\n';
    }
    QFile copy(QDir(dir).filePath(QStringLiteral("pgpass")));
    if (!copy.open(QIODevice::WriteOnly))
        return false;
    copy.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    copy.write(lines);
    copy.close();
    qputenv("PGPASSFILE", copy.fileName().toLocal8Bit());
    return true;
}

// The postmaster of the server that scripts/pg-test-server.sh keeps in `dir` (its data
// folder's postmaster.pid) and every process it started: the sessions, the checkpointer and
// the rest. Linux: read from /proc.
inline std::vector<pid_t> PgServerProcesses(const QString& dir) {
    QFile own(dir + QStringLiteral("/server-dir"));
    if (!own.open(QIODevice::ReadOnly))
        return {};
    QFile pidFile(QString::fromUtf8(own.readAll()).trimmed() +
                  QStringLiteral("/data/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return {};
    const pid_t postmaster = static_cast<pid_t>(pidFile.readLine().trimmed().toLong());
    if (postmaster <= 0)
        return {};
    std::vector<pid_t> processes{postmaster};
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = static_cast<pid_t>(entry.toLong(&number));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!number || pid == postmaster || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid …", the name free to hold spaces and parentheses.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLong() == postmaster)
            processes.push_back(pid);
    }
    return processes;
}

}  // namespace kvr::test

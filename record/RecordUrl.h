// Where a production record lives, as the command line and the settings file name it:
//   sqlite:PATH                           a file on this station
//   postgresql://USER@HOST[:PORT]/DB      a server shared by a line
// The password never goes into the name: libpq takes it from PGPASSWORD or the user's .pgpass
// (%APPDATA%\postgresql\pgpass.conf on Windows), as PostgreSQL's own tools do.
#pragma once

#include <QString>

namespace kvr::record {

struct RecordUrl {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path;  // Sqlite: the file, absolute
    QString user, host, database;
    int port = 5432;

    // The name in its one spelling: the journal files endings under it.
    QString Text() const;
    // libpq's keyword=value form (Postgres).
    QString ConnInfo() const;
};

// False with a one-line reason when `text` names no record (or carries a password).
bool ParseRecordUrl(const QString& text, RecordUrl& url, QString& error);

// "records.sqlite" in the folder of the update log.
QString DefaultRecordUrl();
// "record-journal.txt" in the same folder: endings that did not reach their record yet.
QString DefaultJournalPath();

}  // namespace kvr::record

// Where a production record lives, as the command line and the settings file name it:
//   sqlite:PATH                           a file on this station
//   postgresql://USER@HOST[:PORT]/DB      a server shared by a line
//     [?sslmode=MODE&sslrootcert=PATH&sslcert=PATH&sslkey=PATH]   its TLS, as libpq takes it
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
    // Postgres TLS; empty leaves libpq's own default. Paths are absolute.
    QString sslMode, sslRootCert, sslCert, sslKey;

    // The name in its one spelling: the journal files endings under it. Without TLS
    // parameters it is the spelling older versions wrote; with them, they follow in a fixed
    // order.
    QString Text() const;
    // The server and database alone, whatever the TLS: the same record under another sslmode.
    QString Identity() const;
    // libpq's keyword=value form (Postgres).
    QString ConnInfo() const;
};

// False with a one-line reason when `text` names no record (or carries a password). The
// reason shows the text with any password blanked.
bool ParseRecordUrl(const QString& text, RecordUrl& url, QString& error);

// `given` as it may be shown or logged: a password between the user and the host, or in a
// password parameter, becomes "***". Works on text that is no valid URL too.
QString RedactedRecordText(const QString& given);

}  // namespace kvr::record

#include "RecordUrl.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "AppPaths.h"

namespace kvr::record {

namespace {

constexpr int kMaxPort = 65535;

// A libpq keyword value in single quotes.
QString Quoted(QString value) {
    value.replace(u'\\', QStringLiteral("\\\\"));
    value.replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + value + u'\'';
}

}  // namespace

QString RecordUrl::Text() const {
    if (kind == Kind::Sqlite)
        return QStringLiteral("sqlite:") + path;
    return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, host).arg(port).arg(database);
}

QString RecordUrl::ConnInfo() const {
    return QStringLiteral("user=%1 host=%2 port=%3 dbname=%4")
        .arg(Quoted(user), Quoted(host))
        .arg(port)
        .arg(Quoted(database));
}

bool ParseRecordUrl(const QString& given, RecordUrl& url, QString& error) {
    const QString text = given.trimmed();
    RecordUrl parsed;
    if (text.startsWith(QLatin1String("sqlite:"))) {
        const QString path = text.mid(7);
        if (path.isEmpty()) {
            error = QStringLiteral("the record \"%1\" names no file").arg(given);
            return false;
        }
        parsed.kind = RecordUrl::Kind::Sqlite;
        parsed.path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        url = parsed;
        return true;
    }
    if (!text.startsWith(QLatin1String("postgresql://")) &&
        !text.startsWith(QLatin1String("postgres://"))) {
        error =
            QStringLiteral("the record \"%1\" is neither sqlite:PATH nor postgresql://USER@HOST/DB")
                .arg(given);
        return false;
    }
    const QUrl u(text, QUrl::StrictMode);
    if (!u.isValid()) {
        error = QStringLiteral("the record \"%1\" is no valid URL").arg(given);
        return false;
    }
    if (!u.password().isEmpty()) {
        error = QStringLiteral(
            "the record's URL carries a password: give it in PGPASSWORD or the .pgpass file");
        return false;
    }
    if (!u.query().isEmpty() || !u.fragment().isEmpty()) {
        error = QStringLiteral("the record \"%1\" has more than USER@HOST[:PORT]/DB").arg(given);
        return false;
    }
    parsed.kind = RecordUrl::Kind::Postgres;
    parsed.user = u.userName();
    parsed.host = u.host();
    parsed.port = u.port(5432);
    parsed.database = u.path().mid(1);
    if (parsed.user.isEmpty() || parsed.host.isEmpty() || parsed.database.isEmpty() ||
        parsed.database.contains(u'/') || parsed.port <= 0 || parsed.port > kMaxPort) {
        error =
            QStringLiteral("the record \"%1\" is not postgresql://USER@HOST[:PORT]/DB").arg(given);
        return false;
    }
    url = parsed;
    return true;
}

QString DefaultRecordUrl() {
    return QStringLiteral("sqlite:") + DataFolder() + QStringLiteral("records.sqlite");
}

QString DefaultJournalPath() {
    return QFileInfo(UpdateLogPath()).dir().filePath(QStringLiteral("record-journal.txt"));
}

}  // namespace kvr::record

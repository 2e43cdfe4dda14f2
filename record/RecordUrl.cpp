#include "RecordUrl.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

namespace kvr::record {

namespace {

constexpr int kMaxPort = 65535;

// libpq's own modes; anything else would only fail later, at the first connection.
const QStringList kSslModes = {QStringLiteral("disable"),   QStringLiteral("allow"),
                               QStringLiteral("prefer"),    QStringLiteral("require"),
                               QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

// A libpq keyword value in single quotes.
QString Quoted(QString value) {
    value.replace(u'\\', QStringLiteral("\\\\"));
    value.replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + value + u'\'';
}

// The parameters in the one order Text() and ConnInfo() give them.
struct Parameter {
    const char* name;
    QString RecordUrl::*field;
    bool isPath;
};
const Parameter kParameters[] = {
    {"sslmode", &RecordUrl::sslMode, false},
    {"sslrootcert", &RecordUrl::sslRootCert, true},
    {"sslcert", &RecordUrl::sslCert, true},
    {"sslkey", &RecordUrl::sslKey, true},
};

}  // namespace

QString RecordUrl::Identity() const {
    if (kind == Kind::Sqlite)
        return QStringLiteral("sqlite:") + path;
    return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, host).arg(port).arg(database);
}

QString RecordUrl::Text() const {
    QString text = Identity();
    if (kind == Kind::Sqlite)
        return text;
    QChar separator = u'?';
    for (const Parameter& p : kParameters) {
        const QString& value = this->*p.field;
        if (value.isEmpty())
            continue;
        // Kept readable where it can be; what would end the value is encoded, so the text
        // reads back as the same record.
        text += separator + QLatin1String(p.name) + u'=' +
                QString::fromLatin1(value.toUtf8().toPercentEncoding("/:\\"));
        separator = u'&';
    }
    return text;
}

QString RecordUrl::ConnInfo() const {
    QString info = QStringLiteral("user=%1 host=%2 port=%3 dbname=%4")
                       .arg(Quoted(user), Quoted(host))
                       .arg(port)
                       .arg(Quoted(database));
    for (const Parameter& p : kParameters) {
        const QString& value = this->*p.field;
        if (!value.isEmpty())
            info += u' ' + QLatin1String(p.name) + u'=' + Quoted(value);
    }
    return info;
}

QString RedactedRecordText(const QString& given) {
    if (given.trimmed().startsWith(QLatin1String("sqlite:")))
        return given;
    QString text = given;
    // From the first ':' of the authority to its last '@' (a mistyped scheme included). The
    // last '@' of the whole text, as a password may hold '@', '/', '?' or '#' unencoded: an
    // '@' in a later path blanks too much, never too little.
    const qsizetype slashes = text.indexOf(QLatin1String("//"));
    const qsizetype start = slashes >= 0              ? slashes + 2
                            : text.indexOf(u':') >= 0 ? text.indexOf(u':') + 1
                                                      : -1;
    if (start >= 0) {
        const qsizetype colon = text.indexOf(u':', start);
        const qsizetype at = text.lastIndexOf(u'@');
        if (colon >= 0 && at > colon)
            text.replace(colon + 1, at - colon - 1, QStringLiteral("***"));
    }
    // libpq also takes password=… (and sslpassword=…) as parameters, their names perhaps
    // percent-encoded; what follows may be part of the password too (an unencoded '&').
    if (const qsizetype query = text.indexOf(u'?'); query >= 0) {
        for (qsizetype pos = query + 1; pos <= text.size();) {
            qsizetype end = text.indexOf(u'&', pos);
            if (end < 0)
                end = text.size();
            const qsizetype equals = text.indexOf(u'=', pos);
            if (equals >= 0 && equals < end &&
                QUrl::fromPercentEncoding(text.mid(pos, equals - pos).toUtf8())
                    .contains(QLatin1String("password"), Qt::CaseInsensitive)) {
                text = text.left(equals + 1) + QStringLiteral("***");
                break;
            }
            pos = end + 1;
        }
    }
    return text;
}

bool ParseRecordUrl(const QString& given, RecordUrl& url, QString& error) {
    const QString text = given.trimmed();
    const QString shown = RedactedRecordText(given);
    RecordUrl parsed;
    if (text.startsWith(QLatin1String("sqlite:"))) {
        const QString path = text.mid(7);
        if (path.isEmpty()) {
            error = QStringLiteral("the record \"%1\" names no file").arg(shown);
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
                .arg(shown);
        return false;
    }
    // A Windows path as people type it (C:\Program Files\…) would make the URL invalid.
    QString encoded = text;
    if (const qsizetype query = encoded.indexOf(u'?'); query >= 0) {
        encoded = encoded.left(query) + encoded.mid(query)
                                            .replace(u'\\', QStringLiteral("%5C"))
                                            .replace(u' ', QStringLiteral("%20"));
    }
    const QUrl u(encoded, QUrl::StrictMode);
    if (!u.isValid()) {
        error = QStringLiteral("the record \"%1\" is no valid URL").arg(shown);
        return false;
    }
    if (!u.password().isEmpty()) {
        error = QStringLiteral(
                    "the record's URL \"%1\" carries a password: give it in PGPASSWORD or the "
                    ".pgpass file")
                    .arg(shown);
        return false;
    }
    if (u.hasFragment()) {
        error = QStringLiteral("the record \"%1\" has a fragment (#…)").arg(shown);
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
            QStringLiteral("the record \"%1\" is not postgresql://USER@HOST[:PORT]/DB").arg(shown);
        return false;
    }
    const QList<QPair<QString, QString>> items = QUrlQuery(u).queryItems(QUrl::FullyDecoded);
    for (const auto& [name, value] : items) {
        const Parameter* known = nullptr;
        for (const Parameter& p : kParameters) {
            if (name == QLatin1String(p.name))
                known = &p;
        }
        if (name.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
            error = QStringLiteral(
                        "the record's URL \"%1\" carries a password: give it in PGPASSWORD or the "
                        ".pgpass file")
                        .arg(shown);
            return false;
        }
        if (known == nullptr) {
            error = QStringLiteral(
                        "the record's URL has an unknown parameter \"%1\" (it takes sslmode, "
                        "sslrootcert, sslcert, sslkey): \"%2\"")
                        .arg(name, shown);
            return false;
        }
        QString& field = parsed.*(known->field);
        if (!field.isEmpty()) {
            error = QStringLiteral("the record's URL gives \"%1\" twice: \"%2\"").arg(name, shown);
            return false;
        }
        if (value.isEmpty()) {
            error = QStringLiteral("the record's URL gives no value for \"%1\": \"%2\"")
                        .arg(name, shown);
            return false;
        }
        if (known->isPath) {
            field = QDir::cleanPath(QFileInfo(value).absoluteFilePath());
        } else if (kSslModes.contains(value)) {
            field = value;
        } else {
            error = QStringLiteral("the record's sslmode \"%1\" is none of %2: \"%3\"")
                        .arg(value, kSslModes.join(QStringLiteral(", ")), shown);
            return false;
        }
    }
    url = parsed;
    return true;
}

}  // namespace kvr::record

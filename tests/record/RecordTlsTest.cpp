// TLS to a line's PostgreSQL record, against the test command's server (its throw-away CA and a
// certificate for "localhost"), and the record's name as people see it: parameters by name, no
// password in any refusal.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "Database.h"
#include "PgTestServer.h"
#include "Record.h"

namespace {

using namespace kvr::record;

QString PgFile(const char* name) {
    return kvr::test::PgTestDir() + u'/' + QLatin1String(name);
}

// postgresql://kvr@localhost:PORT/kvr_test, with PGPASSFILE set; empty without a server.
QString TlsUrl() {
    if (kvr::test::PgTestUrl().isEmpty())
        return {};
    QFile file(PgFile("tls-url"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

class RecordTls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        tlsUrl_ = TlsUrl();
        if (tlsUrl_.isEmpty())
            GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    }

    RecordUrl Parsed(const QString& text) const {
        RecordUrl url;
        QString error;
        EXPECT_TRUE(ParseRecordUrl(text, url, error)) << error.toStdString();
        return url;
    }
    // The reason Open gives, empty when it opened.
    QString OpenFails(const QString& text) const {
        try {
            Record::Open(Parsed(text));
        } catch (const RecordError& e) {
            return e.Text();
        }
        return {};
    }

    QTemporaryDir dir_;
    QString tlsUrl_;
};

// ssl is a server-wide setting: the other tests of the server (one at a time) get it back.
struct TlsOffWhileAlive {
    bool off = kvr::test::PgTestServer("tls-off");
    ~TlsOffWhileAlive() { EXPECT_TRUE(kvr::test::PgTestServer("tls-on")); }
};

TEST_F(RecordTls, VerifyFullWithTheLinesCaOpensTheRecordOverTls) {
    const QString text =
        tlsUrl_ + QStringLiteral("?sslmode=verify-full&sslrootcert=") + PgFile("ca.crt");
    const RecordUrl url = Parsed(text);
    EXPECT_NO_THROW(Record::Open(url));
    const Rows rows = OpenPostgres(url.ConnInfo())
                          ->Exec(QStringLiteral("SELECT ssl FROM pg_stat_ssl "
                                                "WHERE pid = pg_backend_pid()"),
                                 {});
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0][0], QStringLiteral("t")) << "the connection itself is encrypted";
}

TEST_F(RecordTls, ACertificateFromAnotherCaIsRefused) {
    const QString why = OpenFails(tlsUrl_ + QStringLiteral("?sslmode=verify-full&sslrootcert=") +
                                  PgFile("wrong-ca.crt"));
    EXPECT_TRUE(why.contains("certificate verify failed")) << why.toStdString();
    EXPECT_TRUE(OpenFails(tlsUrl_ + QStringLiteral("?sslmode=verify-ca&sslrootcert=") +
                          PgFile("wrong-ca.crt"))
                    .contains("certificate verify failed"));
}

TEST_F(RecordTls, VerifyFullChecksTheHostNameAndVerifyCaDoesNot) {
    QString byAddress = tlsUrl_;
    byAddress.replace(QStringLiteral("@localhost:"), QStringLiteral("@127.0.0.1:"));
    ASSERT_NE(byAddress, tlsUrl_);
    const QString why = OpenFails(byAddress + QStringLiteral("?sslmode=verify-full&sslrootcert=") +
                                  PgFile("ca.crt"));
    EXPECT_TRUE(why.contains("does not match host name")) << why.toStdString();
    const QString caOnly =
        OpenFails(byAddress + QStringLiteral("?sslmode=verify-ca&sslrootcert=") + PgFile("ca.crt"));
    EXPECT_TRUE(caOnly.isEmpty()) << caOnly.toStdString();
}

TEST_F(RecordTls, RequireAgainstAServerWithoutTlsIsRefused) {
    const QString text = tlsUrl_ + QStringLiteral("?sslmode=require");
    {
        const TlsOffWhileAlive off;
        ASSERT_TRUE(off.off);
        const QString why = OpenFails(text);
        EXPECT_TRUE(why.contains("server does not support SSL")) << why.toStdString();
        // Without TLS asked for, the same server is there.
        EXPECT_TRUE(OpenFails(tlsUrl_ + QStringLiteral("?sslmode=prefer")).isEmpty());
    }
    EXPECT_TRUE(OpenFails(text).isEmpty());
}

// The built command line, as a station runs it: the URL's TLS reaches libpq, and a password
// typed into the URL reaches no output.
TEST_F(RecordTls, TheCommandLineTakesTheTlsUrlAndShowsNoPassword) {
    auto run = [](const QString& record, QByteArray& output) {
        QProcess cli;
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.start(QStringLiteral(KVR_CLI_PATH),
                  {QStringLiteral("history"), QStringLiteral("--record"), record});
        cli.closeWriteChannel();
        EXPECT_TRUE(cli.waitForFinished(120000));
        output = cli.readAll();
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    };
    QByteArray output;
    const QString verify = tlsUrl_ + QStringLiteral("?sslmode=verify-full&sslrootcert=");
    EXPECT_EQ(run(verify + PgFile("ca.crt"), output), 0) << output.toStdString();
    EXPECT_NE(run(verify + PgFile("wrong-ca.crt"), output), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("certificate verify failed")) << output.toStdString();
    EXPECT_NE(run(QStringLiteral("postgresql://line:pa#ss@db/p"), output), 0);
    EXPECT_FALSE(output.contains("pa#ss")) << output.toStdString();
    EXPECT_TRUE(output.contains("line:***@db/p")) << output.toStdString();
}

TEST(RecordUrlTls, ParametersAreReadDecodedAndGivenBackInOneOrder) {
    RecordUrl url;
    QString error;
    ASSERT_TRUE(
        ParseRecordUrl("postgresql://line@db.factory/production?sslrootcert=certs/"
                       "line%20ca.crt&sslmode=verify-full",
                       url, error))
        << error.toStdString();
    const QString ca = QDir::cleanPath(QDir::current().absoluteFilePath("certs/line ca.crt"));
    EXPECT_EQ(url.sslMode, "verify-full");
    EXPECT_EQ(url.sslRootCert, ca);
    EXPECT_EQ(url.Text(),
              "postgresql://line@db.factory:5432/production?sslmode=verify-full&"
              "sslrootcert=" +
                  QString(ca).replace(u' ', QStringLiteral("%20")));
    EXPECT_EQ(url.Identity(), "postgresql://line@db.factory:5432/production");
    EXPECT_EQ(url.ConnInfo(),
              "user='line' host='db.factory' port=5432 dbname='production' sslmode='verify-full' "
              "sslrootcert='" +
                  ca + "'");
    RecordUrl again;
    ASSERT_TRUE(ParseRecordUrl(url.Text(), again, error)) << error.toStdString();
    EXPECT_EQ(again.Text(), url.Text());
    EXPECT_EQ(again.sslRootCert, ca);

    ASSERT_TRUE(
        ParseRecordUrl("postgresql://line@db/p?sslkey=/k/st%27a.key&sslcert=/k/st.crt&"
                       "sslmode=require",
                       url, error));
    EXPECT_EQ(url.Text(),
              "postgresql://line@db:5432/p?sslmode=require&sslcert=/k/st.crt&"
              "sslkey=/k/st%27a.key");
    EXPECT_TRUE(url.ConnInfo().endsWith("sslcert='/k/st.crt' sslkey='/k/st\\'a.key'"))
        << url.ConnInfo().toStdString();
    for (const char* mode : {"disable", "allow", "prefer", "require", "verify-ca"}) {
        EXPECT_TRUE(
            ParseRecordUrl(QStringLiteral("postgresql://line@db/p?sslmode=") + mode, url, error))
            << mode;
        EXPECT_EQ(url.sslMode, mode);
    }

    // The spelling older journals and the stations' stores were written under stays as it was.
    ASSERT_TRUE(ParseRecordUrl("postgresql://line@db/p", url, error));
    EXPECT_EQ(url.Text(), "postgresql://line@db:5432/p");
    EXPECT_EQ(url.ConnInfo(), "user='line' host='db' port=5432 dbname='p'");
}

TEST(RecordUrlTls, UnknownParametersAndFragmentsAreRefusedByName) {
    RecordUrl url;
    QString error;
    EXPECT_FALSE(ParseRecordUrl("postgresql://line@db/p?sslmode=require&foo=1", url, error));
    EXPECT_TRUE(error.contains("unknown parameter \"foo\"")) << error.toStdString();
    EXPECT_FALSE(ParseRecordUrl("postgresql://line@db/p?SSLMODE=require", url, error));
    EXPECT_TRUE(error.contains("unknown parameter \"SSLMODE\"")) << error.toStdString();
    EXPECT_FALSE(ParseRecordUrl("postgresql://line@db/p?sslmode=verify_full", url, error));
    EXPECT_TRUE(error.contains("\"verify_full\"")) << error.toStdString();
    EXPECT_FALSE(
        ParseRecordUrl("postgresql://line@db/p?sslmode=require&sslmode=disable", url, error));
    EXPECT_FALSE(ParseRecordUrl("postgresql://line@db/p?sslrootcert=", url, error));
    EXPECT_FALSE(ParseRecordUrl("postgresql://line@db/p#main", url, error));
    EXPECT_TRUE(error.contains("fragment")) << error.toStdString();
}

TEST(RecordUrlTls, NoRefusalShowsAPassword) {
    struct Case {
        const char* text;
        const char* secret;
    };
    const Case cases[] = {
        {"postgresql://line:pa#ss@db/p", "pa#ss"},
        {"postgressql://u:secret@h/d", "secret"},
        {"postgresql://u:secret@h/d", "secret"},
        {"postgres://u:secret@h:5432/d?sslmode=require", "secret"},
        {"postgresql://u:secret@h/d?sslmode=bogus", "secret"},
        {"postgresql://u:se/cr?et@h/d", "se/cr?et"},
        {"postgresql://u:s@cr@t@h/d", "s@cr@t"},
        {"postgresql://u@h/d?password=secret", "secret"},
        {"postgresql://u@h/d?sslmode=require&sslpassword=secret", "secret"},
        {"postgresql://u@h/d?password=sec&ret", "ret"},
        {"postgresql://u@h/d?pass%77ord=secret", "secret"},
        {"  postgresql://u:secret@h/d  ", "secret"},
        {"pgsql://u:secret@h", "secret"},
    };
    for (const Case& c : cases) {
        RecordUrl url;
        QString error;
        EXPECT_FALSE(ParseRecordUrl(c.text, url, error)) << c.text;
        EXPECT_FALSE(error.isEmpty()) << c.text;
        EXPECT_FALSE(error.contains(c.secret)) << error.toStdString();
        EXPECT_TRUE(error.contains("***")) << error.toStdString();
        EXPECT_FALSE(RedactedRecordText(c.text).contains(c.secret)) << c.text;
    }
    EXPECT_EQ(RedactedRecordText("postgresql://line:pa#ss@db/p"), "postgresql://line:***@db/p");
    EXPECT_EQ(RedactedRecordText("postgresql://u@h/d?sslmode=require&password=x&y"),
              "postgresql://u@h/d?sslmode=require&password=***");
    // What carries no password is shown as it was given.
    for (const char* plain :
         {"postgresql://line@db:6543/p?sslmode=verify-full&sslrootcert=/c/ca.crt",
          "sqlite:/srv/a:b@c.sqlite", "postgresql://db/p", ""}) {
        EXPECT_EQ(RedactedRecordText(plain), QString::fromUtf8(plain));
    }
}

}  // namespace

// kvr-line's HTTP side in process, through a real socket: its routes, what it refuses, and a
// record that goes away under it (a relay in front of the test command's PostgreSQL server
// cuts the line; a SQLite file that is not there yet).
#include <gtest/gtest.h>
#include <httplib.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <thread>

#include "LineServer.h"
#include "PgTestRecord.h"
#include "Record.h"
#include "TcpRelay.h"

namespace {

using namespace kvr::record;
using kvr::line::LineServer;

class Served {
public:
    explicit Served(const RecordUrl& url) : server_(url) {
        QString error;
        EXPECT_TRUE(server_.Listen(QStringLiteral("127.0.0.1"), 0, error)) << error.toStdString();
        thread_ = std::thread([this] { server_.Serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_.Port());
        client_->set_read_timeout(30, 0);
        // The server answers once its loop runs.
        for (int i = 0; i < 100 && !client_->Get("/line.css"); ++i)
            QThread::msleep(20);
    }
    ~Served() {
        server_.Stop();
        thread_.join();
    }
    httplib::Client& Client() { return *client_; }
    QJsonObject Json(const std::string& path) {
        const httplib::Result res = client_->Get(path);
        EXPECT_TRUE(res);
        if (!res)
            return {};
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
        return QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).object();
    }

private:
    LineServer server_;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

RecordUrl SqliteUrl(const QString& path) {
    RecordUrl url;
    QString error;
    EXPECT_TRUE(ParseRecordUrl(QStringLiteral("sqlite:") + path, url, error));
    return url;
}

TEST(LineServer, ServesThePageAndTheApiAndRefusesEverythingElse) {
    QTemporaryDir dir;
    const RecordUrl url = SqliteUrl(dir.filePath(QStringLiteral("r.sqlite")));
    Record::Open(url).reset();
    Served served(url);
    httplib::Client& c = served.Client();

    for (const char* path : {"/", "/line.js", "/line.css"}) {
        const auto res = c.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_FALSE(res->body.empty()) << path;
    }
    EXPECT_EQ(c.Get("/")->get_header_value("Content-Type"), "text/html; charset=utf-8");

    const QJsonObject doc = served.Json("/api/v1/line?hours=3");
    EXPECT_EQ(doc.value("api").toInt(), 1);
    EXPECT_EQ(doc.value("record").toObject().value("state").toString(), QStringLiteral("ok"));
    EXPECT_DOUBLE_EQ(doc.value("window").toObject().value("hours").toDouble(), 3.0);
    EXPECT_EQ(doc.value("hourly").toArray().size(), 4);  // three hours, not on the hour
    EXPECT_TRUE(doc.value("line").toObject().value("first_pass_yield").isNull());
    const auto head = c.Head("/api/v1/line");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());

    const auto bad = c.Get("/api/v1/line?hours=0");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(bad->body))
                    .object()
                    .value("error")
                    .toString()
                    .contains(QStringLiteral("hours")));
    EXPECT_EQ(c.Get("/api/v1/line?hours=2&shift=06:00")->status, 400);
    EXPECT_EQ(c.Get("/api/v1/line?sql=drop")->status, 400);

    for (const char* path : {"/api/v1/lines", "/api/v2/line", "/index.html", "/../etc/passwd"}) {
        const auto res = c.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
    }
    for (const char* path : {"/", "/api/v1/line"}) {
        EXPECT_EQ(c.Post(path, "x", "text/plain")->status, 405) << path;
        EXPECT_EQ(c.Put(path, "x", "text/plain")->status, 405) << path;
        EXPECT_EQ(c.Patch(path, "x", "text/plain")->status, 405) << path;
        const auto del = c.Delete(path);
        EXPECT_EQ(del->status, 405) << path;
        EXPECT_EQ(del->get_header_value("Allow"), "GET, HEAD");
    }
}

TEST(LineServer, ARecordNotThereYetIsAwayThenRead) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.sqlite"));
    const RecordUrl url = SqliteUrl(path);
    Served served(url);
    QJsonObject doc = served.Json("/api/v1/line");
    QJsonObject record = doc.value("record").toObject();
    EXPECT_EQ(record.value("state").toString(), QStringLiteral("away"));
    EXPECT_FALSE(record.value("text").toString().isEmpty());
    EXPECT_TRUE(record.value("as_of").isNull());
    EXPECT_EQ(doc.value("line").toObject().value("units").toInt(), 0);

    Record::Open(url).reset();
    QThread::msleep(kvr::line::kFreshMs + 100);
    doc = served.Json("/api/v1/line");
    EXPECT_EQ(doc.value("record").toObject().value("state").toString(), QStringLiteral("ok"));
}

TEST(LineServer, AServerCutOffShowsAwayWithTheFiguresItHadAndComesBack) {
    const std::optional<RecordUrl> server = kvr::test::PgTestRecordUrl();
    if (!server)
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    const RecordUrl& url = *server;
    QTemporaryDir dir;
    std::unique_ptr<kvr::test::TcpRelay> cut;
    const RecordUrl through = kvr::test::ThroughRelay(url, cut, dir.path());
    kvr::test::TcpRelay& relay = *cut;

    // A unit of this test's own, so that the figures kept are seen to be kept.
    auto record = Record::Open(url);
    RunStart start;
    start.station = QStringLiteral("line-server-test");
    start.port = QStringLiteral("COM9");
    start.packageName = QStringLiteral("fw.bsk");
    start.packageSha256 = QString(64, QLatin1Char('b'));
    const QString id = record->BeginRun(start);
    RunEnding ending;
    ending.outcome = QStringLiteral("success");
    ending.durationMs = 1000;
    record->EndRun(id, ending);

    Served served(through);
    const QJsonObject before = served.Json("/api/v1/line?hours=1");
    ASSERT_EQ(before.value("record").toObject().value("state").toString(), QStringLiteral("ok"));
    const int units = before.value("line").toObject().value("units").toInt();
    EXPECT_GE(units, 1);

    relay.SetMode(kvr::test::TcpRelay::Mode::Cut);
    QThread::msleep(kvr::line::kFreshMs + 100);
    const QJsonObject away = served.Json("/api/v1/line?hours=1");
    const QJsonObject state = away.value("record").toObject();
    EXPECT_EQ(state.value("state").toString(), QStringLiteral("away"));
    EXPECT_FALSE(state.value("text").toString().isEmpty());
    EXPECT_EQ(state.value("as_of"), before.value("record").toObject().value("as_of"));
    EXPECT_EQ(away.value("line").toObject().value("units").toInt(), units);
    EXPECT_NE(away.value("now"), before.value("now"));

    relay.SetMode(kvr::test::TcpRelay::Mode::Forward);
    QThread::msleep(kvr::line::kFreshMs + 100);
    const QJsonObject back = served.Json("/api/v1/line?hours=1");
    EXPECT_EQ(back.value("record").toObject().value("state").toString(), QStringLiteral("ok"));
}

}  // namespace

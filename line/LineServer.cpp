#include "LineServer.h"

#include <httplib.h>

#include <QFile>
#include <QJsonDocument>
#include <QTimeZone>
#include <chrono>
#include <map>
#include <mutex>

#include "LineApi.h"
#include "LineView.h"

namespace kvr::line {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char kJson[] = "application/json; charset=utf-8";

struct Asset {
    const char* route;
    const char* resource;
    const char* type;
};
constexpr Asset kAssets[] = {
    {"/", ":/line/index.html", "text/html; charset=utf-8"},
    {"/line.js", ":/line/line.js", "text/javascript; charset=utf-8"},
    {"/line.css", ":/line/line.css", "text/css; charset=utf-8"},
};

std::string Bytes(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void Common(httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    // The page loads nothing from elsewhere and runs no inline code: a string from the record
    // that slipped into its markup would run nothing either.
    res.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
}

// The query as a key: the window it names moves with the clock, the words do not.
std::string QueryKey(const Query& query) {
    std::string key;
    for (const auto& [k, v] : query)
        key += k + "=" + v + "&";
    return key;
}

}  // namespace

struct LineServer::Impl {
    record::RecordUrl url;
    std::function<QDateTime()> now;
    httplib::Server http;
    int port = 0;

    std::mutex mutex;  // the view and the kept reads
    std::unique_ptr<record::LineView> view;
    struct Kept {
        SteadyClock::time_point readAt;
        record::LineSnapshot snapshot;
    };
    std::map<std::string, Kept> kept;

    // The document for the window; the record read at most every kFreshMs for it.
    QByteArray Document(const Query& query, const QDateTime& since, const QDateTime& at) {
        const std::lock_guard lock(mutex);
        const std::string key = QueryKey(query);
        RecordState state;
        state.url = url.Text();
        const auto found = kept.find(key);
        const auto fresh = SteadyClock::now() - std::chrono::milliseconds(kFreshMs);
        if (found != kept.end() && found->second.readAt > fresh) {
            state.asOf = found->second.snapshot.now;
            return Json(found->second.snapshot, at, since, state);
        }
        try {
            if (!view)
                view = record::LineView::Open(url);
            Kept read{SteadyClock::now(), view->Read(since, at)};
            state.asOf = read.snapshot.now;
            kept[key] = std::move(read);
            return Json(kept[key].snapshot, at, since, state);
        } catch (const record::RecordError& e) {
            state.away = true;
            state.text = e.Text();
            if (!e.Unreachable())
                view.reset();  // opened again at the next read
            if (found != kept.end()) {
                state.asOf = found->second.snapshot.now;
                return Json(found->second.snapshot, at, since, state);
            }
            return Json(record::LineSnapshot(), at, since, state);
        }
    }

    static QByteArray Json(const record::LineSnapshot& s, const QDateTime& at,
                           const QDateTime& since, const RecordState& state) {
        return QJsonDocument(LineDocument(s, at, since, state)).toJson(QJsonDocument::Compact);
    }

    void Routes() {
        for (const Asset& asset : kAssets) {
            http.Get(asset.route, [asset](const httplib::Request&, httplib::Response& res) {
                QFile file(QString::fromLatin1(asset.resource));
                file.open(QIODevice::ReadOnly);
                Common(res);
                res.set_header("Cache-Control", "no-cache");
                res.set_content(Bytes(file.readAll()), asset.type);
            });
        }
        http.Get("/api/v1/line", [this](const httplib::Request& req, httplib::Response& res) {
            Common(res);
            res.set_header("Cache-Control", "no-store");
            const QDateTime at = now ? now().toUTC() : QDateTime::currentDateTimeUtc();
            QDateTime since;
            QString error;
            if (!WindowStart(req.params, at, QTimeZone::systemTimeZone(), since, error)) {
                res.status = 400;
                res.set_content(Bytes(ErrorDocument(error)), kJson);
                return;
            }
            res.set_content(Bytes(Document(req.params, since, at)), kJson);
        });
        // Nothing here is written: every write method is refused, wherever it points.
        const auto refuse = [](const httplib::Request& req, httplib::Response& res) {
            Common(res);
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content(
                Bytes(ErrorDocument(QStringLiteral("%1 is refused: kvr-line only reads the record")
                                        .arg(QString::fromStdString(req.method)))),
                kJson);
        };
        http.Post(".*", refuse);
        http.Put(".*", refuse);
        http.Patch(".*", refuse);
        http.Delete(".*", refuse);
        http.Options(".*", [](const httplib::Request&, httplib::Response& res) {
            Common(res);
            res.status = 204;
            res.set_header("Allow", "GET, HEAD");
        });
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return;
            Common(res);
            const QString path = QString::fromStdString(req.path).left(200);
            const QString text =
                res.status == 404
                    ? QStringLiteral("There is no %1 here").arg(path)
                    : QStringLiteral("The request was refused (HTTP %1)").arg(res.status);
            res.set_content(Bytes(ErrorDocument(text)), kJson);
        });
    }
};

LineServer::LineServer(record::RecordUrl url, std::function<QDateTime()> now)
    : d_(std::make_unique<Impl>()) {
    d_->url = std::move(url);
    d_->now = std::move(now);
    d_->Routes();
}

LineServer::~LineServer() {
    Stop();
}

bool LineServer::Listen(const QString& host, int port, QString& error) {
    const std::string address = host.toStdString();
    if (port == 0)
        d_->port = d_->http.bind_to_any_port(address);
    else if (d_->http.bind_to_port(address, port))
        d_->port = port;
    const bool bound = d_->port > 0;
    if (!bound)
        error = QStringLiteral(
                    "Cannot listen on %1:%2: the address is not this computer's, "
                    "or the port is in use")
                    .arg(host)
                    .arg(port);
    return bound;
}

int LineServer::Port() const {
    return d_->port;
}

void LineServer::Serve() {
    d_->http.listen_after_bind();
}

void LineServer::Stop() {
    d_->http.stop();
}

}  // namespace kvr::line

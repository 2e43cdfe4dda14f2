// kvr-line's HTTP side: the page (its assets are inside the program) and the JSON API over
// the line's record, read-only. Every route answers GET and HEAD; a write method gets 405, an
// unknown route 404, a bad query 400 with a message. A record that does not answer is no error
// of the page's: the API answers 200 with the record "away" and the last figures it read.
//
// Requests are served on the HTTP library's own threads. The record is read by one of them at
// a time, and a window read less than kFreshMs ago is answered from memory, so that any number
// of open pages costs the record one read per window every few seconds.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "RecordUrl.h"

namespace kvr::line {

inline constexpr int64_t kFreshMs = 2000;

class LineServer {
public:
    // now: the system's UTC time unless a test sets its own.
    explicit LineServer(record::RecordUrl url, std::function<QDateTime()> now = {});
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // Binds the address; port 0 takes any free one. False with the reason.
    bool Listen(const QString& host, int port, QString& error);
    int Port() const;
    // Serves until Stop (from any thread).
    void Serve();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace kvr::line

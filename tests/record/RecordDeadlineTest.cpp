// Every call to a PostgreSQL record ends within its deadline when the server answers nothing
// while TCP stays up: the test server stopped with SIGSTOP (its kernel still acknowledges), and
// a relay between the record and the server that stops forwarding without a reset. The call
// fails as unreachable, so that the station's sender tries again later, and the next call makes
// the connection anew. Each test waits out a deadline or two.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Database.h"
#include "PgTestServer.h"
#include "PostgresDeadlines.h"
#include "Record.h"
#include "RecordUrl.h"
#include "TcpRelay.h"

namespace {

using namespace kvr::record;
using kvr::test::TcpRelay;
using std::chrono::milliseconds;

// Generous: a bound that a hang passes, not a measure of the deadlines. A statement that the
// server never answers costs its deadline and then Record's one reconnect.
constexpr milliseconds kCallBound = 3 * kPgStatementDeadline;
constexpr milliseconds kConnectBound = 3 * kPgConnectDeadline;

// A pool of its own, also on a server that earlier tests' pools share.
QString NewPool(Record& record, QString& first) {
    const QString name = QUuid::createUuid().toString(QUuid::Id128).left(12);
    const int64_t base = 1 + static_cast<int64_t>(QUuid::createUuid().data1 % 100000) * 100000;
    first = QString::number(base);
    record.CreatePool(name, first, QString::number(base + 9));
    return name;
}

// A run id of its own: a take looks for the run's number first, across every pool.
QString RunId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Runs `action` once `after` has passed, unless destroyed first: on code without deadlines a
// call ends in a failed assertion rather than a hang, and the server or the relay is never
// left stopped.
class Watchdog {
public:
    Watchdog(milliseconds after, std::function<void()> action)
        : thread_([this, after, action = std::move(action)] {
              std::unique_lock lock(mutex_);
              if (!woken_.wait_for(lock, after, [this] { return done_; }))
                  action();
          }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        woken_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;
};

// The whole test server stopped with SIGSTOP, the postmaster first so that it starts no new
// process: it answers nothing, and its kernel keeps accepting and acknowledging. Resumed
// however the test ends.
class FrozenServer {
public:
    FrozenServer() = default;
    FrozenServer(const FrozenServer&) = delete;
    FrozenServer& operator=(const FrozenServer&) = delete;
    ~FrozenServer() { Resume(); }

    bool Freeze() {
        const std::lock_guard lock(mutex_);
        for (pid_t pid : kvr::test::PgServerProcesses(kvr::test::PgTestDir())) {
            if (kill(pid, SIGSTOP) == 0)
                stopped_.push_back(pid);
        }
        everFrozen_ = everFrozen_ || !stopped_.empty();
        return !stopped_.empty();
    }
    void Resume() {
        const std::lock_guard lock(mutex_);
        for (pid_t pid : stopped_)
            kill(pid, SIGCONT);
        stopped_.clear();
    }
    bool EverFrozen() {
        const std::lock_guard lock(mutex_);
        return everFrozen_;
    }

private:
    std::mutex mutex_;
    std::vector<pid_t> stopped_;
    bool everFrozen_ = false;
};

struct Outcome {
    qint64 ms = 0;
    std::optional<RecordError> error;
};

Outcome Timed(const std::function<void()>& call) {
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    try {
        call();
    } catch (const RecordError& e) {
        outcome.error = e;
    }
    outcome.ms = timer.elapsed();
    return outcome;
}

// The call failed as unreachable, within `bound`, rather than hanging or going through once
// the watchdog let the server answer.
void ExpectUnreachableWithin(const Outcome& outcome, milliseconds bound, const char* what) {
    std::printf("%s: %lld ms (%s)\n", what, static_cast<long long>(outcome.ms),
                outcome.error ? outcome.error->what() : "no error");
    ASSERT_TRUE(outcome.error) << what << " went through after " << outcome.ms
                               << " ms, once the server answered again";
    EXPECT_TRUE(outcome.error->Unreachable()) << outcome.error->what();
    EXPECT_LT(outcome.ms, bound.count()) << what << ": " << outcome.error->what();
}

class RecordDeadlineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString text = kvr::test::PgTestUrl();
        if (text.isEmpty())
            GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
        ASSERT_TRUE(dir_.isValid());
        QString error;
        ASSERT_TRUE(ParseRecordUrl(text, url_, error)) << error.toStdString();
    }

    // The test record reached through `relay`; the password file names the relay's port too.
    RecordUrl Through(const TcpRelay& relay) {
        EXPECT_TRUE(kvr::test::PgPassThrough(url_.host, url_.port, relay.Port(), dir_.path()));
        RecordUrl url = url_;
        url.port = relay.Port();
        return url;
    }

    QTemporaryDir dir_;
    RecordUrl url_;
};

TEST_F(RecordDeadlineTest, AServerThatStopsInTheMiddleOfATakeFailsItInBoundedTime) {
    auto record = Record::Open(url_);
    QString first;
    const QString pool = NewPool(*record, first);
    FrozenServer server;
    std::atomic<bool> froze{false};
    // The take stamps its number once it holds the pool's row lock: the server stops there,
    // inside the take's transaction.
    record->SetNow([&] {
        if (!froze.exchange(true))
            server.Freeze();
        return QDateTime::currentDateTimeUtc();
    });
    Outcome taken;
    {
        const Watchdog resume(kCallBound, [&] { server.Resume(); });
        taken = Timed([&] { record->TakeNumber(pool, RunId()); });
    }
    server.Resume();
    ASSERT_TRUE(server.EverFrozen()) << "no server process to stop";
    ExpectUnreachableWithin(taken, kCallBound, "a take on a stopped server");
    // The connection is made anew; the stopped take committed nothing, so its number is the
    // next one given.
    EXPECT_EQ(record->TakeNumber(pool, RunId()), first);
}

TEST_F(RecordDeadlineTest, OpeningTheRecordOfAStoppedServerFailsInBoundedTime) {
    FrozenServer server;
    ASSERT_TRUE(server.Freeze()) << "no server process to stop";
    Outcome opened;
    {
        const Watchdog resume(kConnectBound, [&] { server.Resume(); });
        opened = Timed([&] { Record::Open(url_); });
    }
    server.Resume();
    ExpectUnreachableWithin(opened, kConnectBound, "opening on a stopped server");
    EXPECT_NO_THROW(Record::Open(url_));
}

TEST_F(RecordDeadlineTest, ARelayThatStopsForwardingInTheMiddleOfASessionFailsTheCall) {
    TcpRelay relay(static_cast<uint16_t>(url_.port));
    ASSERT_NE(relay.Port(), 0);
    auto record = Record::Open(Through(relay));
    QString first;
    const QString pool = NewPool(*record, first);

    relay.SetMode(TcpRelay::Mode::BlackHole);
    Outcome taken;
    {
        const Watchdog forward(kCallBound, [&] { relay.SetMode(TcpRelay::Mode::Forward); });
        taken = Timed([&] { record->TakeNumber(pool, RunId()); });
    }
    relay.SetMode(TcpRelay::Mode::Forward);
    ExpectUnreachableWithin(taken, kCallBound, "a take through a black hole");
    EXPECT_EQ(record->TakeNumber(pool, RunId()), first);
}

TEST_F(RecordDeadlineTest, OpeningThroughARelayThatForwardsNothingFailsInBoundedTime) {
    TcpRelay relay(static_cast<uint16_t>(url_.port));
    ASSERT_NE(relay.Port(), 0);
    const RecordUrl url = Through(relay);
    relay.SetMode(TcpRelay::Mode::BlackHole);
    Outcome opened;
    {
        const Watchdog forward(kConnectBound, [&] { relay.SetMode(TcpRelay::Mode::Forward); });
        opened = Timed([&] { Record::Open(url); });
    }
    relay.SetMode(TcpRelay::Mode::Forward);
    ExpectUnreachableWithin(opened, kConnectBound, "opening through a black hole");
    EXPECT_NO_THROW(Record::Open(url)) << "the relay forwards again";
}

// A connection that is reset fails at once, as before: no deadline is waited out for it.
TEST_F(RecordDeadlineTest, ARelayThatCutsTheConnectionFailsTheCallAtOnce) {
    TcpRelay relay(static_cast<uint16_t>(url_.port));
    ASSERT_NE(relay.Port(), 0);
    auto record = Record::Open(Through(relay));
    QString first;
    const QString pool = NewPool(*record, first);

    relay.SetMode(TcpRelay::Mode::Cut);
    const Outcome taken = Timed([&] { record->TakeNumber(pool, RunId()); });
    ExpectUnreachableWithin(taken, kPgConnectDeadline, "a take through a cut connection");
    relay.SetMode(TcpRelay::Mode::Forward);
    EXPECT_EQ(record->TakeNumber(pool, RunId()), first);
}

}  // namespace

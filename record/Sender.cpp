#include "Sender.h"

#include <algorithm>
#include <chrono>

#include "Clock.h"
#include "Database.h"

namespace kvr::record {

Sender::Sender(LocalStore& store, QString record, Apply apply, IClock& clock, Poisoned poisoned,
               Changed changed)
    : store_(store),
      record_(std::move(record)),
      apply_(std::move(apply)),
      clock_(clock),
      poisoned_(std::move(poisoned)),
      changed_(std::move(changed)) {}

Sender::~Sender() {
    Stop();
}

void Sender::Start() {
    const std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return;
    stop_ = false;
    wake_ = true;  // what the store holds from before goes at once
    thread_ = std::thread(&Sender::Run, this);
}

void Sender::Stop() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wakeup_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void Sender::Wake() {
    {
        const std::lock_guard lock(mutex_);
        wake_ = true;
    }
    wakeup_.notify_all();
}

void Sender::Recheck() {
    // Taking the lock orders this after the thread's last look at the clock.
    { const std::lock_guard lock(mutex_); }
    wakeup_.notify_all();
}

SenderStatus Sender::Snapshot() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

void Sender::Note(const std::function<void(SenderStatus&)>& change) {
    SenderStatus copy;
    {
        const std::lock_guard lock(mutex_);
        change(status_);
        copy = status_;
    }
    if (changed_)
        changed_(copy);
}

void Sender::Run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (stop_) {
                    lock.unlock();
                    Farewell();
                    return;
                }
                if (wake_)
                    break;
                const uint64_t now = clock_.TickMs();
                if (now >= status_.nextAttemptMs)
                    break;
                wakeup_.wait_for(lock, std::chrono::milliseconds(status_.nextAttemptMs - now));
            }
            wake_ = false;
        }
        if (Forward() == Pass::Stopped) {
            Farewell();
            return;
        }
    }
}

Sender::Beat Sender::BeatIfDue(QString& error) {
    const uint64_t now = clock_.TickMs();
    if (!beat_ || (beaten_ && now - lastBeatMs_ < kBeatIntervalMs))
        return Beat::NotDue;
    try {
        beat_(false);
    } catch (const RecordError& e) {
        if (e.Unreachable()) {
            error = e.Text();
            return Beat::Failed;
        }
        // Refused, but the record answered.
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
        return Beat::Failed;
    }
    beaten_ = true;
    lastBeatMs_ = now;
    return Beat::Sent;
}

void Sender::Farewell() {
    {
        const std::lock_guard lock(mutex_);
        if (!beat_ || !beaten_ || status_.failures > 0 || status_.pending > 0)
            return;
    }
    try {
        beat_(true);
    } catch (const std::exception&) {
    }
}

Sender::Pass Sender::Forward() {
    // recordAway: the record did not take the entry, as opposed to our own store failing.
    auto failed = [&](const QString& reason, bool recordAway) {
        int64_t pending = -1;
        try {
            pending = store_.Count(record_);
        } catch (const std::exception&) {
        }
        // One change with the next try's time, so that a watcher never sees half of it.
        Note([&](SenderStatus& s) {
            s.nextAttemptMs = clock_.TickMs() + backoffMs_;
            backoffMs_ = std::min(backoffMs_ * 2, kMaxRetryMs);
            ++s.failures;
            ++s.failedAttempts;
            s.lastError = reason;
            if (pending >= 0)
                s.pending = pending;
            if (recordAway && !s.awaySince.isValid())
                s.awaySince = clock_.LocalNow();
        });
        return Pass::Failed;
    };
    try {
        const int64_t pending = store_.Count(record_);
        const int64_t dead = static_cast<int64_t>(store_.Dead(record_).size());
        Note([&](SenderStatus& s) {
            s.pending = pending;
            s.dead = dead;
        });
    } catch (const std::exception& e) {
        return failed(QString::fromUtf8(e.what()), false);
    }
    for (;;) {
        std::vector<StoreEntry> batch;
        try {
            batch = store_.Pending(record_, kSendBatch);
        } catch (const std::exception& e) {
            return failed(QString::fromUtf8(e.what()), false);
        }
        if (batch.empty()) {
            // An idle station learns from its heartbeat that the record went away, and that
            // it came back.
            QString beatError;
            const Beat beat = BeatIfDue(beatError);
            if (beat == Beat::Failed)
                return failed(beatError, true);
            Note([&](SenderStatus& s) {
                s.pending = 0;
                s.failures = 0;
                s.lastError.clear();
                s.nextAttemptMs = clock_.TickMs() + kIdleRecheckMs;
                backoffMs_ = kFirstRetryMs;
                if (beat == Beat::Sent && s.awaySince.isValid()) {
                    s.awaySince = QDateTime();
                    s.sentSinceBack = 0;
                }
            });
            return Pass::Done;
        }
        for (const StoreEntry& entry : batch) {
            {
                const std::lock_guard lock(mutex_);
                if (stop_)
                    return Pass::Stopped;
            }
            try {
                apply_(entry);
            } catch (const RecordError& e) {
                if (e.Unreachable())
                    return failed(e.Text(), true);
                try {
                    store_.Bury(entry.seq, e.Text());
                } catch (const std::exception& stored) {
                    return failed(QString::fromUtf8(stored.what()), false);
                }
                if (poisoned_)
                    poisoned_(entry, e.Text());
                Note([](SenderStatus& s) {
                    s.pending = std::max<int64_t>(0, s.pending - 1);
                    ++s.dead;
                });
                continue;
            } catch (const std::exception& e) {
                return failed(QString::fromUtf8(e.what()), true);
            } catch (...) {
                return failed(QStringLiteral("an unknown error"), true);
            }
            try {
                store_.Remove(entry.seq);
            } catch (const std::exception& e) {
                // Applied but kept: it goes again later and changes nothing then.
                return failed(QString::fromUtf8(e.what()), false);
            }
            Note([&](SenderStatus& s) {
                if (s.awaySince.isValid()) {
                    s.awaySince = QDateTime();
                    s.sentSinceBack = 0;
                }
                ++s.sentSinceBack;
                s.failures = 0;
                s.lastError.clear();
                s.lastSuccess = clock_.LocalNow();
                s.pending = std::max<int64_t>(0, s.pending - 1);
            });
            const std::lock_guard lock(mutex_);
            backoffMs_ = kFirstRetryMs;
        }
    }
}

}  // namespace kvr::record

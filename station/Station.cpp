#include "Station.h"

#include <QEventLoop>
#include <QThread>
#include <algorithm>

#include "DevicePresence.h"
#include "HandOver.h"
#include "UpdateSequence.h"

namespace kvr::station {

RunResult ResultOf(const RunOutcome& outcome, uint64_t durationMs, int pagesSent) {
    RunResult result;
    result.started = true;
    result.end = outcome.end;
    result.succeeded = outcome.end == RunEnd::Success;
    result.stopped = outcome.end == RunEnd::Stopped;
    result.outcome = outcome.text.isEmpty() ? QString::fromUtf8(kOutcomeStopped) : outcome.text;
    result.durationMs = durationMs;
    result.pagesSent = pagesSent;
    result.serialNumber = outcome.serialNumberSent ? outcome.serialNumber : QString();
    result.serialNumberConfirmed = !result.serialNumber.isEmpty() && outcome.serialNumberConfirmed;
    return result;
}

// The run host of one port. Lives on the station's thread; its port's run reaches it through
// the port's hand-over, so its state needs no lock.
class Station::PortHost final : public IRunHost {
public:
    PortHost(int port, const StationPort& settings, const StationOptions& options,
             IStationEvents& events)
        : port_(port), settings_(settings), options_(options), events_(events) {}

    void ShowMessage(const QString& text) override { events_.Message(port_, text); }
    bool AskYesNo(const QString& text) override {
        events_.Question(port_, text);
        const bool yes = options_.answerQuestion && options_.answerQuestion(port_, text);
        events_.Answer(port_, yes);
        return yes;
    }
    void SetProgress(int position) override {
        events_.Progress(port_, position, sequence_ != nullptr ? sequence_->PagesSent() : 0);
    }
    void EnableStart() override {}
    // The port's thread finds the number itself (PortRunHost).
    QString SerialNumberText() override { return {}; }
    QString HardwareText() override { return options_.hardware; }

    void BeginRun(int run, const TUpdateSequence& sequence) {
        result_ = RunResult{};
        result_.run = run;
        result_.started = true;
        sequence_ = &sequence;
        events_.RunStarted(port_, run);
    }

    void NoteSerialNumber(const QString& number) {
        if (!number.isEmpty())
            events_.SerialNumberTaken(port_, number);
    }

    RunResult EndRun(const RunOutcome& outcome, uint64_t durationMs) {
        const int run = result_.run;
        result_ = ResultOf(outcome, durationMs, sequence_ != nullptr ? sequence_->PagesSent() : 0);
        result_.run = run;
        sequence_ = nullptr;
        events_.RunEnded(port_, result_);
        return result_;
    }

private:
    int port_;
    const StationPort& settings_;
    const StationOptions& options_;
    IStationEvents& events_;
    RunResult result_;
    const TUpdateSequence* sequence_ = nullptr;
};

namespace {

// The run's host on its port's thread: every call goes on to the station's thread through the
// hand-over, except the serial number, which is found here, so that a record slow to answer
// holds back only its own port.
class PortRunHost final : public IRunHost {
public:
    PortRunHost(TRunHandOver& handOver, std::function<QString()> serialNumber)
        : handOver_(handOver), serialNumber_(std::move(serialNumber)) {}
    void ShowMessage(const QString& text) override { handOver_.ShowMessage(text); }
    bool AskYesNo(const QString& text) override { return handOver_.AskYesNo(text); }
    void SetProgress(int position) override { handOver_.SetProgress(position); }
    void EnableStart() override { handOver_.EnableStart(); }
    QString SerialNumberText() override {
        if (!asked_) {
            asked_ = true;
            number_ = serialNumber_();
        }
        return number_;
    }
    QString HardwareText() override { return handOver_.HardwareText(); }

private:
    TRunHandOver& handOver_;
    std::function<QString()> serialNumber_;
    bool asked_ = false;
    QString number_;
};

}  // namespace

// One port's thread: waits for devices when looping, runs their updates.
class Station::PortWorker final : public QThread {
public:
    PortWorker(int port, const StationPort& settings, const StationOptions& options,
               IStationEvents& events, TRunHandOver& handOver, PortHost& host,
               const std::atomic<bool>& stop, std::vector<RunResult>& results,
               std::function<void()> done)
        : done_(std::move(done)),
          port_(port),
          settings_(settings),
          options_(options),
          events_(events),
          handOver_(handOver),
          host_(host),
          stop_(stop),
          results_(results) {}

protected:
    void run() override {
        Serve();
        // Told through the hand-over, like everything else the station's thread hears from this
        // one: a queued QThread::finished would be posted under Qt's own lock alone.
        handOver_.Invoke([this](IRunHost&) { done_(); });
    }

private:
    void Serve() {
        TDevicePresence presence(settings_.name, *settings_.channels);
        for (int run = 1; !stop_.load(); ++run) {
            if (options_.repeat) {
                SetState(PortState::Waiting);
                if (!WaitForDevice(presence))
                    break;
                Notify([this](IStationEvents& e) { e.DevicePresent(port_); });
            }
            presence.Close();
            if (options_.repeat)
                SetState(PortState::Updating);
            Ran ran = RunOnce(run);
            while (ran == Ran::Held)  // the same device, once it can start
                ran = RunOnce(run);
            if (ran == Ran::Ended || !options_.repeat)
                break;
            SetState(PortState::TakeOut);
            if (!WaitForRemoval(presence))
                break;
            Notify([this](IStationEvents& e) { e.DeviceRemoved(port_); });
        }
    }

    template <typename F>
    void Notify(F&& call) {
        handOver_.Invoke([&](IRunHost&) { call(events_); });
    }

    void SetState(PortState state, const QString& detail = {}) {
        state_ = state;
        Notify([&](IStationEvents& e) { e.StateChanged(port_, state, detail); });
    }

    // Tells the operator what the record had to say.
    void Note(const QString& text) {
        if (!text.isEmpty())
            Notify([&](IStationEvents& e) { e.RecordNote(port_, text); });
    }

    void Refuse(int run, const QString& why) {
        RunResult refused;
        refused.run = run;
        refused.outcome = why;
        handOver_.Invoke([&](IRunHost&) {
            results_.push_back(refused);
            events_.RunEnded(port_, refused);
        });
    }

    enum class Ran { Done, Ended, Held };

    // Looping: waits while what the run needs is to come by itself, saying why once; true to
    // try again, false when stopped meanwhile.
    bool Hold(const QString& why) {
        if (state_ != PortState::Held || why != heldFor_) {
            heldFor_ = why;
            SetState(PortState::Held, why);
        }
        settings_.clock->SleepMs(options_.heldRetryMs);
        return !stop_.load();
    }

    // Ended when the port is to go no further (nothing left to give the next device, or no
    // record to write its run to); Held when the run is to be tried again on the same device.
    Ran RunOnce(int run) {
        ISerialNumberSource* const counter = options_.counter;
        const bool needsCounter =
            options_.technology && settings_.serialNumber.isEmpty() && counter != nullptr;
        QString why;
        if (needsCounter && !counter->Reserve(why)) {
            if (counter->Later())
                return Hold(why) ? Ran::Held : Ran::Ended;
            Refuse(run, why.isEmpty() ? QString::fromUtf8(kOutcomeNoSerialNumber) : why);
            return Ran::Ended;
        }
        if (options_.record != nullptr && !options_.record->OpenRun(port_, why)) {
            if (needsCounter)
                counter->Release();
            if (options_.record->Later())
                return Hold(why) ? Ran::Held : Ran::Ended;
            Refuse(run, why);
            return Ran::Ended;
        }
        if (state_ == PortState::Held)
            SetState(PortState::Updating);
        heldFor_.clear();
        const uint64_t started = settings_.clock->TickMs();
        RunOptions runOptions;
        runOptions.bootAllMode = options_.bootAll;
        runOptions.technologyMode = options_.technology;
        runOptions.logPath = settings_.logPath;
        runOptions.serialNumberRequired = true;
        QString taken;  // from the counter
        PortRunHost runHost(handOver_, [&] {
            QString number = settings_.serialNumber;
            if (number.isEmpty() && needsCounter) {
                QString note;
                number = taken = counter->Take(port_, note);
                Note(note);
            }
            handOver_.Invoke([&](IRunHost&) { host_.NoteSerialNumber(number); });
            return number;
        });
        TUpdateSequence sequence(settings_.name, options_.pages, runOptions, *settings_.channels,
                                 *settings_.clock, runHost);
        handOver_.Invoke([&](IRunHost&) { host_.BeginRun(run, sequence); });
        if (!runOptions.logPath.isEmpty() && !sequence.LogOpen() && !logUnavailableSaid_) {
            logUnavailableSaid_ = true;
            Notify([&](IStationEvents& e) { e.LogUnavailable(port_, runOptions.logPath); });
        }
        const RunOutcome outcome = sequence.RunUpdate([this] { return stop_.load(); });
        const uint64_t duration = settings_.clock->TickMs() - started;
        if (!taken.isEmpty()) {
            QString note;
            counter->Settle(port_, taken, outcome.serialNumberConfirmed, note);
            Note(note);
        } else if (needsCounter) {
            counter->Release();
        }
        RunResult result;
        handOver_.Invoke([&](IRunHost&) {
            result = host_.EndRun(outcome, duration);
            results_.push_back(result);
        });
        if (options_.record != nullptr) {
            QString note;
            options_.record->CloseRun(port_, result, note);
            Note(note);
        }
        return Ran::Done;
    }

    // Notes a check's port trouble: AdapterLost once when the port stops opening, and the state
    // it left when it opens again. True while the port is lost.
    bool FollowPort(TDevicePresence& presence, Presence seen, PortState working) {
        if (seen == Presence::PortLost) {
            if (state_ != PortState::AdapterLost)
                SetState(PortState::AdapterLost, presence.OpenError());
            return true;
        }
        if (state_ == PortState::AdapterLost)
            SetState(working);
        return false;
    }

    // Until presentChecks checks in a row see a device; false when stopped first.
    bool WaitForDevice(TDevicePresence& presence) {
        int streak = 0;
        while (!stop_.load()) {
            const Presence seen = presence.Check();
            if (FollowPort(presence, seen, PortState::Waiting))
                streak = 0;
            else
                streak = seen == Presence::Answered ? streak + 1 : 0;
            if (streak >= std::max(options_.presentChecks, 1))
                return true;
            if (stop_.load())
                break;
            settings_.clock->SleepMs(streak > 0 ? options_.presenceConfirmMs
                                                : options_.presencePollMs);
        }
        return false;
    }

    // Until the device has been silent for removalMs on a port that opens; a port that does
    // not open says nothing of the device. False when stopped first.
    bool WaitForRemoval(TDevicePresence& presence) {
        bool silent = false;
        uint64_t silentSince = 0;
        while (!stop_.load()) {
            const uint64_t checked = settings_.clock->TickMs();
            const Presence seen = presence.Check();
            if (FollowPort(presence, seen, PortState::TakeOut) || seen == Presence::Answered) {
                silent = false;
            } else {
                if (!silent)
                    silentSince = checked;
                silent = true;
                if (settings_.clock->TickMs() - silentSince >= options_.removalMs)
                    return true;
            }
            if (stop_.load())
                break;
            settings_.clock->SleepMs(options_.presencePollMs);
        }
        return false;
    }

    std::function<void()> done_;
    int port_;
    const StationPort& settings_;
    const StationOptions& options_;
    IStationEvents& events_;
    TRunHandOver& handOver_;
    PortHost& host_;
    const std::atomic<bool>& stop_;
    std::vector<RunResult>& results_;
    PortState state_ = PortState::Waiting;
    QString heldFor_;  // what the held run waits for, as said
    bool logUnavailableSaid_ = false;
};

Station::Station(std::vector<StationPort> ports, StationOptions options, IStationEvents& events)
    : ports_(std::move(ports)), options_(std::move(options)), events_(events) {
    results_.resize(ports_.size());
}

Station::~Station() = default;

void Station::Stop() {
    stop_.store(true);
}

bool Station::AllSucceeded() const {
    bool any = false;
    for (const auto& runs : results_) {
        for (const RunResult& r : runs) {
            if (!r.succeeded)
                return false;
            any = true;
        }
    }
    return any;
}

void Station::Run() {
    const int count = static_cast<int>(ports_.size());
    std::vector<std::unique_ptr<PortHost>> hosts;
    std::vector<std::unique_ptr<TRunHandOver>> handOvers;
    std::vector<std::unique_ptr<PortWorker>> workers;
    QEventLoop loop;
    int running = count;
    for (int i = 0; i < count; ++i) {
        hosts.push_back(std::make_unique<PortHost>(i, ports_[i], options_, events_));
        handOvers.push_back(std::make_unique<TRunHandOver>(*hosts.back()));
        workers.push_back(std::make_unique<PortWorker>(i, ports_[i], options_, events_,
                                                       *handOvers.back(), *hosts.back(), stop_,
                                                       results_[i], [&] {
                                                           if (--running == 0)
                                                               loop.quit();
                                                       }));
    }
    for (auto& worker : workers) {
        if (options_.startThread)
            options_.startThread(*worker);
        else
            worker->start();
    }
    if (count > 0)
        loop.exec();
    for (int i = 0; i < count; ++i)
        handOvers[i]->WaitServing(*workers[i]);
}

}  // namespace kvr::station

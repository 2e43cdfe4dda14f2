#include "Station.h"

#include <QEventLoop>
#include <QThread>
#include <algorithm>

#include "DevicePresence.h"
#include "HandOver.h"
#include "RunReporter.h"
#include "SerialNumberCounter.h"
#include "Translate.h"
#include "UpdateSequence.h"

namespace kvr::cli {

// The run host of one port. Lives on the station's thread; its port's run reaches it through
// the port's hand-over, so its state needs no lock.
class Station::PortHost final : public IRunHost {
public:
    PortHost(int port, const StationPort& settings, const StationOptions& options,
             IStationEvents& events)
        : port_(port), settings_(settings), options_(options), events_(events) {}

    void ShowMessage(const QString& text) override {
        lastText_ = text;
        events_.Message(port_, text);
    }
    bool AskYesNo(const QString& text) override {
        lastText_ = text;
        events_.Question(port_, text);
        const bool yes = options_.answerQuestion && options_.answerQuestion(port_, text);
        events_.Answer(port_, yes);
        return yes;
    }
    void SetProgress(int position) override { events_.Progress(port_, position); }
    void EnableStart() override {}
    QString SerialNumberText() override {
        // Asked once per run, at its serial-number step.
        if (!result_.serialNumber.isEmpty())
            return result_.serialNumber;
        QString number = settings_.serialNumber;
        if (number.isEmpty() && options_.counter != nullptr) {
            number = options_.counter->Take();
            tookFromCounter_ = !number.isEmpty();
        }
        result_.serialNumber = number;
        if (!number.isEmpty())
            events_.SerialNumberTaken(port_, number);
        return number;
    }
    QString HardwareText() override { return options_.hardware; }

    void BeginRun(int run) {
        result_ = RunResult{};
        result_.run = run;
        result_.started = true;
        lastText_.clear();
        tookFromCounter_ = false;
        events_.RunStarted(port_, run);
    }

    // reserved: the run held a counter reservation.
    RunResult EndRun(uint64_t durationMs, bool stopped, bool reserved) {
        if (reserved && !tookFromCounter_)
            options_.counter->Release();
        const QString success = Translate(QString::fromUtf8(kTextSuccess));
        result_.durationMs = durationMs;
        result_.succeeded = lastText_ == success;
        result_.stopped = stopped;
        result_.outcome = !lastText_.isEmpty() ? lastText_ : QString::fromUtf8(kOutcomeStopped);
        result_.serialNumberConfirmed = result_.succeeded && !result_.serialNumber.isEmpty();
        events_.RunEnded(port_, result_);
        return result_;
    }

private:
    int port_;
    const StationPort& settings_;
    const StationOptions& options_;
    IStationEvents& events_;
    RunResult result_;
    QString lastText_;
    bool tookFromCounter_ = false;
};

// One port's thread: waits for devices when looping, runs their updates.
class Station::PortWorker final : public QThread {
public:
    PortWorker(int port, const StationPort& settings, const StationOptions& options,
               IStationEvents& events, TRunHandOver& handOver, PortHost& host,
               const std::atomic<bool>& stop, std::vector<RunResult>& results)
        : port_(port),
          settings_(settings),
          options_(options),
          events_(events),
          handOver_(handOver),
          host_(host),
          stop_(stop),
          results_(results) {}

protected:
    void run() override {
        TDevicePresence presence(settings_.name, *settings_.channels, *settings_.clock);
        for (int run = 1; !stop_.load(); ++run) {
            if (options_.repeat) {
                Notify([this](IStationEvents& e) { e.Waiting(port_); });
                if (!WaitFor(presence, true, options_.presentChecks))
                    break;
                Notify([this](IStationEvents& e) { e.DevicePresent(port_); });
            }
            presence.Close();
            if (!RunOnce(run) || !options_.repeat)
                break;
            if (!WaitFor(presence, false, options_.absentChecks))
                break;
            Notify([this](IStationEvents& e) { e.DeviceRemoved(port_); });
        }
    }

private:
    template <typename F>
    void Notify(F&& call) {
        handOver_.Invoke([&](IRunHost&) { call(events_); });
    }

    // False when the port is to go no further (nothing left to give the next device).
    bool RunOnce(int run) {
        const bool needsCounter =
            options_.technology && settings_.serialNumber.isEmpty() && options_.counter != nullptr;
        if (needsCounter && !options_.counter->Reserve()) {
            RunResult refused;
            refused.run = run;
            refused.outcome = QString::fromUtf8(kOutcomeNoSerialNumber);
            handOver_.Invoke([&](IRunHost&) {
                results_.push_back(refused);
                events_.RunEnded(port_, refused);
            });
            return false;
        }
        handOver_.Invoke([&](IRunHost&) { host_.BeginRun(run); });
        const uint64_t started = settings_.clock->TickMs();
        {
            RunOptions runOptions;
            runOptions.bootAllMode = options_.bootAll;
            runOptions.technologyMode = options_.technology;
            runOptions.logPath = settings_.logPath;
            TUpdateSequence sequence(settings_.name, options_.pages, runOptions,
                                     *settings_.channels, *settings_.clock, handOver_);
            sequence.RunUpdate([this] { return stop_.load(); });
        }
        const uint64_t duration = settings_.clock->TickMs() - started;
        const bool stopped = stop_.load();
        handOver_.Invoke(
            [&](IRunHost&) { results_.push_back(host_.EndRun(duration, stopped, needsCounter)); });
        return true;
    }

    // Checks until `count` checks in a row see the device present (or absent); false when
    // stopped first.
    bool WaitFor(TDevicePresence& presence, bool present, int count) {
        int streak = 0;
        for (;;) {
            if (stop_.load())
                return false;
            streak = presence.Check() == present ? streak + 1 : 0;
            const QString& error = presence.OpenError();
            if (error != reportedOpenError_) {
                reportedOpenError_ = error;
                if (!error.isEmpty())
                    Notify([&](IStationEvents& e) { e.PortUnavailable(port_, error); });
            }
            if (streak >= std::max(count, 1))
                return true;
            if (stop_.load())
                return false;
            settings_.clock->SleepMs(options_.presencePollMs);
        }
    }

    int port_;
    const StationPort& settings_;
    const StationOptions& options_;
    IStationEvents& events_;
    TRunHandOver& handOver_;
    PortHost& host_;
    const std::atomic<bool>& stop_;
    std::vector<RunResult>& results_;
    QString reportedOpenError_;
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
        workers.push_back(std::make_unique<PortWorker>(
            i, ports_[i], options_, events_, *handOvers.back(), *hosts.back(), stop_, results_[i]));
        QObject::connect(workers.back().get(), &QThread::finished, &loop, [&] {
            if (--running == 0)
                loop.quit();
        });
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

}  // namespace kvr::cli

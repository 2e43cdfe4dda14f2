// The station in process: several simulated devices, each on its own line and virtual clock,
// updated by the station's threads while this thread serves their hand-overs. Covers the
// scheduling of the ports, the serial-number counter, the hands-free loop with its port states;
// what the command line prints of it is StationOutputTest's and FlashEndToEndTest's.
#include <gtest/gtest.h>

#include <QSet>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Exception.h"
#include "RunMessages.h"
#include "SerialNumberCounter.h"
#include "SimulatedLine.h"
#include "Station.h"
#include "StationFixture.h"
#include "TestFiles.h"
#include "TestPages.h"

namespace {

using namespace kvr;
using namespace kvr::station;
using namespace kvr::test;

// Holds each of `parties` lines at a given write until all have got there: ports taken one
// after the other would never meet (the wait gives up after a guard time, and says so).
class Meeting {
public:
    explicit Meeting(int parties) : parties_(parties) {}
    void Arrive() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        if (!changed_.wait_for(lock, std::chrono::seconds(20),
                               [this] { return arrived_ >= parties_; }))
            missed_ = true;
    }
    bool AllMet() const {
        std::lock_guard lock(mutex_);
        return arrived_ >= parties_ && !missed_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int parties_;
    int arrived_ = 0;
    bool missed_ = false;
};

// A port's channels with a call at every open and before every write, on the port's thread.
class HookedFactory final : public IChannelFactory {
public:
    explicit HookedFactory(DeviceChannel& line) : line_(line) {}
    std::unique_ptr<IByteChannel> Create() override {
        class Channel final : public ForwardingChannel {
        public:
            Channel(DeviceChannel& line, const std::function<void()>& hook)
                : ForwardingChannel(line), hook_(hook) {}
            uint32_t Write(const uint8_t* buffer, uint32_t count) override {
                if (hook_)
                    hook_();
                return ForwardingChannel::Write(buffer, count);
            }

        private:
            const std::function<void()>& hook_;
        };
        if (onOpen)
            onOpen();
        return std::make_unique<Channel>(line_, beforeWrite);
    }
    std::function<void()> onOpen;
    std::function<void()> beforeWrite;

private:
    DeviceChannel& line_;
};

TEST_F(StationRun, PortsRunAtOnceEachInItsOwnFramingAndLogAndOneFailureStaysItsOwn) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    FixturePort& a = NewPort();  // application, then a bootloader in the other framing
    FixturePort& b = NewPort();  // already in its bootloader, 6 address bytes
    b.line.options.startInBootloader = true;
    b.line.options.bootloaderAddressLength = 6;
    FixturePort& c = NewPort();  // never answers
    c.line.options.silent = true;
    for (auto& port : fixture_)
        port->line.Device();

    Meeting meeting(2);
    HookedFactory meetA(a.line.channel);
    HookedFactory meetB(b.line.channel);
    meetA.beforeWrite = [&] {
        if (a.line.channel.Writes().size() == 11)
            meeting.Arrive();
    };
    meetB.beforeWrite = [&] {
        if (b.line.channel.Writes().size() == 11)
            meeting.Arrive();
    };
    std::vector<StationPort> ports{a.Port("A", dir.filePath("log-A.txt")),
                                   b.Port("B", dir.filePath("log-B.txt")),
                                   c.Port("C", dir.filePath("log-C.txt"))};
    ports[0].channels = &meetA;
    ports[1].channels = &meetB;
    Station station(ports, Options(), events_);
    station.Run();

    EXPECT_TRUE(meeting.AllMet()) << "the two updates did not run at the same time";
    for (FixturePort* port : {&a, &b}) {
        EXPECT_EQ(port->line.Report().pagesReceived, static_cast<uint32_t>(kPages));
        EXPECT_EQ(port->line.Report().pageMismatches, 0u);
    }
    EXPECT_EQ(events_.Of(0),
              (std::vector<std::string>{"run 1", "message " + kSuccess.toStdString(), "ended 1"}));
    EXPECT_EQ(events_.Of(1), events_.Of(0));
    EXPECT_EQ(events_.Of(2), (std::vector<std::string>{
                                 "run 1", "message " + kExchangeError.toStdString(), "ended 1"}));
    ASSERT_EQ(station.Results().size(), 3u);
    EXPECT_TRUE(station.Results()[0].at(0).succeeded);
    EXPECT_TRUE(station.Results()[1].at(0).succeeded);
    EXPECT_FALSE(station.Results()[2].at(0).succeeded);
    EXPECT_EQ(station.Results()[2].at(0).outcome, kExchangeError);
    EXPECT_FALSE(station.AllSucceeded());
    // Each log holds its own port's run only.
    const QString logA = LogText(dir.filePath("log-A.txt"));
    const QString logC = LogText(dir.filePath("log-C.txt"));
    EXPECT_TRUE(logA.contains(QStringLiteral("Отправка страницы 7")));
    EXPECT_FALSE(logC.contains(QStringLiteral("Отправка страницы")));
    EXPECT_TRUE(logC.contains(kExchangeError));
}

TEST_F(StationRun, StopBeforeTheRunsLeavesEveryDeviceUntouched) {
    FixturePort& a = NewPort();
    a.line.Device();
    Station station({a.Port("A")}, Options(), events_);
    station.Stop();
    station.Run();
    EXPECT_EQ(a.line.Report().startUpdateRequests, 0u);
    EXPECT_FALSE(station.AllSucceeded());
}

// --- serial numbers --------------------------------------------------------------------------

TEST(SerialNumberCounterTest, KeepsTheWidthStopsAtTwelveDigitsAndHonoursReservations) {
    SerialNumberCounter counter(QStringLiteral("0099"));
    EXPECT_EQ(counter.Take(), QStringLiteral("0099"));
    EXPECT_EQ(counter.Take(), QStringLiteral("0100"));
    EXPECT_EQ(counter.Next(), QStringLiteral("0101"));

    SerialNumberCounter last(QStringLiteral("999999999998"));
    EXPECT_TRUE(last.Reserve());
    EXPECT_TRUE(last.Reserve());
    EXPECT_FALSE(last.Reserve()) << "two numbers left, both held";
    last.Release();
    EXPECT_TRUE(last.Reserve());
    EXPECT_EQ(last.Take(), QStringLiteral("999999999998"));
    EXPECT_EQ(last.Take(), QStringLiteral("999999999999"));
    EXPECT_EQ(last.Take(), QString());
    EXPECT_EQ(last.Next(), QString());
    EXPECT_FALSE(last.Reserve());
    EXPECT_EQ(last.Taken(), 2u);

    // Six digits stay six: the counter ends at 999999 rather than going on with 1000000.
    SerialNumberCounter six(QStringLiteral("999999"));
    EXPECT_TRUE(six.Reserve());
    EXPECT_FALSE(six.Reserve());
    EXPECT_EQ(six.Take(), QStringLiteral("999999"));
    EXPECT_EQ(six.Next(), QString());
    EXPECT_EQ(six.Take(), QString());
}

// The serial numbers the device was sent, refused ones included.
std::string Sent(DeviceModel& device) {
    std::string numbers;
    for (const ReceivedFrame& frame : device.Frames()) {
        if (frame.command != devsim::kCmdWriteSerialNumber || frame.payload.empty())
            continue;
        numbers += std::string(frame.payload.begin() + 1, frame.payload.end()).c_str();
        numbers += ' ';
    }
    return numbers;
}

TEST_F(StationRun, CounterNeverGivesANumberTwiceNotEvenAfterAFailedWrite) {
    // B refuses the number it is sent, C's confirmation is lost on the way: both keep theirs.
    for (int i = 0; i < 3; ++i) {
        FixturePort& port = NewPort();
        port.line.options.finalStatuses = {10};
    }
    fixture_[1]->line.options.refuseSerialNumber = true;
    fixture_[2]->line.options.faults.push_back(
        FaultOn(devsim::kCmdWriteSerialNumber, 1, FaultKind::NoReply));
    SerialNumberCounter counter(QStringLiteral("0099"));
    Station& station = RunThreeWithCounter(counter);

    QSet<QString> given;
    for (size_t i = 0; i < 3; ++i) {
        const RunResult& r = station.Results()[i].at(0);
        given.insert(r.serialNumber);
        // What the device received is what the station says it gave.
        EXPECT_EQ(Sent(fixture_[i]->line.Device()), r.serialNumber.toStdString() + " ");
    }
    EXPECT_EQ(given, (QSet<QString>{"0099", "0100", "0101"}));
    EXPECT_TRUE(station.Results()[0][0].serialNumberConfirmed);
    EXPECT_FALSE(station.Results()[1][0].serialNumberConfirmed);
    EXPECT_FALSE(station.Results()[2][0].serialNumberConfirmed);
    EXPECT_EQ(counter.Next(), QStringLiteral("0102")) << "a failed device's number is spent";
}

TEST_F(StationRun, RunThatCannotHaveANumberIsNotStarted) {
    for (int i = 0; i < 3; ++i) {
        FixturePort& port = NewPort();
        port.line.options.finalStatuses = {10};
    }
    SerialNumberCounter counter(QStringLiteral("999999999998"));
    Station& station = RunThreeWithCounter(counter);

    int started = 0;
    for (size_t i = 0; i < 3; ++i) {
        const RunResult& r = station.Results()[i].at(0);
        if (r.started) {
            ++started;
            EXPECT_TRUE(r.serialNumberConfirmed);
        } else {
            EXPECT_EQ(r.outcome, QString::fromUtf8(kOutcomeNoSerialNumber));
            EXPECT_EQ(fixture_[i]->line.Report().statusRequests, 0u) << "the device was touched";
        }
    }
    EXPECT_EQ(started, 2);
    EXPECT_FALSE(station.AllSucceeded());
}

// --- the hands-free loop ---------------------------------------------------------------------

// A fixture slot whose device and adapter change at given times of its line's clock: a
// device, none (empty slot), or the adapter gone (the port does not open).
class Fixture {
public:
    explicit Fixture(SimulatedLine& line) : line_(line), factory_(*this) {}

    void At(uint64_t ms, DeviceModel* device) { Schedule(ms, {device, false}); }
    void AdapterGoneAt(uint64_t ms) { Schedule(ms, {nullptr, true}); }
    void AdapterBackAt(uint64_t ms) { Schedule(ms, {nullptr, false, true}); }
    IChannelFactory& Factory() { return factory_; }

private:
    struct Change {
        DeviceModel* device = nullptr;
        bool adapterGone = false;
        bool keepDevice = false;  // the adapter comes back with whatever device was there
    };
    void Schedule(uint64_t ms, Change change) {
        std::lock_guard lock(mutex_);
        schedule_.emplace(ms, change);
    }
    // Applies what is due; true while the adapter is gone.
    bool Apply() {
        std::lock_guard lock(mutex_);
        while (!schedule_.empty() && schedule_.begin()->first <= line_.clock.Now()) {
            Change change = schedule_.begin()->second;
            schedule_.erase(schedule_.begin());
            if (change.keepDevice)
                change.device = device_;
            if (!change.adapterGone)
                device_ = change.device;
            gone_ = change.adapterGone;
            line_.channel.AttachDevice(gone_ ? nullptr : device_);
        }
        return gone_;
    }

    class Channel final : public ForwardingChannel {
    public:
        explicit Channel(Fixture& fixture)
            : ForwardingChannel(fixture.line_.channel), fixture_(fixture) {}
        void Connect(const LinkSettings& settings) override {
            if (fixture_.Apply())
                throw EFOpenError("SerialComm open port error, 2", 2);
            ForwardingChannel::Connect(settings);
        }
        uint32_t Write(const uint8_t* buffer, uint32_t count) override {
            // A pulled adapter takes nothing; the run sees a silent line until it reopens.
            if (fixture_.Apply())
                return 0;
            return ForwardingChannel::Write(buffer, count);
        }

    private:
        Fixture& fixture_;
    };
    class ChannelMaker final : public IChannelFactory {
    public:
        explicit ChannelMaker(Fixture& fixture) : fixture_(fixture) {}
        std::unique_ptr<IByteChannel> Create() override {
            return std::make_unique<Channel>(fixture_);
        }

    private:
        Fixture& fixture_;
    };

    SimulatedLine& line_;
    std::mutex mutex_;
    std::multimap<uint64_t, Change> schedule_;
    DeviceModel* device_ = nullptr;
    bool gone_ = false;
    ChannelMaker factory_;
};

TEST_F(StationRun, LoopUpdatesADeviceOnceHoweverLongItStaysAndTheNextOneWhenPutIn) {
    FixturePort& slot = NewPort();
    VirtualClock& clock = slot.line.clock;
    DeviceModel first(slot.line.options, pages_, clock);
    DeviceModel second(slot.line.options, pages_, clock);
    Fixture factory(slot.line);
    slot.line.channel.AttachDevice(nullptr);
    factory.At(5'000, &first);  // put in after the station has waited a while

    StationOptions options = Options();
    options.repeat = true;
    StationPort port = slot.Port("A");
    port.channels = &factory.Factory();
    Station station({port}, options, events_);
    // The first device stays 20 s after its update, with a short contact loss that must not
    // count as taken away; the second comes 5 s after it has gone, and stays.
    events_.onEnded = [&](int, const RunResult& result) {
        const uint64_t now = clock.Now();
        if (result.run == 1) {
            factory.At(now + 3'000, nullptr);
            factory.At(now + 3'600, &first);
            factory.At(now + 20'000, nullptr);
            factory.At(now + 30'000, &second);
        } else {
            factory.At(now + 40'000, nullptr);
        }
    };
    events_.onRemoved = [&](int) {
        if (second.Report().updatesCompleted > 0)
            station.Stop();
    };
    station.Run();

    EXPECT_EQ(first.Report().startUpdateRequests, 1u);
    EXPECT_EQ(second.Report().startUpdateRequests, 1u);
    EXPECT_EQ(first.Report().pagesReceived, static_cast<uint32_t>(kPages));
    EXPECT_EQ(second.Report().pagesReceived, static_cast<uint32_t>(kPages));
    const std::string success = "message " + kSuccess.toStdString();
    EXPECT_EQ(events_.Of(0), (std::vector<std::string>{"waiting", "present", "updating", "run 1",
                                                       success, "ended 1", "take out", "removed",
                                                       "waiting", "present", "updating", "run 2",
                                                       success, "ended 2", "take out", "removed"}));
    ASSERT_EQ(station.Results()[0].size(), 2u);
    EXPECT_TRUE(station.AllSucceeded());
}

// A unit already on its fixture when the loop starts answers both probes a confirming pause
// apart, not a whole poll pause: the operator's Start is not kept waiting.
TEST_F(StationRun, LoopConfirmsAUnitInPlaceAfterTheConfirmingPause) {
    FixturePort& slot = NewPort();
    VirtualClock& clock = slot.line.clock;
    slot.line.Device();
    StationOptions options = Options();
    options.repeat = true;
    Station station({slot.Port("A")}, options, events_);
    uint64_t updatingAt = 0;
    events_.onState = [&](int, PortState state) {
        if (state == PortState::Updating)
            updatingAt = clock.Now();
    };
    events_.onEnded = [&](int, const RunResult&) { station.Stop(); };
    station.Run();
    ASSERT_EQ(slot.line.Report().startUpdateRequests, 1u);
    EXPECT_GE(updatingAt, options.presenceConfirmMs);
    EXPECT_LT(updatingAt, options.presencePollMs);
}

TEST_F(StationRun, LoopSaysOnceThatItsPortDoesNotOpenAndGoesOnWaiting) {
    FixturePort& slot = NewPort();
    slot.line.channel.FailConnect("no such port");
    HookedFactory factory(slot.line.channel);
    StationOptions options = Options();
    options.repeat = true;
    StationPort port = slot.Port("A");
    port.channels = &factory;
    Station station({port}, options, events_);
    int opened = 0;
    factory.onOpen = [&] {
        if (++opened == 5)
            station.Stop();
    };
    station.Run();
    EXPECT_EQ(events_.Of(0), (std::vector<std::string>{"waiting", "adapter lost no such port"}));
    EXPECT_TRUE(station.Results()[0].empty());
}

TEST_F(StationRun, AFastSwapLeavesThePortAskingForTheDeviceToBeTakenOut) {
    // An unflashed unit swapped in faster than the removal time must neither be taken for the
    // finished one (the port keeps saying "take out") nor be updated unseen.
    FixturePort& slot = NewPort();
    VirtualClock& clock = slot.line.clock;
    DeviceModel flashed(slot.line.options, pages_, clock);
    DeviceModel unflashed(slot.line.options, pages_, clock);
    Fixture fixture(slot.line);
    fixture.At(0, &flashed);

    StationOptions options = Options();
    options.repeat = true;
    options.removalMs = 4'000;
    StationPort port = slot.Port("A");
    port.channels = &fixture.Factory();
    Station station({port}, options, events_);
    uint64_t swappedAt = 0;
    events_.onEnded = [&](int, const RunResult&) {
        swappedAt = clock.Now() + 1'000;
        fixture.At(swappedAt, nullptr);
        fixture.At(swappedAt + 1'500, &unflashed);  // 1.5 s without a device
        fixture.At(swappedAt + 60'000, nullptr);
    };
    std::vector<std::pair<uint64_t, std::string>> states;
    events_.onState = [&](int, PortState state) {
        states.emplace_back(clock.Now(), state == PortState::TakeOut   ? "take out"
                                         : state == PortState::Waiting ? "waiting"
                                                                       : "other");
        if (state == PortState::Waiting && unflashed.Report().statusRequests > 0)
            station.Stop();  // back to waiting once the second unit has gone too
    };
    station.Run();

    EXPECT_EQ(flashed.Report().startUpdateRequests, 1u);
    EXPECT_EQ(unflashed.Report().startUpdateRequests, 0u) << "the swapped-in unit was updated";
    ASSERT_EQ(station.Results()[0].size(), 1u);
    // "take out" from the update's end until the second unit, too, was gone for 4 s.
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states[2].second, "take out");
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(states[3].second, "waiting");
    EXPECT_GE(states[3].first, swappedAt + 60'000 + 4'000);
}

TEST_F(StationRun, AnAdapterThatDropsOutIsNoRemovalAndItsDeviceIsNotUpdatedAgain) {
    FixturePort& slot = NewPort();
    slot.line.options.finalStatuses = {10};
    VirtualClock& clock = slot.line.clock;
    DeviceModel device(slot.line.options, pages_, clock);
    Fixture fixture(slot.line);
    fixture.At(0, &device);

    SerialNumberCounter counter(QStringLiteral("0500"));
    StationOptions options = Options();
    options.repeat = true;
    options.technology = true;
    options.hardware = QStringLiteral("3");
    options.counter = &counter;
    StationPort port = slot.Port("A");
    port.channels = &fixture.Factory();
    Station station({port}, options, events_);
    events_.onEnded = [&](int, const RunResult&) {
        // The adapter is gone for 10 s, twice the removal time, and comes back with the same
        // device on it; a minute later the device really is taken away.
        const uint64_t now = clock.Now();
        fixture.AdapterGoneAt(now + 1'000);
        fixture.AdapterBackAt(now + 11'000);
        fixture.At(now + 60'000, nullptr);
    };
    events_.onRemoved = [&](int) { station.Stop(); };
    station.Run();

    EXPECT_EQ(device.Report().startUpdateRequests, 1u) << "the same device was updated again";
    EXPECT_EQ(device.Report().serialNumbers.size(), 1u);
    EXPECT_EQ(counter.Next(), QStringLiteral("0501"));
    const std::vector<std::string> seen = events_.Of(0);
    const std::vector<std::string> expected{
        "waiting",  "present",  "updating",
        "run 1",    "sn 0500",  "message " + kSuccess.toStdString(),
        "ended 1",  "take out", "adapter lost SerialComm open port error, 2",
        "take out", "removed"};
    EXPECT_EQ(seen, expected);
}

TEST_F(StationRun, RunsTellTheirOutcomeAndPagesSentAndALogThatDoesNotOpenIsANote) {
    // The device asks for three pages and one the package does not have: four progress
    // updates, three pages sent.
    FixturePort& slot = NewPort();
    slot.line.options.startInBootloader = true;
    slot.line.options.pageRequests = std::vector<devsim::PageRequest>{
        {0, kPageData}, {1, kPageData}, {99, kPageData}, {2, kPageData}};
    slot.line.Device();
    StationOptions options = Options();
    Station station({slot.Port("A", QStringLiteral("/nonexistent-folder/log-A.txt"))}, options,
                    events_);
    station.Run();

    ASSERT_EQ(station.Results()[0].size(), 1u);
    const RunResult& r = station.Results()[0][0];
    EXPECT_EQ(r.end, kvr::RunEnd::Success);
    EXPECT_TRUE(r.succeeded);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.pagesSent, 3);
    EXPECT_EQ(events_.lastPagesSent[0], 3);
    EXPECT_EQ(events_.Of(0),
              (std::vector<std::string>{"run 1", "no log", "message " + kSuccess.toStdString(),
                                        "ended 1"}));
}

}  // namespace

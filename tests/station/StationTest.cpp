// flash's station in process: several simulated devices, each on its own line and virtual
// clock, updated by the station's threads while this thread serves their hand-overs. Covers
// the scheduling of the ports, the serial-number counter, the hands-free loop and the JSON
// events; what the process adds (terminals, Ctrl+C, the table) is FlashEndToEndTest's.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

#include "RunMessages.h"
#include "SerialNumberCounter.h"
#include "SimulatedLine.h"
#include "Station.h"
#include "StationOutput.h"
#include "TestFiles.h"
#include "TestPages.h"

namespace {

using namespace kvr;
using namespace kvr::cli;
using namespace kvr::test;

constexpr int kPages = 8;
constexpr int kPageData = 64;

// Everything the station reported, one line per event: "port event detail".
class RecordingEvents final : public IStationEvents {
public:
    void Waiting(int port) override { Note(port, "waiting"); }
    void PortUnavailable(int port, const QString& reason) override {
        Note(port, "unavailable " + reason.toStdString());
    }
    void DevicePresent(int port) override { Note(port, "present"); }
    void DeviceRemoved(int port) override {
        Note(port, "removed");
        if (onRemoved)
            onRemoved(port);
    }
    void RunStarted(int port, int run) override { Note(port, "run " + std::to_string(run)); }
    void Progress(int, int) override {}
    void Message(int port, const QString& text) override {
        Note(port, "message " + text.toStdString());
    }
    void Question(int port, const QString& text) override {
        Note(port, "question " + text.toStdString());
    }
    void Answer(int port, bool yes) override { Note(port, yes ? "yes" : "no"); }
    void SerialNumberTaken(int port, const QString& number) override {
        Note(port, "sn " + number.toStdString());
    }
    void RunEnded(int port, const RunResult& result) override {
        Note(port, "ended " + std::to_string(result.run));
        if (onEnded)
            onEnded(port, result);
    }

    std::vector<std::string> Of(int port) const {
        return byPort_.count(port) ? byPort_.at(port) : std::vector<std::string>{};
    }

    std::function<void(int, const RunResult&)> onEnded;
    std::function<void(int)> onRemoved;

private:
    void Note(int port, const std::string& text) { byPort_[port].push_back(text); }
    std::map<int, std::vector<std::string>> byPort_;
};

// One adapter of the fixture: a line with its own clock, and the port as the station sees it.
struct FixturePort {
    explicit FixturePort(PageMap pages) : line(std::move(pages)) {}
    StationPort Port(const QString& name, const QString& logPath = {}) {
        StationPort port;
        port.name = name;
        port.logPath = logPath;
        port.channels = &line.factory;
        port.clock = &line.clock;
        return port;
    }
    SimulatedLine line;
};

class StationRun : public ::testing::Test {
protected:
    FixturePort& AddPort() {
        fixture_.push_back(std::make_unique<FixturePort>(pages_));
        return *fixture_.back();
    }
    StationOptions Options() const {
        StationOptions options;
        options.pages = pages_;
        return options;
    }

    // Technology mode on three ports A, B, C with numbers from `counter`.
    Station& RunThreeWithCounter(SerialNumberCounter& counter) {
        for (auto& port : fixture_)
            port->line.Device();
        StationOptions options = Options();
        options.technology = true;
        options.hardware = QStringLiteral("3");
        options.counter = &counter;
        station_.emplace(std::vector<StationPort>{fixture_[0]->Port("A"), fixture_[1]->Port("B"),
                                                  fixture_[2]->Port("C")},
                         options, events_);
        station_->Run();
        return *station_;
    }

    PageMap pages_ = MakePages(kPages, kPageData, 3);
    std::vector<std::unique_ptr<FixturePort>> fixture_;
    RecordingEvents events_;
    std::optional<Station> station_;
};

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
    FixturePort& a = AddPort();  // application, then a bootloader in the other framing
    FixturePort& b = AddPort();  // already in its bootloader, 6 address bytes
    b.line.options.startInBootloader = true;
    b.line.options.bootloaderAddressLength = 6;
    FixturePort& c = AddPort();  // never answers
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
    FixturePort& a = AddPort();
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
        FixturePort& port = AddPort();
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
        FixturePort& port = AddPort();
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

// A fixture slot whose device changes at given times of its line's clock (nullptr: empty).
class Slot {
public:
    explicit Slot(DeviceChannel& line) : line_(line), factory(line) {
        factory.beforeWrite = [this] {
            std::lock_guard lock(mutex_);
            while (!schedule_.empty() && schedule_.begin()->first <= line_.Clock().Now()) {
                line_.AttachDevice(schedule_.begin()->second);
                schedule_.erase(schedule_.begin());
            }
        };
    }
    void At(uint64_t ms, DeviceModel* device) {
        std::lock_guard lock(mutex_);
        schedule_[ms] = device;
    }

private:
    DeviceChannel& line_;
    std::mutex mutex_;
    std::map<uint64_t, DeviceModel*> schedule_;

public:
    HookedFactory factory;
};

TEST_F(StationRun, LoopUpdatesADeviceOnceHoweverLongItStaysAndTheNextOneWhenPutIn) {
    FixturePort& slot = AddPort();
    VirtualClock& clock = slot.line.clock;
    DeviceModel first(slot.line.options, pages_, clock);
    DeviceModel second(slot.line.options, pages_, clock);
    Slot factory(slot.line.channel);
    slot.line.channel.AttachDevice(nullptr);
    factory.At(5'000, &first);  // put in after the station has waited a while

    StationOptions options = Options();
    options.repeat = true;
    StationPort port = slot.Port("A");
    port.channels = &factory.factory;
    Station station({port}, options, events_);
    // The first device stays 20 s after its update, with a short contact loss that must not
    // count as taken away; the second comes 5 s after it has gone, and stays.
    events_.onEnded = [&](int, const RunResult& result) {
        const uint64_t now = clock.Now();
        if (result.run == 1) {
            factory.At(now + 3'000, nullptr);
            factory.At(now + 3'600, &first);
            factory.At(now + 20'000, nullptr);
            factory.At(now + 25'000, &second);
        } else {
            factory.At(now + 30'000, nullptr);
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
    EXPECT_EQ(events_.Of(0), (std::vector<std::string>{"waiting", "present", "run 1", success,
                                                       "ended 1", "removed", "waiting", "present",
                                                       "run 2", success, "ended 2", "removed"}));
    ASSERT_EQ(station.Results()[0].size(), 2u);
    EXPECT_TRUE(station.AllSucceeded());
}

TEST_F(StationRun, LoopSaysOnceThatItsPortDoesNotOpenAndGoesOnWaiting) {
    FixturePort& slot = AddPort();
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
    EXPECT_EQ(events_.Of(0), (std::vector<std::string>{"waiting", "unavailable no such port"}));
    EXPECT_TRUE(station.Results()[0].empty());
}

// --- JSON events -----------------------------------------------------------------------------

std::vector<QJsonObject> JsonLines(std::FILE* file, QString& problems) {
    std::rewind(file);
    std::vector<QJsonObject> lines;
    char buffer[65536];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray(buffer), &error);
        if (!document.isObject())
            problems += QStringLiteral("not an object: %1\n").arg(QString::fromUtf8(buffer));
        lines.push_back(document.object());
    }
    return lines;
}

TEST_F(StationRun, JsonEventsCarryTypePortAndTimeAndTellEveryStepOfEachPort) {
    FixturePort& a = AddPort();
    a.line.options.finalStatuses = {10};
    a.line.options.pageFlags[2] = devsim::kPageFlagProgramIncompatible;
    FixturePort& b = AddPort();
    b.line.options.silent = true;
    a.line.Device();
    b.line.Device();
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    SystemClock clock;
    {
        JsonStationOutput json(out, {QStringLiteral("A"), QStringLiteral("B")},
                               {QStringLiteral("p.bsk"), kPages, false, true, false}, clock);
        StationOptions options = Options();
        options.technology = true;
        options.hardware = QStringLiteral("3");
        options.answerQuestion = [](int, const QString&) { return true; };
        StationPort portA = a.Port("A");
        portA.serialNumber = QStringLiteral("77");
        StationPort portB = b.Port("B");
        portB.serialNumber = QStringLiteral("78");
        Station station({portA, portB}, options, json);
        station.Run();
        json.Summary(station, {}, 1);
    }
    QString problems;
    const std::vector<QJsonObject> lines = JsonLines(out, problems);
    std::fclose(out);
    ASSERT_TRUE(problems.isEmpty()) << problems.toStdString();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front()["type"].toString(), QStringLiteral("start"));
    EXPECT_EQ(lines.front()["version"].toInt(), 1);
    EXPECT_EQ(lines.front()["ports"].toArray().size(), 2);
    EXPECT_TRUE(lines.front()["technology"].toBool());

    std::map<QString, QStringList> typesOf;
    qint64 lastTime = 0;
    for (const QJsonObject& line : lines) {
        ASSERT_TRUE(line.contains("type") && line.contains("port") && line.contains("time_ms"));
        EXPECT_GE(line["time_ms"].toInteger(), lastTime) << "time went back";
        lastTime = line["time_ms"].toInteger();
        const QString type = line["type"].toString();
        if (line["port"].isNull()) {
            EXPECT_TRUE(type == "start" || type == "summary") << type.toStdString();
            continue;
        }
        QStringList& types = typesOf[line["port"].toString()];
        if (types.isEmpty() || types.back() != type || type != "progress")
            types << type;  // a run of progress lines counts once
        if (type == "answer") {
            EXPECT_EQ(line["answer"].toString(), QStringLiteral("yes"));
        }
        if (type == "question" || type == "message") {
            EXPECT_FALSE(line["text"].toString().isEmpty());
        }
        if (type == "outcome" && line["port"].toString() == "A") {
            EXPECT_TRUE(line["success"].toBool());
            EXPECT_EQ(line["text"].toString(), kSuccess);
            EXPECT_EQ(line["serial_number"].toString(), QStringLiteral("77"));
            EXPECT_TRUE(line["serial_number_confirmed"].toBool());
        }
        if (type == "outcome" && line["port"].toString() == "B") {
            EXPECT_FALSE(line["success"].toBool());
            EXPECT_TRUE(line["serial_number"].isNull());
        }
    }
    EXPECT_EQ(typesOf["A"], (QStringList{"run_start", "progress", "question", "answer", "progress",
                                         "serial_number", "message", "outcome"}));
    EXPECT_EQ(typesOf["B"], (QStringList{"run_start", "message", "outcome"}));
    const QJsonObject& summary = lines.back();
    EXPECT_EQ(summary["type"].toString(), QStringLiteral("summary"));
    EXPECT_EQ(summary["succeeded"].toInt(), 1);
    EXPECT_EQ(summary["failed"].toInt(), 1);
    EXPECT_EQ(summary["exit_status"].toInt(), 1);
}

}  // namespace

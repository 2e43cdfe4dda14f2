// The station's test fixture: simulated devices on their own lines and virtual clocks, and
// every event the station reported, one line each.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SerialNumberCounter.h"
#include "SimulatedLine.h"
#include "Station.h"
#include "TestPages.h"

namespace kvr::test {

using namespace kvr::station;

constexpr int kPages = 8;
constexpr int kPageData = 64;

// Everything the station reported, one line per event: "port event detail".
class RecordingEvents final : public IStationEvents {
public:
    void StateChanged(int port, PortState state, const QString& detail) override {
        switch (state) {
            case PortState::Waiting:
                Note(port, "waiting");
                break;
            case PortState::Updating:
                Note(port, "updating");
                break;
            case PortState::TakeOut:
                Note(port, "take out");
                break;
            case PortState::AdapterLost:
                Note(port, "adapter lost " + detail.toStdString());
                break;
            case PortState::Held:
                Note(port, "held " + detail.toStdString());
                break;
        }
        if (onState)
            onState(port, state);
    }
    void DevicePresent(int port) override { Note(port, "present"); }
    void DeviceRemoved(int port) override {
        Note(port, "removed");
        if (onRemoved)
            onRemoved(port);
    }
    void RunStarted(int port, int run) override { Note(port, "run " + std::to_string(run)); }
    void Progress(int port, int, int pagesSent) override { lastPagesSent[port] = pagesSent; }
    void Message(int port, const QString& text) override {
        Note(port, "message " + text.toStdString());
    }
    void Question(int port, const QString& text) override {
        Note(port, "question " + text.toStdString());
    }
    void Answer(int port, bool yes) override { Note(port, yes ? "yes" : "no"); }
    void SerialNumberTaken(int port, const QString& number) override {
        Note(port, "sn " + number.toStdString());
        if (onSerialNumber)
            onSerialNumber(port);
    }
    void LogUnavailable(int port, const QString&) override { Note(port, "no log"); }
    void RecordNote(int port, const QString& text) override {
        Note(port, "record " + text.toStdString());
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
    std::function<void(int)> onSerialNumber;
    std::function<void(int, PortState)> onState;
    std::map<int, int> lastPagesSent;

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
    FixturePort& NewPort() {
        fixture_.push_back(std::make_unique<FixturePort>(pages_));
        return *fixture_.back();
    }
    StationOptions Options() const {
        StationOptions options;
        options.pages = pages_;
        return options;
    }

    // Technology mode on three ports A, B, C with numbers from `counter`.
    Station& RunThreeWithCounter(ISerialNumberSource& counter, IStationRecord* record = nullptr) {
        for (auto& port : fixture_)
            port->line.Device();
        StationOptions options = Options();
        options.technology = true;
        options.hardware = QStringLiteral("3");
        options.counter = &counter;
        options.record = record;
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

}  // namespace kvr::test

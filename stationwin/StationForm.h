// kvr-station's window: one lane per port of a recipe, the hands-free loop on every lane at
// once (Station.h), numbers from the recipe's pool and every run in its record.
//
// Nothing of the recipe can be changed here. A lane's messages and the program-version answer
// (the recipe's) are shown in the lane, never in a box that would hold the other lanes. Start
// runs the station on this thread, which keeps serving the window meanwhile; Stop lets each
// update finish its exchange. Closing the window while a lane updates asks first, then stops
// as Stop does and closes once every lane has ended.
//
// The record is never called on this thread: the run is set up on a thread of its own while
// the window goes on, and the lanes write to the station's store (StationLedger.h). A line at
// the bottom tells where the line's record stands.
//
// Each lane and the station show their shift (ShiftTally.h) from the first Start on: first-pass
// yield, units per hour and the median time per unit.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "ByteChannel.h"
#include "Clock.h"
#include "Prompter.h"
#include "Recipe.h"
#include "SerialPorts.h"
#include "ShiftTally.h"
#include "Station.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kvr {
namespace station {
class ProductionRun;
struct RecordState;
}  // namespace station

namespace stationwin {

// What the window takes from outside; empty members get the production choice.
struct StationFormDependencies {
    std::shared_ptr<IPrompter> prompter;                 // QtPrompter
    std::function<IChannelFactory&(int port)> channels;  // the serial port
    std::function<IClock&(int port)> clocks;             // the system clock
    QString logPath;               // UpdateLogPath(); the record's journal lies beside it
    IClock* shiftClock = nullptr;  // the shift's hours; the system clock
};

// What a lane shows, in words and colour.
enum class LaneState { Idle, Waiting, Updating, Done, Failed, AdapterLost, Held };

class TStationFrm final : public QWidget, public station::IStationEvents {
    Q_OBJECT

public:
    explicit TStationFrm(Recipe recipe, StationFormDependencies deps = {},
                         QWidget* parent = nullptr);
    ~TStationFrm() override;

    // The Start and Stop buttons. Start returns once every lane has ended.
    void Start();
    void Stop();
    bool Running() const { return station_ != nullptr; }
    LaneState StateOf(int lane) const { return lanes_[static_cast<size_t>(lane)].state; }
    const ShiftTally& Shift() const { return *shift_; }

signals:
    void LaneChanged(int lane, kvr::stationwin::LaneState state);
    void StationEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Lane {
        QFrame* stateBox = nullptr;   // the state's colour
        QLabel* stateLine = nullptr;  // the state's word, to be read from across the bench
        QLabel* stateDetail = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* serialNumber = nullptr;
        QLabel* counts = nullptr;
        QLabel* shift = nullptr;
        QLabel* message = nullptr;
        LaneState state = LaneState::Idle;
        int updated = 0, succeeded = 0, failed = 0;
    };

    void BuildLanes();
    QString SummaryText() const;
    QFrame* BuildLane(int lane, const std::vector<SerialPortDetails>& known);
    void Show(int lane, LaneState state, const QString& detail = {});
    void ShowCounts(int lane);
    void ShowTotals();
    void ShowShift();
    void ShowRecordState(const station::RecordState& state);
    // Numbers leased and not given go back, and what waits is sent for a while, off this
    // thread; the window keeps painting meanwhile.
    void FinishRun();
    // The run the recipe describes, its record opened and its pool checked; false after
    // saying why.
    bool PrepareRun();

    // IStationEvents, on this thread.
    void StateChanged(int port, station::PortState state, const QString& detail) override;
    void DevicePresent(int) override {}
    void DeviceRemoved(int port) override;
    void RunStarted(int port, int run) override;
    void Progress(int port, int position, int pagesSent) override;
    void Message(int port, const QString& text) override;
    void Question(int port, const QString& text) override;
    void Answer(int port, bool yes) override;
    void SerialNumberTaken(int port, const QString& number) override;
    void LogUnavailable(int port, const QString& path) override;
    void RecordNote(int port, const QString& text) override;
    void RunEnded(int port, const station::RunResult& result) override;

    Recipe recipe_;
    StationFormDependencies deps_;
    std::vector<Lane> lanes_;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* totals_ = nullptr;
    QLabel* shiftTotals_ = nullptr;
    QTimer* shiftWatch_ = nullptr;  // units per hour fall while no unit comes
    std::unique_ptr<ShiftTally> shift_;
    QLabel* recordState_ = nullptr;
    QTimer* recordWatch_ = nullptr;  // while the run is kept
    std::unique_ptr<station::ProductionRun> run_;
    std::unique_ptr<station::Station> station_;
    bool closeWhenEnded_ = false;
};

}  // namespace stationwin
}  // namespace kvr

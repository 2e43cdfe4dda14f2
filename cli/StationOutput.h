// What flash prints while its station runs: text for people (TextStationOutput) or one JSON
// object per line for a production line's software (JsonStationOutput).
//
// Both take the station's events on the station's thread, plus the command's own: a stop asked
// for, a port-open hint, and the summary once every port is done. Both write through CliOutput,
// which the flash command points at its output queue.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "Clock.h"
#include "ProgressDisplay.h"
#include "Station.h"
#include "StationLedger.h"

namespace kvr::cli {

using station::IStationEvents;
using station::PortState;
using station::RunResult;
using station::Station;

class IStationOutput : public IStationEvents {
public:
    // Ctrl+C: every run stops after the exchange under way.
    virtual void Stopping() = 0;
    // What the system's error on opening a port usually means.
    virtual void Hint(int port, const QString& text) = 0;
    // Once every port is done. nextSerialNumber: the counter's next number, empty without one.
    virtual void Summary(const Station& station, const QString& nextSerialNumber,
                         int exitStatus) = 0;
    // Where the line's record stands, when that changes (on the station's thread).
    virtual void RecordState(const station::RecordState& state) = 0;
    // At the end: rows that the record has not taken yet, kept in `store` for the next start.
    virtual void RecordLeft(int64_t waiting, const QString& store) = 0;
};

// Messages (and questions) on standard output, progress and the station's notes on standard
// error. One port without the loop prints exactly as a single update always has: the texts as
// they are, the progress bar of ProgressDisplay, no summary. Several ports prefix each text
// with its port; on a terminal their progress is a block of one line per port redrawn in
// place, otherwise plain "PORT: NN%" lines. Several ports, and the loop, end with a summary.
class TextStationOutput final : public IStationOutput {
public:
    TextStationOutput(CliOutput& io, std::FILE* progress, bool terminal, QStringList ports,
                      int pageCount, bool repeat, IClock& clock);
    ~TextStationOutput() override;

    void StateChanged(int port, PortState state, const QString& detail) override;
    void DevicePresent(int port) override;
    void DeviceRemoved(int port) override;
    void RunStarted(int port, int run) override;
    void Progress(int port, int position, int pagesSent) override;
    void Message(int port, const QString& text) override;
    void Question(int port, const QString& text) override;
    void Answer(int port, bool yes) override;
    void SerialNumberTaken(int port, const QString& number) override;
    void LogUnavailable(int port, const QString& path) override;
    void RecordNote(int port, const QString& text) override;
    void RunEnded(int port, const RunResult& result) override;
    void Stopping() override;
    void Hint(int port, const QString& text) override;
    void Summary(const Station& station, const QString& nextSerialNumber, int exitStatus) override;
    void RecordState(const station::RecordState& state) override;
    void RecordLeft(int64_t waiting, const QString& store) override;

private:
    struct PortLine {
        int position = -1;
        int pagesSent = 0;
        bool succeeded = false;  // the last run's
        QString state;           // shown instead of the bar when not empty
    };

    bool Several() const { return ports_.size() > 1; }
    QString Prefixed(int port, const QString& text) const;
    void Print(int port, const QString& text, bool note);
    void Out(int port, const QString& text);
    // A word of the command's own on standard error, never a message of the run.
    void Note(int port, const QString& text);
    void SetState(int port, const QString& state);
    // The block of progress lines (several ports on a terminal).
    void DrawBlock(bool force);
    void ClearBlock();

    CliOutput& io_;
    std::FILE* progress_;
    bool terminal_;
    QStringList ports_;
    int pageCount_;
    bool repeat_;
    IClock& clock_;
    std::optional<ProgressDisplay> bar_;  // one port
    std::vector<PortLine> lines_;
    int drawnLines_ = 0;
    uint64_t lastDrawMs_ = 0;
    bool recordAway_ = false;  // as last said
    uint64_t recordSaidMs_ = 0;
};

// One JSON object per line on `stream`; see README.md for the events and their fields.
class JsonStationOutput final : public IStationOutput {
public:
    static constexpr int kFormatVersion = 1;

    // What the first line tells of the command, besides its ports.
    struct Command {
        QString packagePath;
        int pageCount = 0;
        bool bootAll = false;
        bool technology = false;
        bool repeat = false;
    };

    // Writes the first line ("start", with the format version).
    JsonStationOutput(CliOutput& io, QStringList ports, const Command& command, IClock& clock);

    // A command refused before it started (bad usage, a package that does not load): one
    // "error" line and the summary, with exit status 2.
    static void PrintRefusal(CliOutput& io, const QString& text, int exitStatus, IClock& clock);

    void StateChanged(int port, PortState state, const QString& detail) override;
    void DevicePresent(int port) override;
    void DeviceRemoved(int port) override;
    void RunStarted(int port, int run) override;
    void Progress(int port, int position, int pagesSent) override;
    void Message(int port, const QString& text) override;
    void Question(int port, const QString& text) override;
    void Answer(int port, bool yes) override;
    void SerialNumberTaken(int port, const QString& number) override;
    void LogUnavailable(int port, const QString& path) override;
    void RecordNote(int port, const QString& text) override;
    void RunEnded(int port, const RunResult& result) override;
    void Stopping() override;
    void Hint(int port, const QString& text) override;
    void Summary(const Station& station, const QString& nextSerialNumber, int exitStatus) override;
    void RecordState(const station::RecordState& state) override;
    void RecordLeft(int64_t waiting, const QString& store) override;

private:
    // Writes nothing by itself.
    JsonStationOutput(CliOutput& io, QStringList ports, IClock& clock);
    // port -1: the whole station (null).
    void Emit(const char* type, int port, const QJsonObject& fields = {});

    CliOutput& io_;
    QStringList ports_;
    IClock& clock_;
    uint64_t startMs_;
};

}  // namespace kvr::cli

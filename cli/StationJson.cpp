// The JSON lines of flash --json. Every object starts with its type, its port (null for the
// whole station) and the milliseconds since the command started, on a monotonic clock.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include "StationOutput.h"

namespace kvr::cli {

namespace {

constexpr char kFormatName[] = "kvr-uplinker-events";

// One value as JSON text, escaped as Qt escapes it.
QByteArray ValueText(const QJsonValue& value) {
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QJsonValue OrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

}  // namespace

JsonStationOutput::JsonStationOutput(CliOutput& io, QStringList ports, const Command& command,
                                     IClock& clock)
    : io_(io), ports_(std::move(ports)), clock_(clock), startMs_(clock.TickMs()) {
    Emit("start", -1,
         {{"format", QLatin1String(kFormatName)},
          {"version", kFormatVersion},
          {"ports", QJsonArray::fromStringList(ports_)},
          {"package", command.packagePath},
          {"pages", command.pageCount},
          {"bootall", command.bootAll},
          {"technology", command.technology},
          {"repeat", command.repeat}});
}

void JsonStationOutput::Emit(const char* type, int port, const QJsonObject& fields) {
    // The three common fields first, in this order, so that a line reads at a glance; Qt's own
    // objects would sort them among the rest.
    QByteArray line = "{\"type\":" + ValueText(QLatin1String(type));
    line += ",\"port\":" +
            ValueText(port < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(ports_[port]));
    line += ",\"time_ms\":" + QByteArray::number(clock_.TickMs() - startMs_);
    const QByteArray rest = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    line += rest.size() > 2 ? ',' + rest.mid(1) : QByteArray("}");  // "{}": nothing more
    line += '\n';
    io_.Raw(io_.OutStream(), line);
}

void JsonStationOutput::PrintRefusal(CliOutput& io, const QString& text, int exitStatus,
                                     IClock& clock) {
    JsonStationOutput none(io, {}, clock);
    none.Emit("error", -1, {{"text", text}});
    none.Emit("summary", -1,
              {{"runs", 0},
               {"succeeded", 0},
               {"failed", 0},
               {"ports", QJsonArray()},
               {"next_serial_number", QJsonValue(QJsonValue::Null)},
               {"exit_status", exitStatus}});
}

JsonStationOutput::JsonStationOutput(CliOutput& io, QStringList ports, IClock& clock)
    : io_(io), ports_(std::move(ports)), clock_(clock), startMs_(clock.TickMs()) {}

void JsonStationOutput::StateChanged(int port, PortState state, const QString& detail) {
    const char* name = "waiting";
    switch (state) {
        case PortState::Waiting:
            Emit("waiting", port);
            break;
        case PortState::Updating:
            name = "updating";
            break;
        case PortState::TakeOut:
            name = "take_out";
            break;
        case PortState::AdapterLost:
            name = "adapter_lost";
            Emit("port_unavailable", port, {{"text", detail}});
            break;
        case PortState::Held:
            name = "held";
            break;
    }
    QJsonObject fields{{"state", QLatin1String(name)}};
    if (!detail.isEmpty())
        fields.insert("text", detail);
    Emit("state", port, fields);
}
void JsonStationOutput::DevicePresent(int port) {
    Emit("device_present", port);
}
void JsonStationOutput::DeviceRemoved(int port) {
    Emit("device_removed", port);
}
void JsonStationOutput::RunStarted(int port, int run) {
    Emit("run_start", port, {{"run", run}});
}
void JsonStationOutput::Progress(int port, int position, int pagesSent) {
    Emit("progress", port, {{"position", position}, {"pages_sent", pagesSent}});
}
void JsonStationOutput::Message(int port, const QString& text) {
    Emit("message", port, {{"text", text}});
}
void JsonStationOutput::Question(int port, const QString& text) {
    Emit("question", port, {{"text", text}});
}
void JsonStationOutput::Answer(int port, bool yes) {
    Emit("answer", port, {{"answer", yes ? QLatin1String("yes") : QLatin1String("no")}});
}
void JsonStationOutput::SerialNumberTaken(int port, const QString& number) {
    Emit("serial_number", port, {{"serial_number", number}});
}
void JsonStationOutput::LogUnavailable(int port, const QString& path) {
    Emit("log_unavailable", port, {{"path", path}});
}

void JsonStationOutput::RecordNote(int port, const QString& text) {
    Emit("record", port, {{"text", text}});
}

void JsonStationOutput::RunEnded(int port, const RunResult& result) {
    Emit("outcome", port,
         {{"run", result.run},
          {"started", result.started},
          {"success", result.succeeded},
          {"stopped", result.stopped},
          {"end", QLatin1String(result.started ? RunEndName(result.end) : "not_started")},
          {"text", result.outcome},
          {"duration_ms", static_cast<qint64>(result.durationMs)},
          {"pages_sent", result.pagesSent},
          {"serial_number", OrNull(result.serialNumber)},
          {"serial_number_confirmed", result.serialNumber.isEmpty()
                                          ? QJsonValue(QJsonValue::Null)
                                          : QJsonValue(result.serialNumberConfirmed)}});
}

void JsonStationOutput::Stopping() {
    Emit("stopping", -1);
}

void JsonStationOutput::RecordState(const station::RecordState& state) {
    QJsonObject fields{{"connected", state.connected},
                       {"rows_waiting", static_cast<qint64>(state.waiting)},
                       {"leased_left", static_cast<qint64>(state.leasedLeft)}};
    if (!state.connected) {
        fields.insert("away_since", state.awaySince.toUTC().toString(Qt::ISODateWithMs));
        fields.insert("text", state.reason);
    }
    if (state.backAfterS >= 0) {
        fields.insert("back_after_s", static_cast<qint64>(state.backAfterS));
        fields.insert("rows_sent", static_cast<qint64>(state.sentSinceBack));
    }
    Emit("record", -1, fields);
}

void JsonStationOutput::RecordLeft(int64_t waiting, const QString& store) {
    Emit("record_left", -1,
         {{"rows_waiting", static_cast<qint64>(waiting)},
          {"store", QDir::toNativeSeparators(store)}});
}

void JsonStationOutput::Hint(int port, const QString& text) {
    Emit("hint", port, {{"text", text}});
}

void JsonStationOutput::Summary(const Station& station, const QString& nextSerialNumber,
                                int exitStatus) {
    QJsonArray ports;
    int succeeded = 0;
    int failed = 0;
    for (size_t i = 0; i < station.Results().size(); ++i) {
        int portSucceeded = 0;
        int portFailed = 0;
        for (const RunResult& r : station.Results()[i])
            (r.succeeded ? portSucceeded : portFailed) += 1;
        succeeded += portSucceeded;
        failed += portFailed;
        ports.append(QJsonObject{{"port", ports_[static_cast<qsizetype>(i)]},
                                 {"runs", portSucceeded + portFailed},
                                 {"succeeded", portSucceeded},
                                 {"failed", portFailed}});
    }
    Emit("summary", -1,
         {{"runs", succeeded + failed},
          {"succeeded", succeeded},
          {"failed", failed},
          {"ports", ports},
          {"next_serial_number", OrNull(nextSerialNumber)},
          {"exit_status", exitStatus}});
}

}  // namespace kvr::cli

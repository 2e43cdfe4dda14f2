#include "LineApi.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <cmath>

namespace kvr::line {

namespace {

QJsonValue Stamp(const QDateTime& at) {
    return at.isValid() ? QJsonValue(record::StampText(at)) : QJsonValue(QJsonValue::Null);
}

// Figures rounded to what a screen or a spreadsheet shows; the counts stay exact.
double Rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue Optional(const std::optional<double>& value, int decimals) {
    return value ? QJsonValue(Rounded(*value, decimals)) : QJsonValue(QJsonValue::Null);
}

QJsonObject Figures(const record::ShiftFigures& f) {
    QJsonObject o{{"runs", static_cast<qint64>(f.runs)},
                  {"units", static_cast<qint64>(f.units)},
                  {"passed", static_cast<qint64>(f.passed)},
                  {"failed", static_cast<qint64>(f.failed)},
                  {"running", static_cast<qint64>(f.running)},
                  {"first_pass_yield", Optional(f.firstPassYield, 4)},
                  {"units_per_hour", Rounded(f.unitsPerHour, 2)},
                  {"median_unit_s", Optional(f.medianUnitS, 3)}};
    if (!f.station.isEmpty())
        o.insert("station", f.station);
    if (!f.port.isEmpty())
        o.insert("port", f.port);
    return o;
}

QJsonArray FiguresOf(const std::vector<record::ShiftFigures>& list) {
    QJsonArray a;
    for (const record::ShiftFigures& f : list)
        a.append(Figures(f));
    return a;
}

QJsonArray Pareto(const std::vector<record::OutcomeCount>& pareto) {
    int64_t total = 0;
    for (const record::OutcomeCount& c : pareto)
        total += c.count;
    QJsonArray a;
    int64_t running = 0;
    for (const record::OutcomeCount& c : pareto) {
        running += c.count;
        a.append(QJsonObject{
            {"outcome", c.outcome},
            {"count", static_cast<qint64>(c.count)},
            {"share", Rounded(static_cast<double>(c.count) / static_cast<double>(total), 4)},
            {"cumulative", Rounded(static_cast<double>(running) / static_cast<double>(total), 4)}});
    }
    return a;
}

QJsonArray Stations(const std::vector<record::StationSeen>& stations) {
    QJsonArray a;
    for (const record::StationSeen& s : stations) {
        QJsonArray lanes;
        for (const record::LaneBeat& lane : s.lanes) {
            QJsonObject l{{"port", lane.port}, {"state", lane.state}};
            if (!lane.lastOutcome.isEmpty()) {
                l.insert("last_outcome", lane.lastOutcome);
                l.insert("last_at", Stamp(lane.lastAt));
            }
            lanes.append(l);
        }
        a.append(QJsonObject{{"station", s.station},
                             {"online", s.online},
                             {"stopped", s.stoppedAt.isValid()},
                             {"started_at", Stamp(s.startedAt)},
                             {"seen_at", Stamp(s.seenAt)},
                             {"stopped_at", Stamp(s.stoppedAt)},
                             {"package_name", s.packageName},
                             {"package_sha256", s.packageSha256},
                             {"pool", s.pool},
                             {"waiting", static_cast<qint64>(s.waiting)},
                             {"lease_left", static_cast<qint64>(s.leaseLeft)},
                             {"lanes", lanes}});
    }
    return a;
}

QJsonArray Pools(const std::vector<record::PoolOutlook>& pools) {
    QJsonArray a;
    for (const record::PoolOutlook& p : pools) {
        a.append(QJsonObject{{"name", p.status.name},
                             {"first", p.status.first},
                             {"last", p.status.last},
                             {"next", p.status.next.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                              : QJsonValue(p.status.next)},
                             {"left", static_cast<qint64>(p.left)},
                             {"used_per_hour", Rounded(p.usedPerHour, 2)},
                             {"runs_out_at", Stamp(p.runsOutAt)}});
    }
    return a;
}

bool OneValue(const Query& query, const char* key, QString& value, QString& error) {
    const auto [from, to] = query.equal_range(key);
    if (from == to)
        return true;
    if (std::next(from) != to) {
        error = QStringLiteral("\"%1\" is given more than once").arg(QLatin1String(key));
        return false;
    }
    value = QString::fromStdString(from->second);
    if (value.isEmpty()) {
        error = QStringLiteral("\"%1\" has no value").arg(QLatin1String(key));
        return false;
    }
    return true;
}

}  // namespace

bool WindowStart(const Query& query, const QDateTime& now, const QTimeZone& zone, QDateTime& since,
                 QString& error) {
    for (const auto& [key, value] : query) {
        if (key != "shift" && key != "hours") {
            error = QStringLiteral("Unknown parameter \"%1\": the window is shift=HH:MM or hours=N")
                        .arg(QString::fromStdString(key).left(40));
            return false;
        }
    }
    QString shift, hours;
    if (!OneValue(query, "shift", shift, error) || !OneValue(query, "hours", hours, error))
        return false;
    if (!shift.isEmpty() && !hours.isEmpty()) {
        error = QStringLiteral("Give shift=HH:MM or hours=N, not both");
        return false;
    }
    if (!shift.isEmpty()) {
        static const QRegularExpression form(QStringLiteral("^([01][0-9]|2[0-3]):([0-5][0-9])$"));
        const QRegularExpressionMatch m = form.match(shift);
        if (!m.hasMatch()) {
            error = QStringLiteral("shift=\"%1\" is no time of day: use HH:MM, 00:00 to 23:59")
                        .arg(shift.left(40));
            return false;
        }
        const QDateTime local = now.toTimeZone(zone);
        QDateTime start(local.date(), QTime(m.captured(1).toInt(), m.captured(2).toInt()), zone);
        if (start > local)
            start = QDateTime(local.date().addDays(-1), start.time(), zone);
        since = start.toUTC();
        return true;
    }
    int n = kDefaultWindowHours;
    if (!hours.isEmpty()) {
        bool ok = false;
        n = hours.toInt(&ok);
        if (!ok || n < 1 || n > kMaxWindowHours) {
            error = QStringLiteral("hours=\"%1\" is no whole number of hours from 1 to %2")
                        .arg(hours.left(40))
                        .arg(kMaxWindowHours);
            return false;
        }
    }
    since = now.toUTC().addSecs(-static_cast<qint64>(n) * 3600);
    return true;
}

QJsonObject LineDocument(const record::LineSnapshot& s, const QDateTime& now,
                         const QDateTime& since, const RecordState& state) {
    // Figures kept from before an outage keep their own window.
    const QDateTime from = s.now.isValid() ? s.since : since;
    const QDateTime until = s.now.isValid() ? s.now : now;
    const qint64 windowMs = from.msecsTo(until);
    QJsonArray hourly;
    for (const record::HourCount& h : s.hourly)
        hourly.append(QJsonObject{{"hour", Stamp(h.hour)},
                                  {"passed", static_cast<qint64>(h.passed)},
                                  {"failed", static_cast<qint64>(h.failed)}});
    QJsonArray failures;
    for (const record::FailedRun& f : s.latestFailures)
        failures.append(QJsonObject{{"at", Stamp(f.at)},
                                    {"station", f.station},
                                    {"port", f.port},
                                    {"serial_number", f.serialNumber},
                                    {"outcome", f.outcome},
                                    {"text", f.text},
                                    {"log_path", f.logPath}});
    return QJsonObject{
        {"api", kLineApiVersion},
        {"now", Stamp(now)},
        {"record", QJsonObject{{"state", state.away ? "away" : "ok"},
                               {"text", state.text},
                               {"url", state.url},
                               {"as_of", Stamp(state.asOf)}}},
        {"window", QJsonObject{{"since", Stamp(from)},
                               {"until", Stamp(until)},
                               {"hours", Rounded(static_cast<double>(windowMs) / 3.6e6, 2)}}},
        {"line", Figures(s.line)},
        {"by_station", FiguresOf(s.stations)},
        {"by_lane", FiguresOf(s.lanes)},
        {"hourly", hourly},
        {"pareto", Pareto(s.pareto)},
        {"latest_failures", failures},
        {"stations", Stations(s.stationsSeen)},
        {"pools", Pools(s.pools)}};
}

QByteArray ErrorDocument(const QString& message) {
    return QJsonDocument(QJsonObject{{"error", message}}).toJson(QJsonDocument::Compact);
}

}  // namespace kvr::line

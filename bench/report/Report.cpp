#include "Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>

namespace kvr::bench {

namespace {

struct Unit {
    const char* name;
    double base;  // samples of this unit are kept in units of 1 / base of it
    int digits;
    const char* suffix;
};

// Times are measured in microseconds and shown in the row's unit.
constexpr Unit kUnits[] = {
    {"s", 1e6, 2, " s"}, {"ms", 1e3, 3, " ms"},  {"µs", 1, 0, " µs"}, {"ratio", 1, 4, ""},
    {"count", 1, 0, ""}, {"per s", 1, 0, " /s"}, {"%", 1, 4, " %"},
};

const Unit* FindUnit(const QString& name) {
    for (const Unit& unit : kUnits) {
        if (name == QString::fromUtf8(unit.name))
            return &unit;
    }
    return nullptr;
}

QString UnitNames() {
    QStringList names;
    for (const Unit& unit : kUnits)
        names << QString::fromUtf8(unit.name);
    return names.join(QStringLiteral(", "));
}

// {figure|unit} or {figure|unit|digits}
const QRegularExpression& PlaceholderPattern() {
    static const QRegularExpression pattern(
        QStringLiteral(R"(\{([A-Za-z0-9_.]+)\|([^|{}]+)(?:\|([0-9]))?\})"));
    return pattern;
}

QString Number(double value, int digits) {
    return QString::number(value, 'f', digits);
}

QString Shown(double sample, const Unit& unit, int digits) {
    return Number(sample / unit.base, digits < 0 ? unit.digits : digits);
}

bool ParseGoal(const QJsonValue& value, FigureRow& row, QString& problem) {
    if (value.isUndefined() || value.isNull())
        return true;
    const QJsonObject goal = value.toObject();
    static const std::pair<const char*, GoalKind> kinds[] = {{"at_most", GoalKind::AtMost},
                                                             {"below", GoalKind::Below},
                                                             {"at_least", GoalKind::AtLeast},
                                                             {"above", GoalKind::Above}};
    if (!value.isObject() || goal.size() != 1) {
        problem = QStringLiteral(
            "its goal must be null or one of {\"at_most\": N}, {\"below\": N}, "
            "{\"at_least\": N}, {\"above\": N}");
        return false;
    }
    for (const auto& [name, kind] : kinds) {
        const QJsonValue limit = goal.value(QLatin1String(name));
        if (limit.isUndefined())
            continue;
        if (!limit.isDouble() || !std::isfinite(limit.toDouble())) {
            problem = QStringLiteral("its goal \"%1\" is not a number").arg(QLatin1String(name));
            return false;
        }
        const bool lowerIsBetter = kind == GoalKind::AtMost || kind == GoalKind::Below;
        if (row.better == Better::None || lowerIsBetter != (row.better == Better::Lower)) {
            problem = QStringLiteral(
                          "its goal \"%1\" does not agree with \"better\": a goal needs "
                          "\"lower\" with at_most/below, \"higher\" with at_least/above")
                          .arg(QLatin1String(name));
            return false;
        }
        row.goal = Goal{kind, limit.toDouble()};
        return true;
    }
    problem = QStringLiteral("its goal \"%1\" is none of at_most, below, at_least, above")
                  .arg(goal.keys().value(0));
    return false;
}

bool ParseRow(const QJsonObject& object, FigureRow& row, QString& problem) {
    static const QSet<QString> known = {QStringLiteral("id"),     QStringLiteral("group"),
                                        QStringLiteral("text"),   QStringLiteral("unit"),
                                        QStringLiteral("digits"), QStringLiteral("better"),
                                        QStringLiteral("goal")};
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            problem = QStringLiteral("it has an unknown field \"%1\"").arg(key);
            return false;
        }
    }
    row.id = object.value(QStringLiteral("id")).toString();
    row.group = object.value(QStringLiteral("group")).toString();
    row.text = object.value(QStringLiteral("text")).toString();
    row.unit = object.value(QStringLiteral("unit")).toString();
    if (row.id.isEmpty() || row.group.isEmpty() || row.text.isEmpty()) {
        problem = QStringLiteral("it needs \"id\", \"group\" and \"text\"");
        return false;
    }
    if (FindUnit(row.unit) == nullptr) {
        problem = QStringLiteral("its unit \"%1\" is none of %2").arg(row.unit, UnitNames());
        return false;
    }
    const QJsonValue digits = object.value(QStringLiteral("digits"));
    if (!digits.isUndefined()) {
        if (!digits.isDouble() || digits.toDouble() != std::floor(digits.toDouble()) ||
            digits.toInt() < 0 || digits.toInt() > 6) {
            problem = QStringLiteral("its \"digits\" must be a whole number from 0 to 6");
            return false;
        }
        row.digits = digits.toInt();
    }
    const QString better = object.value(QStringLiteral("better")).toString();
    if (better == QLatin1String("lower")) {
        row.better = Better::Lower;
    } else if (better == QLatin1String("higher")) {
        row.better = Better::Higher;
    } else if (better == QLatin1String("none")) {
        row.better = Better::None;
    } else {
        problem = QStringLiteral("its \"better\" is \"%1\", not lower, higher or none").arg(better);
        return false;
    }
    if (!ParseGoal(object.value(QStringLiteral("goal")), row, problem))
        return false;
    // Every brace of the text must be a figure with a known unit.
    QString rest = row.text;
    auto it = PlaceholderPattern().globalMatch(row.text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (FindUnit(match.captured(2)) == nullptr) {
            problem = QStringLiteral("its text shows %1 in the unknown unit \"%2\"")
                          .arg(match.captured(1), match.captured(2));
            return false;
        }
        rest.replace(match.captured(0), QString());
    }
    if (rest.contains(QLatin1Char('{')) || rest.contains(QLatin1Char('}'))) {
        problem = QStringLiteral(
            "its text has a brace that is not {figure|unit} or "
            "{figure|unit|digits}");
        return false;
    }
    return true;
}

}  // namespace

bool ParseGoals(const QByteArray& json, std::vector<FigureRow>& rows, QString& error) {
    rows.clear();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull()) {
        error = QStringLiteral("the goal file is not JSON: %1 at offset %2")
                    .arg(parseError.errorString())
                    .arg(parseError.offset);
        return false;
    }
    const QJsonValue figures = document.object().value(QStringLiteral("figures"));
    if (!figures.isArray()) {
        error = QStringLiteral("the goal file has no \"figures\" list");
        return false;
    }
    QSet<QString> ids;
    int index = 0;
    for (const QJsonValue& value : figures.toArray()) {
        ++index;
        FigureRow row;
        QString problem;
        if (!value.isObject()) {
            problem = QStringLiteral("it is not an object");
        } else if (ParseRow(value.toObject(), row, problem) && ids.contains(row.id)) {
            problem = QStringLiteral("its id is already used by an earlier row");
        }
        if (!problem.isEmpty()) {
            error = QStringLiteral("the goal file's row %1%2 is refused: %3")
                        .arg(index)
                        .arg(row.id.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(row.id),
                             problem);
            rows.clear();
            return false;
        }
        ids.insert(row.id);
        rows.push_back(std::move(row));
    }
    return true;
}

const std::vector<double>* Measurements::Find(const QString& id) const {
    const auto it = samples_.find(id);
    return it == samples_.end() || it->second.empty() ? nullptr : &it->second;
}

std::optional<double> Measurements::Median(const QString& id) const {
    const std::vector<double>* samples = Find(id);
    if (samples == nullptr)
        return std::nullopt;
    std::vector<double> sorted = *samples;
    std::sort(sorted.begin(), sorted.end());
    return sorted[(sorted.size() - 1) / 2];
}

Verdict Judge(const FigureRow& row, const Measurements& measured) {
    const std::optional<double> median = measured.Median(row.id);
    if (!median || !std::isfinite(*median))
        return Verdict::Missing;
    if (!row.goal)
        return Verdict::NoGoal;
    const double value = *median / FindUnit(row.unit)->base;
    const double limit = row.goal->value;
    bool met = false;
    switch (row.goal->kind) {
        case GoalKind::AtMost:
            met = value <= limit;
            break;
        case GoalKind::Below:
            met = value < limit;
            break;
        case GoalKind::AtLeast:
            met = value >= limit;
            break;
        case GoalKind::Above:
            met = value > limit;
            break;
    }
    return met ? Verdict::Met : Verdict::Missed;
}

QString GoalText(const FigureRow& row) {
    if (!row.goal)
        return {};
    const char* sign = "";
    switch (row.goal->kind) {
        case GoalKind::AtMost:
            sign = "≤";
            break;
        case GoalKind::Below:
            sign = "<";
            break;
        case GoalKind::AtLeast:
            sign = "≥";
            break;
        case GoalKind::Above:
            sign = ">";
            break;
    }
    return QString::fromUtf8(sign) + QLatin1Char(' ') + QString::number(row.goal->value) +
           QString::fromUtf8(FindUnit(row.unit)->suffix);
}

QString MeasuredText(const FigureRow& row, const Measurements& measured) {
    const std::vector<double>* samples = measured.Find(row.id);
    if (samples == nullptr)
        return QStringLiteral("—");
    const Unit& unit = *FindUnit(row.unit);
    QString text =
        Shown(*measured.Median(row.id), unit, row.digits) + QString::fromUtf8(unit.suffix);
    if (samples->size() > 1) {
        const auto [low, high] = std::minmax_element(samples->begin(), samples->end());
        text += QStringLiteral(" (%1–%2)")
                    .arg(Shown(*low, unit, row.digits), Shown(*high, unit, row.digits));
    }
    return text;
}

QString FilledText(const QString& text, const Measurements& measured) {
    QString filled;
    qsizetype from = 0;
    auto it = PlaceholderPattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        filled += text.mid(from, match.capturedStart() - from);
        from = match.capturedEnd();
        const Unit* unit = FindUnit(match.captured(2));
        const std::optional<double> median = measured.Median(match.captured(1));
        if (unit == nullptr || !median) {
            filled += QLatin1Char('?');
            continue;
        }
        const int digits = match.captured(3).isEmpty() ? -1 : match.captured(3).toInt();
        filled += Shown(*median, *unit, digits) + QString::fromUtf8(unit->suffix);
    }
    return filled + text.mid(from);
}

QString VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Met:
            return QStringLiteral("met");
        case Verdict::Missed:
            return QStringLiteral("**missed**");
        case Verdict::Missing:
            return QStringLiteral("**missing**");
        case Verdict::NoGoal:
            break;
    }
    return {};
}

QString Table(const std::vector<FigureRow>& rows, const Measurements& measured,
              const QStringList& groups, Tally* tally) {
    QString table = QStringLiteral("| figure | measured | goal | |\n|---|---|---|---|\n");
    Tally counted;
    for (const FigureRow& row : rows) {
        if (!groups.isEmpty() && !groups.contains(row.group))
            continue;
        const Verdict verdict = Judge(row, measured);
        counted.met += verdict == Verdict::Met;
        counted.missed += verdict == Verdict::Missed;
        counted.missing += verdict == Verdict::Missing;
        table += QStringLiteral("| %1 | %2 | %3 | %4 |\n")
                     .arg(FilledText(row.text, measured), MeasuredText(row, measured),
                          GoalText(row), VerdictText(verdict));
    }
    if (tally != nullptr)
        *tally = counted;
    return table;
}

QString SpliceReadme(const QString& readme, const QString& block) {
    const QString begin = QStringLiteral("<!-- bench.sh: begin -->");
    const QString end = QStringLiteral("<!-- bench.sh: end -->");
    QString body = block;
    if (!body.endsWith(QLatin1Char('\n')))
        body += QLatin1Char('\n');
    const QStringList lines = readme.split(QLatin1Char('\n'));
    const qsizetype first = lines.indexOf(begin);
    const qsizetype last = first < 0 ? -1 : lines.indexOf(end, first + 1);
    if (first < 0 || last < 0) {
        QString out = readme;
        if (!out.endsWith(QLatin1Char('\n')))
            out += QLatin1Char('\n');
        return out + QLatin1Char('\n') + begin + QLatin1Char('\n') + body + end + QLatin1Char('\n');
    }
    return lines.mid(0, first + 1).join(QLatin1Char('\n')) + QLatin1Char('\n') + body +
           lines.mid(last).join(QLatin1Char('\n'));
}

namespace {

// Google Benchmark writes a counter that is not a number as a bare NaN or Infinity (its
// coefficient of variation over equal runs, for one), which JSON does not have: such a value
// becomes null, outside strings only.
QByteArray WithoutNonNumbers(const QByteArray& json) {
    QByteArray out;
    out.reserve(json.size());
    bool inString = false;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < json.size())
                out += json[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            out += c;
            continue;
        }
        const qsizetype start = c == '-' ? i + 1 : i;
        bool replaced = false;
        for (const QByteArray& word : {QByteArray("NaN"), QByteArray("Infinity")}) {
            if (json.mid(start, word.size()) == word) {
                out += "null";
                i = start + word.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += c;
    }
    return out;
}

}  // namespace

bool ParseBenchmarkJson(const QByteArray& json, std::map<QString, BenchmarkEntry>& entries,
                        QString& error) {
    entries.clear();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(WithoutNonNumbers(json), &parseError);
    if (document.isNull()) {
        error = QStringLiteral("not JSON: %1 at offset %2")
                    .arg(parseError.errorString())
                    .arg(parseError.offset);
        return false;
    }
    const QJsonValue list = document.object().value(QStringLiteral("benchmarks"));
    if (!list.isArray()) {
        error = QStringLiteral("no \"benchmarks\" list");
        return false;
    }
    for (const QJsonValue& value : list.toArray()) {
        const QJsonObject object = value.toObject();
        const QString name = object.value(QStringLiteral("name")).toString();
        if (name.isEmpty()) {
            error = QStringLiteral("a benchmark without a name");
            return false;
        }
        BenchmarkEntry entry;
        entry.failed = object.value(QStringLiteral("error_occurred")).toBool();
        entry.message = object.value(QStringLiteral("error_message")).toString();
        const QString unit = object.value(QStringLiteral("time_unit")).toString();
        double perUs = 0;
        if (unit == QLatin1String("ns"))
            perUs = 1e-3;
        else if (unit == QLatin1String("us"))
            perUs = 1;
        else if (unit == QLatin1String("ms"))
            perUs = 1e3;
        else if (unit == QLatin1String("s"))
            perUs = 1e6;
        const QJsonValue real = object.value(QStringLiteral("real_time"));
        const QJsonValue cpu = object.value(QStringLiteral("cpu_time"));
        if (!entry.failed && (perUs == 0 || !real.isDouble() || !cpu.isDouble())) {
            error = QStringLiteral("%1 has no times in a known unit").arg(name);
            return false;
        }
        entry.realTimeUs = real.toDouble() * perUs;
        entry.cpuTimeUs = cpu.toDouble() * perUs;
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.value().isDouble() && it.key() != QLatin1String("real_time") &&
                it.key() != QLatin1String("cpu_time"))
                entry.numbers[it.key()] = it.value().toDouble();
        }
        entries[name] = std::move(entry);
    }
    return true;
}

}  // namespace kvr::bench

// pool create|status|void and history: the record's serial-number pools and its runs.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include "Cli.h"
#include "RecordAccess.h"

namespace kvr::cli {

namespace {

using record::HistoryRow;
using record::PoolStatus;
using record::Record;
using record::RecordError;

constexpr double kMsPerSecond = 1000.0;

// Takes "--record URL" out of args; "default" when it is not there.
bool TakeRecordOption(QStringList& args, QString& url, QString& error) {
    url = QStringLiteral("default");
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] != QLatin1String("--record"))
            continue;
        if (i + 1 >= args.size()) {
            error = QStringLiteral("--record needs a value");
            return false;
        }
        url = args[i + 1];
        args.remove(i, 2);
        --i;
    }
    return true;
}

// Opens the record or says why not; kExitOk when it is open.
int Open(CliOutput& io, const QString& url, std::unique_ptr<Record>& record) {
    QString error;
    bool usage = false;
    record = OpenRecord(url, error, usage);
    if (record)
        return kExitOk;
    if (usage)
        return UsageError(io, error);
    io.Err(error);
    return kExitUsage;
}

QString Local(const QDateTime& at) {
    return at.isValid() ? at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                        : QString();
}

void PrintPool(CliOutput& io, const PoolStatus& p) {
    io.Out(QStringLiteral("%1: %2–%3, next %4")
               .arg(p.name, p.first, p.last,
                    p.next.isEmpty() ? QStringLiteral("none (used up)") : p.next));
    io.Out(QStringLiteral("  free %1, sent %2, confirmed %3, failed %4, void %5")
               .arg(p.free)
               .arg(p.sent)
               .arg(p.confirmed)
               .arg(p.failed)
               .arg(p.voided));
}

void PrintLease(CliOutput& io, const record::LeaseStatus& l) {
    QString state = QStringLiteral("until %1").arg(Local(l.expiresAt));
    if (l.releasedAt.isValid()) {
        state = l.releasedBy == QLatin1String("hand") && !l.reclaimed
                    ? QStringLiteral("released by hand; back in the pool after %1")
                          .arg(Local(l.expiresAt.addSecs(record::kLeaseClockGraceS)))
                    : QStringLiteral("released");
    }
    io.Out(QStringLiteral("  lease %1: %2–%3 to %4, %5 of %6 left, granted %7, %8")
               .arg(l.id, l.first, l.last, l.station)
               .arg(l.left)
               .arg(l.count)
               .arg(Local(l.grantedAt), state));
}

int PoolCreate(CliOutput& io, const QStringList& args, Record& record) {
    QString name, first, last;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if ((arg == QLatin1String("--first") || arg == QLatin1String("--last")) &&
            i + 1 < args.size()) {
            (arg == QLatin1String("--first") ? first : last) = args[++i];
        } else if (!arg.startsWith(QLatin1String("--")) && name.isEmpty()) {
            name = arg;
        } else {
            return UsageError(io, QStringLiteral("unexpected \"%1\" for \"pool create\"").arg(arg));
        }
    }
    if (name.isEmpty() || first.isEmpty())
        return UsageError(io, QStringLiteral("\"pool create\" needs NAME and --first N"));
    record.CreatePool(name, first, last);
    PrintPool(io, record.Pools(name).front());
    return kExitOk;
}

int PoolStatusCommand(CliOutput& io, const QStringList& args, Record& record) {
    if (args.size() > 1)
        return UsageError(io, QStringLiteral("\"pool status\" takes one NAME at most"));
    const QString name = args.value(0);
    const std::vector<PoolStatus> pools = record.Pools(name);
    if (pools.empty()) {
        io.Err(name.isEmpty() ? QStringLiteral("%1 has no pool yet").arg(record.Url().Text())
                              : QStringLiteral("There is no pool named \"%1\"").arg(name));
        return kExitFailed;
    }
    for (const PoolStatus& p : pools) {
        PrintPool(io, p);
        if (p.leased > 0)
            io.Out(QStringLiteral("  leased to stations %1").arg(p.leased));
        for (const record::LeaseStatus& l : record.Leases(p.name))
            PrintLease(io, l);
    }
    return kExitOk;
}

// For a station gone for good: its lease's numbers go back once the lease's time is over.
int PoolRelease(CliOutput& io, const QStringList& args, Record& record) {
    if (args.size() != 1 || args[0].startsWith(QLatin1String("--")))
        return UsageError(io, QStringLiteral("\"pool release\" needs the LEASE that \"pool "
                                             "status\" shows"));
    for (const record::LeaseStatus& l : record.Leases()) {
        if (l.id != args[0])
            continue;
        if (!record.ReleaseLease(l.id)) {
            io.Out(QStringLiteral("The lease %1 was released already").arg(l.id));
            return kExitOk;
        }
        io.Out(QStringLiteral("The lease %1 (%2–%3, %4) is released: its %5 numbers not given "
                              "go back to the pool \"%6\" after %7, when no station can use "
                              "them any more")
                   .arg(l.id, l.first, l.last, l.station)
                   .arg(l.left)
                   .arg(l.pool, Local(l.expiresAt.addSecs(record::kLeaseClockGraceS))));
        return kExitOk;
    }
    io.Err(QStringLiteral("There is no lease \"%1\" in force").arg(args[0]));
    return kExitFailed;
}

int PoolVoid(CliOutput& io, const QStringList& args, Record& record) {
    QString number, reason;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--reason") && i + 1 < args.size())
            reason = args[++i];
        else if (number.isEmpty() && !args[i].startsWith(QLatin1String("--")))
            number = args[i];
        else
            return UsageError(io,
                              QStringLiteral("unexpected \"%1\" for \"pool void\"").arg(args[i]));
    }
    if (number.isEmpty() || reason.trimmed().isEmpty())
        return UsageError(io, QStringLiteral("\"pool void\" needs NUMBER and --reason TEXT"));
    record.VoidNumber(number, reason);
    io.Out(QStringLiteral("S/N %1 is void: %2").arg(number, reason));
    return kExitOk;
}

// One CSV field for Excel: quoted when it holds the separator, a quote or a line break. A text
// that a spreadsheet would run as a formula (=, +, -, @, a tab or a carriage return first) gets
// a leading apostrophe and quotes, as spreadsheet-safe exporters write it; the record's own
// numbers never start so, and stay numbers.
QString CsvField(QString text) {
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    const bool formula = !text.isEmpty() && kFormulaStarts.contains(text.front());
    if (formula)
        text.prepend(u'\'');
    if (formula || text.contains(u';') || text.contains(u'"') || text.contains(u'\n') ||
        text.contains(u'\r')) {
        text.replace(QStringLiteral("\""), QStringLiteral("\"\""));
        return u'"' + text + u'"';
    }
    return text;
}

QString YesNo(bool yes) {
    return yes ? QStringLiteral("yes") : QStringLiteral("no");
}

QString Outcome(const HistoryRow& h) {
    return h.ending ? h.ending->outcome : QStringLiteral("open");
}

void PrintCsv(CliOutput& io, const std::vector<HistoryRow>& rows) {
    QByteArray out("\xEF\xBB\xBF");  // Excel reads UTF-8 only behind its byte-order mark
    const QStringList header = {QStringLiteral("run"),
                                QStringLiteral("station"),
                                QStringLiteral("port"),
                                QStringLiteral("adapter"),
                                QStringLiteral("package"),
                                QStringLiteral("sha256"),
                                QStringLiteral("pages"),
                                QStringLiteral("hardware_versions"),
                                QStringLiteral("program_versions"),
                                QStringLiteral("technology"),
                                QStringLiteral("bootall"),
                                QStringLiteral("hw"),
                                QStringLiteral("started"),
                                QStringLiteral("ended"),
                                QStringLiteral("duration_s"),
                                QStringLiteral("outcome"),
                                QStringLiteral("outcome_text"),
                                QStringLiteral("serial_number"),
                                QStringLiteral("sn_confirmed"),
                                QStringLiteral("sn_state"),
                                QStringLiteral("pool"),
                                QStringLiteral("log"),
                                QStringLiteral("renumbered")};
    out += header.join(u';').toUtf8() + "\r\n";
    for (const HistoryRow& h : rows) {
        const auto& s = h.start;
        QStringList f = {
            h.id,
            s.station,
            s.port,
            s.adapter,
            s.packageName,
            s.packageSha256,
            QString::number(s.pageCount),
            s.hardwareVersions,
            s.programVersions,
            YesNo(s.technology),
            YesNo(s.bootAll),
            s.hardware,
            Local(h.startedAt),
            Local(h.endedAt),
            h.ending
                ? QLocale(QLocale::Russian)
                      .toString(static_cast<double>(h.ending->durationMs) / kMsPerSecond, 'f', 1)
                : QString(),
            Outcome(h),
            h.ending ? h.ending->outcomeText : QString(),
            h.serialNumber,
            h.serialNumber.isEmpty() ? QString()
                                     : YesNo(h.ending && h.ending->serialNumberConfirmed),
            h.numberState,
            s.pool,
            s.logPath,
            YesNo(h.renumbered)};
        for (QString& field : f)
            field = CsvField(field);
        out += f.join(u';').toUtf8() + "\r\n";
    }
    io.Raw(io.OutStream(), out);
}

void PrintJson(CliOutput& io, const std::vector<HistoryRow>& rows) {
    QJsonArray runs;
    for (const HistoryRow& h : rows) {
        const auto& s = h.start;
        auto text = [](const QString& t) { return t.isEmpty() ? QJsonValue() : QJsonValue(t); };
        QJsonObject run{
            {"run", h.id},
            {"station", s.station},
            {"port", s.port},
            {"adapter", text(s.adapter)},
            {"package", s.packageName},
            {"sha256", s.packageSha256},
            {"pages", s.pageCount},
            {"hardware_versions", s.hardwareVersions},
            {"program_versions", s.programVersions},
            {"technology", s.technology},
            {"bootall", s.bootAll},
            {"hw", text(s.hardware)},
            {"pool", text(s.pool)},
            {"log", text(s.logPath)},
            {"started", record::StampText(h.startedAt)},
            {"ended", h.ending ? QJsonValue(record::StampText(h.endedAt)) : QJsonValue()},
            {"outcome", Outcome(h)},
            {"serial_number", text(h.serialNumber)},
            {"sn_state", text(h.numberState)},
            {"renumbered", h.renumbered}};
        if (h.ending) {
            run.insert("outcome_text", h.ending->outcomeText);
            run.insert("duration_ms", static_cast<qint64>(h.ending->durationMs));
            run.insert("pages_sent", h.ending->pagesSent);
            run.insert("sn_confirmed", h.ending->serialNumberConfirmed);
        }
        runs.append(run);
    }
    const QJsonObject doc{{"runs", runs}, {"version", 1}};
    io.Raw(io.OutStream(), QJsonDocument(doc).toJson(QJsonDocument::Compact) + '\n');
}

void PrintText(CliOutput& io, const std::vector<HistoryRow>& rows) {
    for (const HistoryRow& h : rows) {
        QString sn;
        if (!h.serialNumber.isEmpty()) {
            const bool confirmed = h.ending && h.ending->serialNumberConfirmed;
            sn = QStringLiteral("  S/N %1 %2")
                     .arg(h.serialNumber, h.numberState.isEmpty()
                                              ? (confirmed ? QStringLiteral("confirmed")
                                                           : QStringLiteral("not confirmed"))
                                              : h.numberState);
            if (h.renumbered)
                sn += QStringLiteral(" (renumbered)");
        }
        io.Out(QStringLiteral("%1  %2  %3  %4  %5%6")
                   .arg(Local(h.startedAt), h.start.station, h.start.port, h.start.packageName,
                        h.ending ? h.ending->outcomeText : QStringLiteral("(never ended)"), sn));
    }
}

bool ParseSince(const QString& text, QDateTime& since) {
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid()) {
        since = day.startOfDay();  // local midnight: the day as the line's office means it
        return true;
    }
    since = QDateTime::fromString(text, Qt::ISODate);
    return since.isValid();
}

}  // namespace

int RunPoolCommand(const CliCommand& command, const QStringList& given, CliOutput& io) {
    QStringList args = given;
    QString url, error;
    if (!TakeRecordOption(args, url, error))
        return UsageError(io, error);
    if (args.isEmpty() || IsHelpOption(args.first()))
        return args.isEmpty()
                   ? UsageError(io,
                                QStringLiteral("\"pool\" needs create, status, void or release"))
                   : PrintCommandHelp(io, command);
    const QString action = args.takeFirst();
    if (action != QLatin1String("create") && action != QLatin1String("status") &&
        action != QLatin1String("void") && action != QLatin1String("release"))
        return UsageError(
            io, QStringLiteral("\"pool\" takes create, status, void or release, not \"%1\"")
                    .arg(action));
    std::unique_ptr<Record> record;
    if (const int rc = Open(io, url, record); rc != kExitOk)
        return rc;
    try {
        if (action == QLatin1String("create"))
            return PoolCreate(io, args, *record);
        if (action == QLatin1String("status"))
            return PoolStatusCommand(io, args, *record);
        if (action == QLatin1String("release"))
            return PoolRelease(io, args, *record);
        return PoolVoid(io, args, *record);
    } catch (const RecordError& e) {
        io.Err(e.Text());
        return e.Unreachable() ? kExitUsage : kExitFailed;
    }
}

int RunHistoryCommand(const CliCommand& command, const QStringList& given, CliOutput& io) {
    QStringList args = given;
    QString url, error;
    if (!TakeRecordOption(args, url, error))
        return UsageError(io, error);
    record::HistoryFilter filter;
    bool json = false, csv = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (IsHelpOption(arg)) {
            return PrintCommandHelp(io, command);
        } else if (arg == QLatin1String("--sn") && hasValue) {
            filter.serialNumber = args[++i];
        } else if (arg == QLatin1String("--port") && hasValue) {
            filter.port = args[++i];
        } else if (arg == QLatin1String("--since") && hasValue) {
            if (!ParseSince(args[++i], filter.since))
                return UsageError(io, QStringLiteral("--since takes a date (2026-12-01) or a time "
                                                     "(2026-12-01T08:00), not \"%1\"")
                                          .arg(args[i]));
        } else if (arg == QLatin1String("--json")) {
            json = true;
        } else if (arg == QLatin1String("--csv")) {
            csv = true;
        } else {
            return UsageError(io, QStringLiteral("unexpected \"%1\" for \"history\"").arg(arg));
        }
    }
    if (json && csv)
        return UsageError(io, QStringLiteral("--json and --csv do not go together"));
    std::unique_ptr<Record> record;
    if (const int rc = Open(io, url, record); rc != kExitOk)
        return rc;
    try {
        const std::vector<HistoryRow> rows = record->History(filter);
        if (csv)
            PrintCsv(io, rows);
        else if (json)
            PrintJson(io, rows);
        else
            PrintText(io, rows);
        return kExitOk;
    } catch (const RecordError& e) {
        io.Err(e.Text());
        return kExitUsage;
    }
}

}  // namespace kvr::cli

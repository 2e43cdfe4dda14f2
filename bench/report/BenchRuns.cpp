#include "BenchRuns.h"

#include <sys/utsname.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace kvr::bench {

namespace {

constexpr int kPages = 256;
constexpr int kLength = 256;  // data bytes the device asks for with each page
constexpr int kStartGuardMs = 10000;
// Device counts of one flash command; the first is the one the others are held against, the
// records are written at the goal's count.
constexpr int kScaleCounts[] = {1, 8, 16, 32};
constexpr int kScaleGoalCount = 8;
constexpr int kStationLanes = 8;

// A part that cannot give its figures.
struct Failure {
    QString text;
};

[[noreturn]] void Fail(const QString& text) {
    throw Failure{text};
}

QString Tail(const QByteArray& text, int lines = 5) {
    QList<QByteArray> all = text.trimmed().split('\n');
    return QString::fromUtf8(all.mid(std::max<qsizetype>(0, all.size() - lines)).join('\n'));
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using KeyValues = std::map<QString, QString>;

// "key=value" lines; a key given twice keeps its last value.
KeyValues ParseKeyValues(const QByteArray& text) {
    KeyValues values;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values[QString::fromUtf8(line.left(eq))] =
                QString::fromUtf8(line.mid(eq + 1).trimmed());
    }
    return values;
}

double Number(const KeyValues& values, const QString& key, const QString& from) {
    const auto it = values.find(key);
    bool ok = false;
    const double value = it == values.end() ? 0 : it->second.toDouble(&ok);
    if (!ok)
        Fail(QStringLiteral("%1 gave no figure %2").arg(from, key));
    return value;
}

QString LoadAverage() {
    return QString::fromUtf8(ReadAll(QStringLiteral("/proc/loadavg")))
        .split(QLatin1Char(' '))
        .mid(0, 3)
        .join(QLatin1Char(' '));
}

QString MachineText() {
    QString model;
    for (const QByteArray& line : ReadAll(QStringLiteral("/proc/cpuinfo")).split('\n')) {
        if (line.startsWith("model name")) {
            model = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
            break;
        }
    }
    utsname names{};
    ::uname(&names);
    QProcess compiler;
    compiler.start(QStringLiteral("c++"), {QStringLiteral("--version")});
    compiler.waitForFinished(kStartGuardMs);
    const QString compilerText =
        QString::fromUtf8(compiler.readAllStandardOutput().split('\n').value(0)).trimmed();
    return QStringLiteral("%1 CPUs, %2, %3 %4, %5")
        .arg(QThread::idealThreadCount())
        .arg(model, QString::fromUtf8(names.sysname), QString::fromUtf8(names.release),
             compilerText);
}

// Some kvr-devsim processes at once, each on its own pseudo-terminal, with the same options.
class Devices {
public:
    Devices(const QString& program, int count, const QString& reportPrefix,
            const QStringList& options, const QString& log)
        : log_(log) {
        for (int i = 0; i < count; ++i) {
            const QString report = QStringLiteral("%1-%2.rep").arg(reportPrefix).arg(i);
            auto process = std::make_unique<QProcess>();
            process->setStandardErrorFile(log, QIODevice::Append);
            process->start(program, QStringList{QStringLiteral("--report"), report} + options);
            QByteArray out;
            if (process->waitForStarted(kStartGuardMs)) {
                while (!out.contains('\n') && process->waitForReadyRead(kStartGuardMs))
                    out += process->readAllStandardOutput();
            }
            processes_.push_back(std::move(process));
            if (!out.contains('\n')) {
                Fail(QStringLiteral("kvr-devsim %1 of %2 did not start: %3")
                         .arg(i + 1)
                         .arg(count)
                         .arg(Tail(ReadAll(log))));
            }
            ports_ << QString::fromUtf8(out.left(out.indexOf('\n')));
            reports_ << report;
        }
    }
    ~Devices() {
        for (auto& process : processes_) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(kStartGuardMs);
            }
        }
    }
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;

    const QStringList& Ports() const { return ports_; }
    QString Port() const { return ports_.value(0); }

    // Asks each to end, so that it writes its report; one that had ended before fails the part.
    void Stop(const QString& what) {
        int gone = 0;
        for (auto& process : processes_) {
            if (process->state() == QProcess::NotRunning)
                ++gone;
            else
                process->terminate();
        }
        for (auto& process : processes_) {
            if (!process->waitForFinished(kStartGuardMs)) {
                process->kill();
                process->waitForFinished(kStartGuardMs);
            }
        }
        if (gone > 0) {
            Fail(QStringLiteral("%1: %2 of %3 kvr-devsim ended before their stop: %4")
                     .arg(what)
                     .arg(gone)
                     .arg(processes_.size())
                     .arg(Tail(ReadAll(log_))));
        }
    }

    KeyValues Report(int i) const { return ParseKeyValues(ReadAll(reports_.value(i))); }

    // Fails unless device i received every page, and each without a mismatch.
    void CheckPages(int i, int pages, const QString& what) const {
        const KeyValues report = Report(i);
        if (Number(report, QStringLiteral("pages_received"), what) != pages ||
            Number(report, QStringLiteral("mismatches"), what) != 0)
            Fail(QStringLiteral("%1: the device on %2 did not get every page right")
                     .arg(what, ports_.value(i)));
    }

private:
    QString log_;
    std::vector<std::unique_ptr<QProcess>> processes_;
    QStringList ports_;
    QStringList reports_;
};

// A command's exit status, its output and, when run under kvr-bench-rusage, its usage.
struct Command {
    int exit = -1;
    QByteArray out;
    QByteArray err;
    KeyValues usage;
};

class Runner {
public:
    Runner(const RunOptions& options, Measurements& measured, RunContext& context)
        : o_(options), m_(measured), c_(context) {}

    void Run() {
        c_.machine = MachineText();
        c_.loadStart = LoadAverage();
        c_.started = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm")) +
                     QStringLiteral(" UTC");
        c_.pages = kPages;
        c_.length = kLength;
        // Without the engine's constants and a package nothing can be measured.
        Constants();
        package_ = Work(QStringLiteral("update.bsk"));
        Checked(
            Run(Bin("kvr-mkpackage"),
                {QStringLiteral("-o"), package_, QStringLiteral("--pages"), QString::number(kPages),
                 QStringLiteral("--page-size"), QString::number(kLength + 8)}),
            QStringLiteral("kvr-mkpackage"));
        StartPostgres();
        Part(QStringLiteral("several devices at once"), [this] { Scale(); });
        Part(QStringLiteral("kvr-station"), [this] { Station(); });
        if (!o_.onlyScale) {
            Part(QStringLiteral("full updates and their floor"), [this] { Updates(); });
            Part(QStringLiteral("host turnaround"), [this] { Turnaround(); });
            Part(QStringLiteral("waiting cost"), [this] { Waiting(); });
            Part(QStringLiteral("package load"), [this] { PackageLoad(); });
            Part(QStringLiteral("update log"), [this] { UpdateLog(); });
            Part(QStringLiteral("record"), [this] { RecordCost(); });
            Part(QStringLiteral("line view"), [this] { LineView(); });
        }
        StopPostgres();
        c_.loadEnd = LoadAverage();
    }

    ~Runner() { StopPostgres(); }

private:
    QString Bin(const char* name) const { return o_.bin + QLatin1Char('/') + QLatin1String(name); }
    QString Work(const QString& name) const { return o_.work + QLatin1Char('/') + name; }

    void Part(const QString& name, const std::function<void()>& run) {
        std::fprintf(stderr, "== %s\n", qPrintable(name));
        try {
            run();
        } catch (const Failure& failure) {
            std::fprintf(stderr, "kvr-bench-report: %s: %s\n", qPrintable(name),
                         qPrintable(failure.text));
            c_.notMeasured << QStringLiteral("%1: %2").arg(name, failure.text);
        }
    }

    // Runs a program to its end; stdout and stderr are kept.
    Command Run(const QString& program, const QStringList& args,
                const std::map<QString, QString>& environment = {}) const {
        QProcess process;
        if (!environment.empty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const auto& [name, value] : environment)
                env.insert(name, value);
            process.setProcessEnvironment(env);
        }
        // Files rather than pipes: nothing of this process has to keep up with the output.
        process.setStandardOutputFile(Work(QStringLiteral("command.out")));
        process.setStandardErrorFile(Work(QStringLiteral("command.err")));
        process.start(program, args);
        Command command;
        if (!process.waitForStarted(kStartGuardMs))
            Fail(QStringLiteral("cannot start %1").arg(program));
        process.waitForFinished(-1);
        command.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        command.out = ReadAll(Work(QStringLiteral("command.out")));
        command.err = ReadAll(Work(QStringLiteral("command.err")));
        return command;
    }

    static const Command& Checked(const Command& command, const QString& what) {
        if (command.exit != 0)
            Fail(QStringLiteral("%1 ended with %2: %3")
                     .arg(what)
                     .arg(command.exit)
                     .arg(Tail(command.err + command.out)));
        return command;
    }

    // A command under kvr-bench-rusage: its wall time, CPU time and largest resident set.
    Command Measured(const QString& program, const QStringList& args) const {
        const QString usage = Work(QStringLiteral("command.use"));
        QFile::remove(usage);
        Command command = Run(Bin("kvr-bench-rusage"), QStringList{usage, program} + args);
        command.usage = ParseKeyValues(ReadAll(usage));
        if (command.usage.empty())
            Fail(QStringLiteral("kvr-bench-rusage gave no usage for %1: %2")
                     .arg(program, Tail(command.err)));
        return command;
    }

    Command Cli(const QStringList& args) const { return Measured(Bin("kvr-uplinker-cli"), args); }

    std::unique_ptr<Devices> StartDevices(int count, const QString& name,
                                          const QStringList& options) const {
        return std::make_unique<Devices>(Bin("kvr-devsim"), count, Work(name), options,
                                         Work(QStringLiteral("devsim.log")));
    }

    // The device starts in its bootloader and speaks the 6-byte framing.
    QStringList BootDevice(bool wireTimed) const {
        QStringList options = {QStringLiteral("--start-in-bootloader"),
                               QStringLiteral("--boot-address"),
                               QStringLiteral("6"),
                               QStringLiteral("--requested-length"),
                               QString::number(kLength),
                               QStringLiteral("--package"),
                               package_};
        if (wireTimed)
            options << QStringLiteral("--baud") << QString::number(c_.baud);
        return options;
    }

    // The update log lives beside the executable; every measurement starts it afresh (one
    // port writes log.txt, several write log-<port>.txt).
    void FreshLogs() const {
        QDir bin(o_.bin);
        for (const QString& name :
             bin.entryList({QStringLiteral("log.txt"), QStringLiteral("log-*.txt")}, QDir::Files))
            bin.remove(name);
    }

    // The line's speed and the update sequence's fixed waits, from the engine itself.
    void Constants() {
        const QString from = QStringLiteral("kvr-bench-turnaround --print-constants");
        const KeyValues k = ParseKeyValues(
            Checked(Run(Bin("kvr-bench-turnaround"), {QStringLiteral("--print-constants")}), from)
                .out);
        c_.baud = static_cast<int>(Number(k, QStringLiteral("baud"), from));
        bytesPerSecond_ = c_.baud / 10.0;  // 10 bits per byte
        const double afterDone = Number(k, QStringLiteral("wait_after_done_ms"), from);
        // From the bootloader the only fixed wait is the one after completion; from the
        // application also the bootloader entry and one silent probe in the other framing.
        fixedBootMs_ = afterDone;
        fixedAppMs_ = Number(k, QStringLiteral("wait_enter_reply_ms"), from) +
                      Number(k, QStringLiteral("wait_restart_ms"), from) +
                      Number(k, QStringLiteral("silent_probe_ms"), from) + afterDone;
        m_.Add(QStringLiteral("line.baud"), c_.baud);
    }

    void StartPostgres() {
        const QString dir = Work(QStringLiteral("pg"));
        const Command started = Run(o_.pgScript, {QStringLiteral("start"), dir});
        if (started.exit != 0) {
            std::fprintf(stderr,
                         "kvr-bench-report: no PostgreSQL server (%s); its figures are "
                         "missing\n",
                         qPrintable(Tail(started.err)));
            c_.notMeasured << QStringLiteral("PostgreSQL: the test server did not start: %1")
                                  .arg(Tail(started.err, 2));
            return;
        }
        pgDir_ = dir;
        pgUrl_ = QString::fromUtf8(ReadAll(dir + QStringLiteral("/url"))).trimmed();
        qputenv("PGPASSFILE", (dir + QStringLiteral("/pgpass")).toLocal8Bit());
    }

    void StopPostgres() {
        if (pgDir_.isEmpty())
            return;
        Run(o_.pgScript, {QStringLiteral("stop"), pgDir_});
        pgDir_.clear();
    }

    // --- several devices at once -------------------------------------------------------
    // One flash command with a --port for each of n fresh wire-timed devices; --json gives
    // each device's outcome. With a record, the same command writes every run to it.
    void ScaleRun(int n, const QString& engine = {}, const QString& record = {}) {
        const QString what =
            QStringLiteral("%1 device(s) in one flash command%2")
                .arg(n)
                .arg(record.isEmpty() ? QString() : QStringLiteral(" with ") + record);
        FreshLogs();
        auto devices = StartDevices(n, QStringLiteral("scale"), BootDevice(true));
        QStringList args = {QStringLiteral("flash")};
        for (const QString& port : devices->Ports())
            args << QStringLiteral("--port") << port;
        args << QStringLiteral("--package") << package_ << QStringLiteral("--json");
        if (!record.isEmpty())
            args << QStringLiteral("--record") << record;
        const Command command = Cli(args);
        devices->Stop(what);
        std::map<QString, QJsonObject> outcomes, starts;
        QJsonObject summary;
        for (const QByteArray& line : command.out.split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            const QString type = object.value(QStringLiteral("type")).toString();
            const QString port = object.value(QStringLiteral("port")).toString();
            if (type == QLatin1String("outcome")) {
                if (outcomes.count(port) != 0)
                    Fail(QStringLiteral("%1: two outcomes for %2").arg(what, port));
                outcomes[port] = object;
            } else if (type == QLatin1String("run_start")) {
                starts[port] = object;
            } else if (type == QLatin1String("summary")) {
                summary = object;
            }
        }
        if (command.exit != 0 || summary.value(QStringLiteral("exit_status")).toInt(-1) != 0)
            Fail(QStringLiteral("%1: exit status %2: %3")
                     .arg(what)
                     .arg(command.exit)
                     .arg(Tail(command.out + command.err)));
        double slowestMs = 0, lineUs = 0, lastStartMs = 0;
        for (int i = 0; i < n; ++i) {
            const QString port = devices->Ports()[i];
            if (outcomes.count(port) == 0 || starts.count(port) == 0)
                Fail(QStringLiteral("%1: no run start or outcome for %2").arg(what, port));
            const QJsonObject& outcome = outcomes[port];
            if (!outcome.value(QStringLiteral("success")).toBool())
                Fail(QStringLiteral("%1: %2 did not succeed: %3")
                         .arg(what, port,
                              QString::fromUtf8(
                                  QJsonDocument(outcome).toJson(QJsonDocument::Compact))));
            devices->CheckPages(i, kPages, what);
            slowestMs =
                std::max(slowestMs, outcome.value(QStringLiteral("duration_ms")).toDouble());
            lineUs =
                std::max(lineUs, Number(devices->Report(i), QStringLiteral("line_time_us"), what));
            lastStartMs =
                std::max(lastStartMs, starts[port].value(QStringLiteral("time_ms")).toDouble());
        }
        const double wall = Number(command.usage, QStringLiteral("wall_us"), what);
        const double cpu = Number(command.usage, QStringLiteral("cpu_us"), what);
        if (!engine.isEmpty()) {
            // Against the same count without a record, run just before it.
            const QString prefix = QStringLiteral("scale.%1.%2.").arg(n).arg(engine);
            m_.Add(prefix + QStringLiteral("wall"), wall);
            m_.Add(prefix + QStringLiteral("vs_plain"), wall / plainWallUs_);
            return;
        }
        if (n == kScaleCounts[0])
            baseWallUs_ = wall;
        if (n == kScaleGoalCount)
            plainWallUs_ = wall;
        const QString prefix = QStringLiteral("scale.%1.").arg(n);
        m_.Add(prefix + QStringLiteral("wall"), wall);
        m_.Add(prefix + QStringLiteral("cpu"), cpu / n);
        m_.Add(prefix + QStringLiteral("slowest"), slowestMs * 1000);
        m_.Add(prefix + QStringLiteral("line"), lineUs);
        m_.Add(prefix + QStringLiteral("last_start"), lastStartMs * 1000);
        if (n != kScaleCounts[0])
            m_.Add(prefix + QStringLiteral("ratio"), wall / baseWallUs_);
    }

    void Scale() {
        // Every round holds each count in the same state of the machine; the records' runs
        // use a SQLite file of their own and the server started above.
        std::vector<std::pair<QString, QString>> records = {
            {QStringLiteral("sqlite"),
             QStringLiteral("sqlite:") + Work(QStringLiteral("bench.sqlite"))}};
        if (!pgUrl_.isEmpty())
            records.emplace_back(QStringLiteral("postgresql"), pgUrl_);
        for (int round = 1; round <= o_.repeat; ++round) {
            for (const int n : kScaleCounts) {
                std::fprintf(stderr,
                             "   %d wire-timed device(s) in one flash command, run %d of %d\n", n,
                             round, o_.repeat);
                ScaleRun(n);
                if (n != kScaleGoalCount)
                    continue;
                for (const auto& [engine, url] : records) {
                    std::fprintf(stderr, "   the same with the %s record\n", qPrintable(engine));
                    ScaleRun(n, engine, url);
                }
            }
        }
    }

    // --- the station window ------------------------------------------------------------
    // kvr-station with 8 lanes against the main window on one device, the same wire-timed
    // device and package; the event loop's lateness while the lanes run.
    void Station() {
        for (int round = 1; round <= o_.repeat; ++round) {
            std::fprintf(stderr, "   %d lanes against the main window, run %d of %d\n",
                         kStationLanes, round, o_.repeat);
            auto devices =
                StartDevices(kStationLanes + 1, QStringLiteral("station"), BootDevice(true));
            const Command command =
                Run(Bin("kvr-bench-station"), QStringList{package_} + devices->Ports(),
                    {{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")}});
            devices->Stop(QStringLiteral("kvr-bench-station"));
            Checked(command, QStringLiteral("kvr-bench-station"));
            const KeyValues k = ParseKeyValues(command.out);
            const QString from = QStringLiteral("kvr-bench-station");
            const double window = Number(k, QStringLiteral("window_ms"), from);
            m_.Add(QStringLiteral("station.window"), window * 1000);
            m_.Add(QStringLiteral("station.8.ratio"),
                   Number(k, QStringLiteral("station_ms"), from) / window);
            m_.Add(QStringLiteral("station.lateness"),
                   Number(k, QStringLiteral("lateness_max_ms"), from) * 1000);
        }
    }

    // --- full update, wire-timed -------------------------------------------------------
    void WireRun(const QString& scenario, double fixedMs, const QStringList& options) {
        const QString what = QStringLiteral("wire-timed update (%1)").arg(scenario);
        FreshLogs();
        auto device = StartDevices(1, QStringLiteral("wire"), options);
        const Command command = Cli({QStringLiteral("flash"), QStringLiteral("--port"),
                                     device->Port(), QStringLiteral("--package"), package_});
        device->Stop(what);
        if (command.exit != 0 || !command.out.split('\n').contains(kSuccess))
            Fail(QStringLiteral("%1 failed: %2").arg(what, Tail(command.out + command.err)));
        device->CheckPages(0, kPages, what);
        const KeyValues r = device->Report(0);
        const double bytes = Number(r, QStringLiteral("bytes_received"), what) +
                             Number(r, QStringLiteral("bytes_sent"), what);
        const double ideal = bytes * 1e6 / bytesPerSecond_ + fixedMs * 1000;
        const double wall = Number(command.usage, QStringLiteral("wall_us"), what);
        const double line = Number(r, QStringLiteral("line_time_us"), what);
        const double slept = Number(r, QStringLiteral("wire_slept_us"), what);
        const double due = Number(r, QStringLiteral("wire_due_us"), what);
        const double turnarounds = Number(r, QStringLiteral("turnarounds"), what);
        const QString prefix = scenario + QLatin1Char('.');
        m_.Add(prefix + QStringLiteral("total"), wall / ideal);
        m_.Add(prefix + QStringLiteral("line"), line / ideal);
        m_.Add(prefix + QStringLiteral("wall"), wall);
        m_.Add(prefix + QStringLiteral("ideal"), ideal);
        m_.Add(prefix + QStringLiteral("emulation"), slept / due);
        // Off the wire per exchange: the line's time less the emulated wire and fixed waits.
        m_.Add(prefix + QStringLiteral("off"), (line - slept - fixedMs * 1000) / (turnarounds + 1));
    }

    // The floor: no tool, a bare loop of write and read over the same terminal and device,
    // with the same frames and the purge the protocol makes before each request.
    KeyValues Floor(bool wireTimed) {
        QStringList args = {QStringLiteral("--pages"),   QString::number(kPages),
                            QStringLiteral("--length"),  QString::number(kLength),
                            QStringLiteral("--variant"), QStringLiteral("floorpurge")};
        if (wireTimed)
            args << QStringLiteral("--baud") << QString::number(c_.baud);
        return ParseKeyValues(
            Checked(Run(Bin("kvr-bench-turnaround"), args), QStringLiteral("the floor")).out);
    }

    void Updates() {
        const QString from = QStringLiteral("the floor");
        QStringList app = {QStringLiteral("--requested-length"),
                           QString::number(kLength),
                           QStringLiteral("--package"),
                           package_,
                           QStringLiteral("--baud"),
                           QString::number(c_.baud)};
        for (int round = 1; round <= o_.repeat; ++round) {
            // The floor runs between the tool's runs, so that all see the machine alike.
            std::fprintf(stderr, "   full update at %d baud and its floor, run %d of %d\n", c_.baud,
                         round, o_.repeat);
            WireRun(QStringLiteral("boot"), fixedBootMs_, BootDevice(true));
            const KeyValues f = Floor(true);
            const double line = Number(f, QStringLiteral("floorpurge.line_time_us"), from);
            m_.Add(QStringLiteral("floor.wire"),
                   line / Number(f, QStringLiteral("floorpurge.wire_due_us"), from));
            m_.Add(QStringLiteral("floor.off"),
                   (line - Number(f, QStringLiteral("floorpurge.wire_slept_us"), from)) /
                       (Number(f, QStringLiteral("floorpurge.device_count"), from) + 1));
            m_.Add(QStringLiteral("floor.wire.median"),
                   Number(f, QStringLiteral("floorpurge.device_median_us"), from));
            m_.Add(QStringLiteral("floor.wire.p99"),
                   Number(f, QStringLiteral("floorpurge.device_p99_us"), from));
            WireRun(QStringLiteral("app"), fixedAppMs_, app);
        }
    }

    // --- host turnaround, instant device -----------------------------------------------
    void Turnaround() {
        const QString from = QStringLiteral("the floor without wire time");
        for (int round = 1; round <= o_.repeat; ++round) {
            std::fprintf(stderr, "   without wire time and its floor, run %d of %d\n", round,
                         o_.repeat);
            const KeyValues f = Floor(false);
            m_.Add(QStringLiteral("floor.fast.median"),
                   Number(f, QStringLiteral("floorpurge.device_median_us"), from));
            m_.Add(QStringLiteral("floor.fast.p99"),
                   Number(f, QStringLiteral("floorpurge.device_p99_us"), from));
            FreshLogs();
            const QString what = QStringLiteral("the update without wire time");
            auto device = StartDevices(1, QStringLiteral("turn"), BootDevice(false));
            const Command command = Cli({QStringLiteral("flash"), QStringLiteral("--port"),
                                         device->Port(), QStringLiteral("--package"), package_});
            device->Stop(what);
            Checked(command, what);
            const KeyValues r = device->Report(0);
            m_.Add(QStringLiteral("turn.median"),
                   Number(r, QStringLiteral("turnaround_median_us"), what));
            m_.Add(QStringLiteral("turn.p99"),
                   Number(r, QStringLiteral("turnaround_p99_us"), what));
            m_.Add(QStringLiteral("turn.count"), Number(r, QStringLiteral("turnarounds"), what));
        }
        // Where a turnaround goes, in one process.
        const QString what = QStringLiteral("kvr-bench-turnaround (in-process)");
        const KeyValues parts =
            ParseKeyValues(Checked(Run(Bin("kvr-bench-turnaround"),
                                       {QStringLiteral("--pages"), QString::number(kPages),
                                        QStringLiteral("--length"), QString::number(kLength),
                                        QStringLiteral("--variant"), QStringLiteral("handover"),
                                        QStringLiteral("--variant"), QStringLiteral("direct"),
                                        QStringLiteral("--variant"), QStringLiteral("nolog")}),
                                   what)
                               .out);
        for (const char* variant : {"handover", "direct", "nolog"}) {
            for (const char* figure : {"host_median", "host_p99", "device_median"}) {
                m_.Add(QStringLiteral("parts.%1.%2")
                           .arg(QLatin1String(variant), QLatin1String(figure)),
                       Number(parts,
                              QStringLiteral("%1.%2_us")
                                  .arg(QLatin1String(variant), QLatin1String(figure)),
                              what));
            }
        }
    }

    // --- waiting for a silent device ---------------------------------------------------
    void Waiting() {
        const QString from = QStringLiteral("kvr-bench-wait");
        const KeyValues w = ParseKeyValues(
            Checked(Run(Bin("kvr-bench-wait"), {}), QStringLiteral("kvr-bench-wait")).out);
        for (const char* part : {"serial", "engine"}) {
            for (const char* figure : {"cpu", "wall"}) {
                m_.Add(
                    QStringLiteral("wait.%1.%2").arg(QLatin1String(part), QLatin1String(figure)),
                    Number(
                        w,
                        QStringLiteral("%1.%2_us").arg(QLatin1String(part), QLatin1String(figure)),
                        from));
            }
        }
        // The command line against a device that answers the probe and then stays silent, so
        // that the first polled status waits its whole time-out; and against one whose second
        // status reply is spoilt, which ends the run at once. The difference is the waiting.
        for (int round = 1; round <= o_.repeat; ++round) {
            const QString what = QStringLiteral("the run against a silent device");
            auto silent = StartDevices(1, QStringLiteral("silent"),
                                       BootDevice(false) << QStringLiteral("--fault")
                                                         << QStringLiteral("no-reply:status:2:0"));
            const Command waited = Cli({QStringLiteral("flash"), QStringLiteral("--port"),
                                        silent->Port(), QStringLiteral("--package"), package_});
            silent->Stop(what);
            if (waited.exit != 1 || !waited.out.split('\n').contains(kExchangeError))
                Fail(QStringLiteral("%1 did not end with the exchange error: %2")
                         .arg(what, Tail(waited.out + waited.err)));
            m_.Add(QStringLiteral("wait.cli.cpu"),
                   Number(waited.usage, QStringLiteral("cpu_us"), what));
            m_.Add(QStringLiteral("wait.cli.wall"),
                   Number(waited.usage, QStringLiteral("wall_us"), what));
            const QString quickWhat = QStringLiteral("the run against a spoilt reply");
            auto spoilt =
                StartDevices(1, QStringLiteral("quick"),
                             BootDevice(false) << QStringLiteral("--fault")
                                               << QStringLiteral("wrong-echo:status:2:0"));
            const Command quick = Cli({QStringLiteral("flash"), QStringLiteral("--port"),
                                       spoilt->Port(), QStringLiteral("--package"), package_});
            spoilt->Stop(quickWhat);
            if (quick.exit != 1)
                Fail(QStringLiteral("%1 did not fail: %2").arg(quickWhat, Tail(quick.out)));
            m_.Add(QStringLiteral("wait.cli.quick_cpu"),
                   Number(quick.usage, QStringLiteral("cpu_us"), quickWhat));
        }
    }

    // --- Google Benchmark programs -----------------------------------------------------
    // A program's entries; its own failure leaves them out, and their figures are missing.
    std::map<QString, BenchmarkEntry> GoogleBenchmark(const char* name,
                                                      const std::map<QString, QString>& env = {}) {
        const Command command = Run(
            Bin(name),
            {QStringLiteral("--benchmark_format=json"), QStringLiteral("--benchmark_repetitions=3"),
             QStringLiteral("--benchmark_report_aggregates_only=true")},
            env);
        std::map<QString, BenchmarkEntry> entries;
        QString error;
        if (command.exit != 0 || !ParseBenchmarkJson(command.out, entries, error)) {
            Fail(QStringLiteral("%1 (exit status %2) gave no figures: %3 %4")
                     .arg(QLatin1String(name))
                     .arg(command.exit)
                     .arg(error, Tail(command.err)));
        }
        for (const auto& [entryName, entry] : entries) {
            if (entry.failed) {
                std::fprintf(stderr, "   %s %s: %s\n", name, qPrintable(entryName),
                             qPrintable(entry.message));
            }
        }
        return entries;
    }

    // The entry's time (or, with a number's name, that number) as figure `id`.
    void Take(const std::map<QString, BenchmarkEntry>& entries, const QString& name,
              const QString& id, const QString& number = {}) {
        const auto it = entries.find(name);
        if (it == entries.end() || it->second.failed)
            return;
        if (number.isEmpty()) {
            m_.Add(id, it->second.realTimeUs);
            return;
        }
        const auto value = it->second.numbers.find(number);
        if (value != it->second.numbers.end())
            m_.Add(id, value->second);
    }

    void PackageLoad() {
        const auto entries = GoogleBenchmark("kvr-bench-package");
        for (const int mib : {1, 16, 64}) {
            const QString name = QStringLiteral("BM_LoadFile/%1/real_time_median").arg(mib);
            Take(entries, name, QStringLiteral("package.%1.time").arg(mib));
            Take(entries, name, QStringLiteral("package.%1.peak").arg(mib),
                 QStringLiteral("peak_per_file_byte"));
        }
        // The whole command on a 64 MiB package: a fresh process, as the operator meets it.
        const QString big = Work(QStringLiteral("big.bsk"));
        Checked(Run(Bin("kvr-mkpackage"),
                    {QStringLiteral("-o"), big, QStringLiteral("--pages"), QStringLiteral("65536"),
                     QStringLiteral("--page-size"), QStringLiteral("1024")}),
                QStringLiteral("kvr-mkpackage (64 MiB)"));
        const double bytes = static_cast<double>(QFileInfo(big).size());
        for (int round = 1; round <= o_.repeat; ++round) {
            const QString what = QStringLiteral("info on the 64 MiB package");
            const Command info = Checked(Cli({QStringLiteral("info"), big}), what);
            m_.Add(QStringLiteral("cli.info.wall"),
                   Number(info.usage, QStringLiteral("wall_us"), what));
            m_.Add(QStringLiteral("cli.info.rss_per_byte"),
                   Number(info.usage, QStringLiteral("maxrss_kb"), what) * 1024 / bytes);
            // Its floor: a process that only fills 64 MiB of fresh memory (dd's buffer) once.
            const Command touch =
                Checked(Measured(QStringLiteral("dd"),
                                 {QStringLiteral("if=/dev/zero"), QStringLiteral("of=/dev/null"),
                                  QStringLiteral("bs=64M"), QStringLiteral("count=1"),
                                  QStringLiteral("status=none")}),
                        QStringLiteral("dd"));
            m_.Add(QStringLiteral("floor.touch.wall"),
                   Number(touch.usage, QStringLiteral("wall_us"), QStringLiteral("dd")));
        }
    }

    void UpdateLog() {
        const auto entries = GoogleBenchmark("kvr-bench-log");
        const QString rate = QStringLiteral("items_per_second");
        Take(entries, QStringLiteral("BM_Entry/frame268/real_time_median"),
             QStringLiteral("log.frame268"), rate);
        Take(entries, QStringLiteral("BM_Entry/text/real_time_median"), QStringLiteral("log.text"),
             rate);
        Take(entries, QStringLiteral("BM_AtLimit/frame268/real_time_median"),
             QStringLiteral("log.limit.frame268"), rate);
    }

    void RecordCost() {
        const auto entries =
            GoogleBenchmark("kvr-bench-record", {{QStringLiteral("KVR_BENCH_PG_URL"), pgUrl_}});
        const std::optional<double> update = m_.Median(QStringLiteral("scale.1.wall"));
        for (const QString& engine : {QStringLiteral("sqlite"), QStringLiteral("postgresql")}) {
            const QString prefix = QStringLiteral("record.%1.").arg(engine);
            Take(entries, QStringLiteral("BM_TakeNumber/%1_median").arg(engine), prefix + "take");
            Take(entries, QStringLiteral("BM_RunRow/%1_median").arg(engine), prefix + "row");
            Take(entries, QStringLiteral("BM_PoolStatus/%1/100_median").arg(engine),
                 prefix + "pool_small");
            Take(entries, QStringLiteral("BM_PoolStatus/%1/1000000_median").arg(engine),
                 prefix + "pool_big");
            const auto take = m_.Median(prefix + "take");
            const auto row = m_.Median(prefix + "row");
            // Both against one update alone (the one-device command's median).
            if (take && row && update)
                m_.Add(prefix + "share", (*take + *row) * 100 / *update);
            const auto small = m_.Median(prefix + "pool_small");
            const auto bigPool = m_.Median(prefix + "pool_big");
            if (small && bigPool)
                m_.Add(prefix + "pool_ratio", *bigPool / *small);
        }
    }

    void LineView() {
        const auto entries =
            GoogleBenchmark("kvr-bench-line", {{QStringLiteral("KVR_BENCH_PG_URL"), pgUrl_}});
        for (const QString& engine : {QStringLiteral("sqlite"), QStringLiteral("postgresql")}) {
            for (const int hours : {8, 12, 24}) {
                const QString name =
                    QStringLiteral("BM_LineRead/%1/%2_median").arg(engine).arg(hours);
                const QString id = QStringLiteral("line.%1.%2").arg(engine).arg(hours);
                Take(entries, name, id);
                Take(entries, name, id + QStringLiteral(".runs"), QStringLiteral("runs_in_window"));
            }
        }
    }

    inline static const QByteArray kSuccess = QByteArray("Обновление успешно завершено!");
    inline static const QByteArray kExchangeError = QByteArray("Ошибка обмена!");

    const RunOptions& o_;
    Measurements& m_;
    RunContext& c_;
    QString package_;
    QString pgDir_;
    QString pgUrl_;
    double bytesPerSecond_ = 0;
    double fixedBootMs_ = 0;
    double fixedAppMs_ = 0;
    double baseWallUs_ = 0;
    double plainWallUs_ = 0;
};

}  // namespace

void RunBenchmarks(const RunOptions& options, Measurements& measured, RunContext& context) {
    Runner runner(options, measured, context);
    try {
        runner.Run();
    } catch (const Failure& failure) {
        context.notMeasured << failure.text;
        context.loadEnd = LoadAverage();
    }
}

}  // namespace kvr::bench

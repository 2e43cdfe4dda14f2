// A line through the outages of its record: station processes (kvr-uplinker-cli flash
// --repeat --sn-pool, each in a folder of its own, as on its own computer) with simulated
// devices whose units are swapped, on a PostgreSQL server of the benchmark's own, reached
// through a TCP relay. While they run: the server stopped, the server frozen (SIGSTOP), the
// relay black-holing every connection without a reset, and a station killed with kill -9 and
// started again.
//
// Usage: kvr-bench-outage --cli PATH --devsim PATH --package FILE --pg-script PATH
//                         [--stations N] [--ports N] [--scale S] [--work DIR]
// --scale multiplies every phase (1: the server stopped 60 s, frozen 30 s, black-holed 60 s).
// Prints key=value lines; exits 1 when a goal is missed (units per minute only at scale 1 and
// above, where enough units pass to tell).
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "PgTestServer.h"
#include "TcpRelay.h"

namespace {

using kvr::test::TcpRelay;

struct Options {
    QString cli, devsim, package, pgScript, work;
    int stations = 3;
    int ports = 4;
    double scale = 1.0;
};

// A unit as its station told it: when (ms since the start) and with which number.
struct Unit {
    qint64 atMs = 0;
    QString serialNumber;
    bool succeeded = false;
};

class Clock {
public:
    Clock() { timer_.start(); }
    qint64 Ms() const { return timer_.elapsed(); }

private:
    QElapsedTimer timer_;
};

// One station process: its own folder and copy of the program, its own devices.
class Station {
public:
    Station(const Options& o, int index, const QString& url, const Clock& clock)
        : options_(o), index_(index), url_(url), clock_(clock) {
        folder_ = QDir(o.work).filePath(QStringLiteral("station-%1").arg(index));
        QDir().mkpath(folder_);
        program_ = QDir(folder_).filePath(QStringLiteral("kvr-uplinker-cli"));
        QFile::remove(program_);
        QFile::copy(o.cli, program_);
        for (int p = 0; p < o.ports; ++p) {
            auto device = std::make_unique<QProcess>();
            device->start(o.devsim, {QStringLiteral("--package"), o.package,
                                     QStringLiteral("--restart-delay"), QStringLiteral("200"),
                                     QStringLiteral("--final-status"), QStringLiteral("10"),
                                     QStringLiteral("--swap-after"), QStringLiteral("10000"),
                                     QStringLiteral("--swap-gap"), QStringLiteral("1500"),
                                     QStringLiteral("--report"), QStringLiteral("/dev/null")});
            device->waitForStarted();
            QByteArray out;
            while (!out.contains('\n') && device->waitForReadyRead(10000))
                out += device->readAllStandardOutput();
            ports_ << QString::fromUtf8(out.left(out.indexOf('\n')));
            devices_.push_back(std::move(device));
        }
    }
    ~Station() {
        Kill();
        for (auto& device : devices_) {
            device->terminate();
            device->waitForFinished(5000);
        }
    }

    void Start() {
        QStringList args{QStringLiteral("flash")};
        for (const QString& port : ports_)
            args << QStringLiteral("--port") << port;
        args << QStringLiteral("--package") << options_.package << QStringLiteral("--technology")
             << QStringLiteral("--hw") << QStringLiteral("3") << QStringLiteral("--sn-pool")
             << QStringLiteral("line") << QStringLiteral("--record") << url_
             << QStringLiteral("--repeat") << QStringLiteral("--removal-seconds")
             << QStringLiteral("1") << QStringLiteral("--program-mismatch")
             << QStringLiteral("continue") << QStringLiteral("--json");
        process_ = std::make_unique<QProcess>();
        process_->setWorkingDirectory(folder_);
        process_->start(program_, args);
        process_->waitForStarted();
        ++starts_;
    }
    // SIGINT: a clean stop, which gives back the leases and sends what waits.
    void Stop() {
        // A process that never started has no id: kill(0) would signal this whole group.
        if (!process_ || process_->processId() <= 0)
            return;
        ::kill(static_cast<pid_t>(process_->processId()), SIGINT);
        process_->waitForFinished(60000);
        Read();
    }
    void Kill() {
        if (!process_ || process_->state() == QProcess::NotRunning || process_->processId() <= 0)
            return;
        ::kill(static_cast<pid_t>(process_->processId()), SIGKILL);
        process_->waitForFinished(10000);
        Read();
    }
    bool Running() const { return process_ && process_->state() == QProcess::Running; }

    // Takes in what the process printed so far.
    void Read() {
        if (!process_)
            return;
        pending_ += process_->readAllStandardOutput();
        for (;;) {
            const qsizetype end = pending_.indexOf('\n');
            if (end < 0)
                break;
            const QJsonObject event = QJsonDocument::fromJson(pending_.left(end)).object();
            pending_.remove(0, end + 1);
            const QString type = event.value(QStringLiteral("type")).toString();
            const QString port = event.value(QStringLiteral("port")).toString();
            if (type == QLatin1String("serial_number")) {
                given_ << event.value(QStringLiteral("serial_number")).toString();
            } else if (type == QLatin1String("outcome") &&
                       event.value(QStringLiteral("started")).toBool()) {
                Unit unit;
                unit.atMs = clock_.Ms();
                unit.serialNumber = event.value(QStringLiteral("serial_number")).toString();
                unit.succeeded = event.value(QStringLiteral("success")).toBool();
                units_.push_back(unit);
                lastOutcomeMs_[port] = unit.atMs;
            } else if (type == QLatin1String("record")) {
                if (!event.value(QStringLiteral("connected")).toBool())
                    ++awaySaid_;
                if (event.contains(QStringLiteral("back_after_s")))
                    ++backSaid_;
            }
        }
    }

    const std::vector<Unit>& Units() const { return units_; }
    const QStringList& Given() const { return given_; }
    const QStringList& Ports() const { return ports_; }
    qint64 LastOutcomeMs(const QString& port) const { return lastOutcomeMs_.value(port, -1); }
    // How often the station said its record was away, and back.
    int AwaySaid() const { return awaySaid_; }
    int BackSaid() const { return backSaid_; }

private:
    const Options& options_;
    int index_;
    QString url_;
    const Clock& clock_;
    QString folder_, program_;
    QStringList ports_;
    std::vector<std::unique_ptr<QProcess>> devices_;
    std::unique_ptr<QProcess> process_;
    QByteArray pending_;
    std::vector<Unit> units_;
    QStringList given_;
    QMap<QString, qint64> lastOutcomeMs_;
    int awaySaid_ = 0;
    int backSaid_ = 0;
    int starts_ = 0;
};

bool ParseOptions(const QStringList& args, Options& o) {
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        const QString& name = args[i];
        const QString& value = args[i + 1];
        if (name == QLatin1String("--cli"))
            o.cli = value;
        else if (name == QLatin1String("--devsim"))
            o.devsim = value;
        else if (name == QLatin1String("--package"))
            o.package = value;
        else if (name == QLatin1String("--pg-script"))
            o.pgScript = value;
        else if (name == QLatin1String("--work"))
            o.work = value;
        else if (name == QLatin1String("--stations"))
            o.stations = value.toInt();
        else if (name == QLatin1String("--ports"))
            o.ports = value.toInt();
        else if (name == QLatin1String("--scale"))
            o.scale = value.toDouble();
        else
            return false;
    }
    return args.size() % 2 == 0 && !o.cli.isEmpty() && !o.devsim.isEmpty() &&
           !o.package.isEmpty() && !o.pgScript.isEmpty() && o.stations > 0 && o.ports > 0 &&
           o.scale > 0;
}

bool Script(const Options& o, const char* action, const QString& dir) {
    return QProcess::execute(o.pgScript, {QString::fromLatin1(action), dir}) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options o;
    if (!ParseOptions(QCoreApplication::arguments().mid(1), o)) {
        std::fprintf(stderr,
                     "usage: kvr-bench-outage --cli PATH --devsim PATH --package FILE "
                     "--pg-script PATH [--stations N] [--ports N] [--scale S] [--work DIR]\n");
        return 2;
    }
    QTemporaryDir scratch;
    if (o.work.isEmpty())
        o.work = scratch.path();
    const QString pgDir = QDir(o.work).filePath(QStringLiteral("pg"));
    if (!Script(o, "start", pgDir)) {
        std::fprintf(stderr, "the PostgreSQL server did not start\n");
        return 1;
    }
    struct ServerGuard {
        const Options& o;
        QString dir;
        ~ServerGuard() {
            for (pid_t pid : kvr::test::PgServerProcesses(dir))
                ::kill(pid, SIGCONT);
            Script(o, "stop", dir);
        }
    } guard{o, pgDir};

    QFile urlFile(pgDir + QStringLiteral("/url"));
    urlFile.open(QIODevice::ReadOnly);
    const QString direct = QString::fromUtf8(urlFile.readAll()).trimmed();
    qputenv("PGPASSFILE", (pgDir + QStringLiteral("/pgpass")).toLocal8Bit());
    // postgresql://kvr@127.0.0.1:PORT/kvr_test
    const QString hostPort = direct.section(u'@', 1).section(u'/', 0, 0);
    const int serverPort = hostPort.section(u':', 1).toInt();
    TcpRelay relay(static_cast<uint16_t>(serverPort));
    if (relay.Port() == 0 ||
        !kvr::test::PgPassThrough(QStringLiteral("127.0.0.1"), serverPort, relay.Port(), o.work)) {
        std::fprintf(stderr, "the relay did not start\n");
        return 1;
    }
    const QString url = QString(direct).replace(QStringLiteral(":%1/").arg(serverPort),
                                                QStringLiteral(":%1/").arg(relay.Port()));
    if (QProcess::execute(
            o.cli, {QStringLiteral("pool"), QStringLiteral("create"), QStringLiteral("line"),
                    QStringLiteral("--first"), QStringLiteral("100000"), QStringLiteral("--last"),
                    QStringLiteral("999999"), QStringLiteral("--record"), url}) != 0) {
        std::fprintf(stderr, "the pool was not made\n");
        return 1;
    }

    Clock clock;
    std::vector<std::unique_ptr<Station>> stations;
    for (int s = 0; s < o.stations; ++s)
        stations.push_back(std::make_unique<Station>(o, s, url, clock));
    for (auto& station : stations)
        station->Start();

    auto phase = [&](double seconds) {
        const qint64 until = clock.Ms() + static_cast<qint64>(seconds * o.scale * 1000);
        while (clock.Ms() < until) {
            QThread::msleep(100);
            QCoreApplication::processEvents();  // the processes' output comes in there
            for (auto& station : stations)
                station->Read();
        }
    };
    struct Window {
        qint64 from, to;
    };
    phase(20);  // leases granted, every lane in its stride
    const Window before{clock.Ms(), 0};
    phase(120);
    const qint64 beforeEnd = clock.Ms();
    std::vector<Window> outages;

    Script(o, "halt", pgDir);  // stopped
    outages.push_back({clock.Ms(), 0});
    phase(60);
    Script(o, "resume", pgDir);
    outages.back().to = clock.Ms();
    phase(45);

    std::vector<pid_t> frozen = kvr::test::PgServerProcesses(pgDir);
    for (pid_t pid : frozen)
        ::kill(pid, SIGSTOP);
    outages.push_back({clock.Ms(), 0});
    phase(30);
    for (pid_t pid : frozen)
        ::kill(pid, SIGCONT);
    outages.back().to = clock.Ms();
    phase(45);

    relay.SetMode(TcpRelay::Mode::BlackHole);
    outages.push_back({clock.Ms(), 0});
    phase(60);
    relay.SetMode(TcpRelay::Mode::Forward);
    outages.back().to = clock.Ms();
    phase(45);

    stations.front()->Kill();
    stations.front()->Start();
    const qint64 lastFault = clock.Ms();
    // Long enough for every lane to finish a unit, at any scale.
    phase(std::max(45.0, 25.0 / o.scale));

    // What the record holds now, 30 s and more after the last fault.
    const qint64 checkedAt = clock.Ms();
    QProcess history;
    history.start(o.cli, {QStringLiteral("history"), QStringLiteral("--json"),
                          QStringLiteral("--record"), url});
    history.waitForFinished(120000);
    const QJsonArray rows = QJsonDocument::fromJson(history.readAllStandardOutput())
                                .object()
                                .value(QStringLiteral("runs"))
                                .toArray();
    QMap<QString, QString> endedBySerial;  // serial number → outcome of an ended row
    for (const QJsonValue& row : rows) {
        const QJsonObject r = row.toObject();
        const QString sn = r.value(QStringLiteral("serial_number")).toString();
        if (!sn.isEmpty() && !r.value(QStringLiteral("ended")).isNull())
            endedBySerial.insert(sn, r.value(QStringLiteral("outcome")).toString());
    }

    // Lanes that stopped: a port with no unit in the last phase, or a station that ended.
    int lanesStopped = 0;
    QCoreApplication::processEvents();
    for (auto& station : stations) {
        station->Read();
        for (const QString& port : station->Ports()) {
            if (!station->Running() || station->LastOutcomeMs(port) < lastFault)
                ++lanesStopped;
        }
    }
    for (auto& station : stations)
        station->Stop();

    QSet<QString> seen;
    int twice = 0, unrecorded = 0, units = 0;
    auto countIn = [&](const Window& w) {
        int n = 0;
        for (auto& station : stations) {
            for (const Unit& unit : station->Units())
                n += unit.atMs >= w.from && unit.atMs < w.to ? 1 : 0;
        }
        return n;
    };
    for (auto& station : stations) {
        for (const QString& sn : station->Given()) {
            if (seen.contains(sn))
                ++twice;
            seen.insert(sn);
        }
        for (const Unit& unit : station->Units()) {
            ++units;
            // Units told before the check must have their whole row in the record.
            if (unit.atMs < checkedAt - 5000 && !unit.serialNumber.isEmpty() &&
                !endedBySerial.contains(unit.serialNumber))
                ++unrecorded;
        }
    }
    const double beforeRate =
        countIn({before.from, beforeEnd}) * 60000.0 / (beforeEnd - before.from);
    qint64 outageMs = 0;
    int outageUnits = 0;
    for (const Window& w : outages) {
        outageMs += w.to - w.from;
        outageUnits += countIn(w);
    }
    const double outageRate = outageMs > 0 ? outageUnits * 60000.0 / outageMs : 0;
    const double ratio = beforeRate > 0 ? outageRate / beforeRate : 0;

    std::printf("stations=%d\nports_per_station=%d\nscale=%.2f\nunits=%d\n", o.stations, o.ports,
                o.scale, units);
    std::printf("numbers_given_twice=%d\nunits_without_complete_row=%d\nlanes_stopped=%d\n", twice,
                unrecorded, lanesStopped);
    std::printf("units_per_min_before=%.1f\nunits_per_min_outages=%.1f\noutage_rate_ratio=%.3f\n",
                beforeRate, outageRate, ratio);
    // Every station says that its record went away and came back.
    int silent = 0;
    for (auto& station : stations)
        silent += station->AwaySaid() > 0 && station->BackSaid() > 0 ? 0 : 1;
    std::printf("stations_that_did_not_say_away_and_back=%d\n", silent);
    const bool rateJudged = o.scale >= 1.0;
    const bool met = twice == 0 && unrecorded == 0 && lanesStopped == 0 && units > 0 &&
                     silent == 0 && (!rateJudged || ratio >= 0.99);
    std::printf("goals_met=%s\n", met ? "yes" : "no");
    return met ? 0 : 1;
}

// kvr-station's lanes against the main window: the same package through the main window on one
// device, then through a station window with a lane for each further device, all wire-timed
// by the caller's kvr-devsim processes. Meanwhile a 20 ms timer on the window's thread measures
// how late the event loop answers (the operator's clicks wait as long).
// Usage: kvr-bench-station PACKAGE WINDOW_PORT LANE_PORT...    (offscreen or any display)
// Prints key=value lines: window_ms, station_ms, station_succeeded, lateness_max_ms.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "FormProgFrm.h"
#include "PackageLoader.h"
#include "Prompter.h"
#include "Recipe.h"
#include "SerialPorts.h"
#include "StationForm.h"
#include "TestFiles.h"

namespace {

using namespace kvr;

constexpr int kTickMs = 20;

// Boxes answered at once: the window's success box must not wait for a person.
class QuietPrompter final : public IPrompter {
public:
    void ShowMessage(QWidget*, const QString&, const QString&) override {}
    bool AskYesNo(QWidget*, const QString&, const QString&) override { return false; }
    void ShowError(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
    std::optional<QString> ChooseFile(QWidget*, const OpenDialogSetup&) override { return {}; }
};

// The largest lateness of a repeating timer while it runs.
class LatenessProbe {
public:
    LatenessProbe() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            worst_ = std::max(worst_, now - last_ - kTickMs);
            last_ = now;
        });
        timer_.setTimerType(Qt::PreciseTimer);
        clock_.start();
        timer_.start(kTickMs);
    }
    qint64 WorstMs() const { return worst_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kvr-bench-station PACKAGE WINDOW_PORT LANE_PORT...\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString package = args[0];
    auto prompter = std::make_shared<QuietPrompter>();

    // The main window on one device, started as the operator's Start does.
    qint64 windowMs = 0;
    {
        test::WriteAll(dir.filePath("kvr-uplinker.ini"),
                       ("[Common]\r\nPortIndex=0\r\nFileName=" + package + "\r\n").toUtf8());
        FormDependencies deps;
        deps.settingsPath = dir.filePath("kvr-uplinker.ini");
        deps.logPath = dir.filePath("log.txt");
        deps.languagePath = dir.filePath("ru.lng");
        const std::string port = args[1].toStdString();
        deps.listPorts = [port] { return std::vector<SerialPortEntry>{{port, port}}; };
        deps.prompter = prompter;
        TFormProgFrm window(deps);
        QEventLoop done;
        QObject::connect(&window, &TFormProgFrm::RunFinished, &done, &QEventLoop::quit);
        QElapsedTimer took;
        took.start();
        window.ActionProgramExecute();
        done.exec();
        windowMs = took.elapsed();
    }

    // The station window, one lane per further device.
    stationwin::Recipe recipe;
    recipe.path = dir.filePath("bench.ini");
    recipe.packagePath = package;
    QString error;
    if (!LoadUpdatePackageFile(package, recipe.package, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    recipe.ports = args.mid(2);
    stationwin::StationFormDependencies deps;
    deps.prompter = prompter;
    deps.logPath = dir.filePath("log.txt");
    stationwin::TStationFrm station(recipe, deps);
    int ended = 0;
    int succeeded = 0;
    qint64 stationMs = 0;
    QElapsedTimer took;
    QObject::connect(
        &station, &stationwin::TStationFrm::LaneChanged, &station,
        [&](int, stationwin::LaneState state) {
            if (state != stationwin::LaneState::Done && state != stationwin::LaneState::Failed)
                return;
            succeeded += state == stationwin::LaneState::Done ? 1 : 0;
            if (++ended == recipe.ports.size()) {
                stationMs = took.elapsed();
                station.Stop();
            }
        });
    LatenessProbe probe;
    took.start();
    station.Start();
    std::printf(
        "window_ms=%lld\nstation_ms=%lld\nstation_lanes=%lld\nstation_succeeded=%d\n"
        "lateness_max_ms=%lld\n",
        static_cast<long long>(windowMs), static_cast<long long>(stationMs),
        static_cast<long long>(recipe.ports.size()), succeeded,
        static_cast<long long>(probe.WorstMs()));
    return succeeded == recipe.ports.size() ? 0 : 1;
}

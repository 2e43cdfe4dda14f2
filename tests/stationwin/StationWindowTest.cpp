// kvr-station's window, offscreen: a lane through its states with the station on virtual time,
// a closed window stopping every lane, and the recipes it refuses.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <memory>
#ifdef KVR_PG_TEST_SCRIPT
#include <signal.h>

#include "PgTestServer.h"
#include "Record.h"
#endif

#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "PaintPool.h"
#include "QtTestMain.h"
#include "Recipe.h"
#include "RecordingPrompter.h"
#include "SimulatedLine.h"
#include "StationForm.h"
#include "TestFiles.h"
#include "TestPages.h"

using namespace kvr;
using namespace kvr::stationwin;
using namespace kvr::test;

Q_DECLARE_METATYPE(kvr::stationwin::LaneState)

namespace {

QByteArray Package() {
    PackageOptions options;
    options.pageCount = 6;
    options.seed = 4;
    return BuildPackage(options);
}

}  // namespace

class StationWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<SimulatedLine>> lines_;
    std::shared_ptr<RecordingPrompter> prompter_ = std::make_shared<RecordingPrompter>();

    Recipe MakeRecipe(int ports) {
        Recipe recipe;
        recipe.path = dir_.filePath("line.ini");
        recipe.packagePath = dir_.filePath("kvr17.bsk");
        QString error;
        const QByteArray bytes = Package();
        WriteAll(recipe.packagePath, bytes);
        ParseUpdatePackage(bytes, recipe.package, error);
        for (int i = 0; i < ports; ++i) {
            recipe.ports << QStringLiteral("COM%1").arg(i + 5);
            lines_.push_back(std::make_unique<SimulatedLine>(recipe.package.pages));
        }
        return recipe;
    }
    StationFormDependencies Deps() {
        StationFormDependencies deps;
        deps.prompter = prompter_;
        deps.channels = [this](int i) -> IChannelFactory& { return lines_[i]->factory; };
        deps.clocks = [this](int i) -> IClock& { return lines_[i]->clock; };
        deps.logPath = dir_.filePath("log.txt");
        return deps;
    }

private slots:
    void initTestCase() { PaintOnOnePoolThread(); }
    void init() {
        lines_.clear();
        prompter_ = std::make_shared<RecordingPrompter>();
    }

    void aLaneGoesThroughItsStatesAndForgetsATakenDevice() {
        TStationFrm window(MakeRecipe(1), Deps());
        lines_[0]->Device();
        QList<LaneState> seen;
        QString messageWhenWaitingAgain = "-";
        connect(&window, &TStationFrm::LaneChanged, &window, [&](int, LaneState state) {
            seen << state;
            if (state == LaneState::Done)
                lines_[0]->channel.AttachDevice(nullptr);  // taken out
            if (state == LaneState::Waiting && seen.count(LaneState::Waiting) == 2) {
                messageWhenWaitingAgain = window.findChild<QLabel*>("Lane0Message")->text();
                window.Stop();
            }
        });
        window.Start();
        QCOMPARE(seen, (QList<LaneState>{LaneState::Waiting, LaneState::Updating, LaneState::Done,
                                         LaneState::Waiting, LaneState::Idle}));
        QCOMPARE(messageWhenWaitingAgain, QString());
        QVERIFY(!window.Running());
        QCOMPARE(prompter_->records.size(), size_t(0));  // no box holds the other lanes
        QVERIFY(window.findChild<QLabel*>("Totals")->text().contains("1"));
    }

    // Two lanes run on simulated devices: lane 0 takes two units that pass, one after the
    // other, lane 1 one unit that fails. The shift, 20 minutes old on its clock, shows the
    // tally's figures in each lane and for the station.
    void theLanesAndTheStationShowTheirShift() {
        Recipe recipe = MakeRecipe(2);
        lines_[1]->options.errorStatusAtPage = 2;
        DeviceModel second(lines_[0]->options, lines_[0]->pages, lines_[0]->clock);
        VirtualClock shiftClock;
        StationFormDependencies deps = Deps();
        deps.shiftClock = &shiftClock;
        TStationFrm window(recipe, deps);
        lines_[0]->Device();
        lines_[1]->Device();
        int passed = 0, failed = 0;
        bool aged = false;
        connect(&window, &TStationFrm::LaneChanged, &window, [&](int lane, LaneState state) {
            if (!aged) {
                aged = true;
                shiftClock.Advance(20 * 60 * 1000);
            }
            passed += lane == 0 && state == LaneState::Done ? 1 : 0;
            if (lane == 0 && state == LaneState::Done && passed == 1)
                lines_[0]->channel.AttachDevice(nullptr);  // taken out
            if (lane == 0 && state == LaneState::Waiting && passed == 1)
                lines_[0]->channel.AttachDevice(&second);
            failed += lane == 1 && state == LaneState::Failed ? 1 : 0;
            if (passed == 2 && failed == 1)
                window.Stop();
        });
        QTimer::singleShot(60000, &window, [&] { window.Stop(); });  // a hang guard only
        window.Start();
        QCOMPARE(passed, 2);
        QCOMPARE(failed, 1);

        const auto text = [&](const QString& name) {
            return window.findChild<QLabel*>(name)->text();
        };
        const QString lane0 = text("Lane0Shift");
        const QString lane1 = text("Lane1Shift");
        const QString station = text("ShiftTotals");
        QVERIFY2(lane0.contains(QStringLiteral("100 % (2 из 2)")), qPrintable(lane0));
        QVERIFY2(lane0.contains(QStringLiteral("в час: 6,0")), qPrintable(lane0));
        QVERIFY2(lane1.contains(QStringLiteral("0 % (0 из 1)")), qPrintable(lane1));
        QVERIFY2(lane1.contains(QStringLiteral("в час: 3,0")), qPrintable(lane1));
        QVERIFY2(station.contains(QStringLiteral("67 % (2 из 3)")), qPrintable(station));
        QVERIFY2(station.contains(QStringLiteral("в час: 9,0")), qPrintable(station));
        // The median of each: lane 0's two runs, the station's three, as the tally has them.
        const auto seconds = [](const ShiftFigures& figures) {
            return QStringLiteral("медиана: %1 с")
                .arg(QLocale(QLocale::Russian).toString(*figures.medianRunMs / 1000.0, 'f', 1));
        };
        QCOMPARE(window.Shift().Lane(0).runs, 2);
        QVERIFY2(lane0.contains(seconds(window.Shift().Lane(0))), qPrintable(lane0));
        QVERIFY2(lane1.contains(seconds(window.Shift().Lane(1))), qPrintable(lane1));
        QVERIFY2(station.contains(seconds(window.Shift().Station())), qPrintable(station));
    }

    // Eight lanes on long by-id names, a long record URL and package name: the window still
    // fits a 1366x768 screen, its long lines wrapped or cut short.
    void aLongRecipeFitsALaptopScreen() {
        Recipe recipe = MakeRecipe(8);
        recipe.ports.clear();
        for (int i = 0; i < 8; ++i)
            recipe.ports << QStringLiteral(
                                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9X1B2C%1-if00-port0")
                                .arg(i);
        recipe.packagePath = dir_.filePath(
            "kvr17-application-and-bootloader-release-candidate-2026-12-10-build-4711.bsk");
        recipe.technology = true;
        recipe.hardware = QStringLiteral("123");
        recipe.pool = QStringLiteral("line2-second-shift-pool-of-numbers-for-the-new-housing");
        recipe.record = QStringLiteral(
            "postgresql://line@records.factory.example.com:5432/production_records_line_two?"
            "sslmode=verify-full&sslrootcert=C:/ProgramData/KVRUplinker/certificates/root.pem");
        TStationFrm window(recipe, Deps());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize hint = window.sizeHint();
        const QSize least = window.minimumSizeHint().expandedTo(window.minimumSize());
        // The screen less a title bar and a task bar.
        const QSize screen(1366, 768 - 70);
        QVERIFY2(
            hint.width() <= screen.width() && hint.height() <= screen.height(),
            qPrintable(QStringLiteral("size hint %1x%2").arg(hint.width()).arg(hint.height())));
        QVERIFY2(
            least.width() <= screen.width() && least.height() <= screen.height(),
            qPrintable(QStringLiteral("minimum %1x%2").arg(least.width()).arg(least.height())));
    }

    // A record's password is the line's secret: neither the summary nor a refusal shows it.
    void aRecordPasswordIsNeverShown() {
        Recipe recipe = MakeRecipe(1);
        recipe.record = QStringLiteral("postgresql://line:pa#ss@db/prod");
        TStationFrm window(recipe, Deps());
        const QString summary = window.findChild<QLabel*>("RecipeSummary")->text();
        QVERIFY2(summary.contains("postgresql://line:"), qPrintable(summary));
        QVERIFY2(!summary.contains("pa#ss"), qPrintable(summary));
        window.Start();  // refused: a URL carries no password
        QCOMPARE(prompter_->records.size(), size_t(1));
        QVERIFY2(!prompter_->records[0].text.contains("pa#ss"),
                 qPrintable(prompter_->records[0].text));
        QVERIFY(!window.Running());
    }

#ifdef KVR_PG_TEST_SCRIPT
    // The line's record frozen (SIGSTOP) under a running window: the lanes go on from the
    // lease, the window keeps answering its events, and its bottom line says the record is
    // away. The window never calls the record itself; one call would hold it for seconds.
    void aFrozenRecordNeverFreezesTheWindow() {
        const QString address = PgTestUrl();
        if (address.isEmpty())
            QSKIP("no PostgreSQL test server (ctest starts one)");
        record::RecordUrl url;
        QString error;
        QVERIFY(record::ParseRecordUrl(address, url, error));
        const QString pool =
            QStringLiteral("w") + QUuid::createUuid().toString(QUuid::Id128).left(10);
        {
            auto record = record::Record::Open(url);
            const qint64 first = 300000000000LL + (QUuid::createUuid().data1 % 600000000) * 1000;
            record->CreatePool(pool, QString::number(first), QString::number(first + 999));
        }
        Recipe recipe = MakeRecipe(1);
        recipe.technology = true;
        recipe.hardware = QStringLiteral("3");
        recipe.pool = pool;
        recipe.record = address;
        TStationFrm window(recipe, Deps());
        lines_[0]->options.finalStatuses = {10};
        lines_[0]->Device();

        struct Frozen {
            std::vector<pid_t> pids;
            ~Frozen() {
                for (pid_t pid : pids)
                    ::kill(pid, SIGCONT);
            }
        } frozen;
        QElapsedTimer sinceTick;
        qint64 worstMs = 0;
        QTimer probe;
        connect(&probe, &QTimer::timeout, &window,
                [&] { worstMs = std::max(worstMs, sinceTick.restart()); });
        QLabel* recordLine = window.findChild<QLabel*>("RecordState");
        int done = 0;
        connect(&window, &TStationFrm::LaneChanged, &window, [&](int, LaneState state) {
            if (state == LaneState::Done && ++done == 1) {
                // Frozen, then the next unit put in.
                frozen.pids = PgServerProcesses(PgTestDir());
                for (pid_t pid : frozen.pids)
                    ::kill(pid, SIGSTOP);
                sinceTick.start();
                probe.start(20);
                lines_[0]->channel.AttachDevice(nullptr);
            }
            if (state == LaneState::Waiting && done == 1)
                lines_[0]->channel.AttachDevice(&lines_[0]->Device());
        });
        // Stopped once the second unit is done and the record is seen away.
        QTimer watch;
        connect(&watch, &QTimer::timeout, &window, [&] {
            if (done >= 2 && recordLine->text().contains(QStringLiteral("недоступен")))
                window.Stop();
        });
        watch.start(100);
        QTimer::singleShot(90000, &window, [&] { window.Stop(); });  // a hang guard only
        window.Start();
        probe.stop();
        for (pid_t pid : frozen.pids)
            ::kill(pid, SIGCONT);
        frozen.pids.clear();

        QCOMPARE(done, 2);
        QVERIFY2(recordLine->text().contains(QStringLiteral("недоступен")),
                 qPrintable(recordLine->text()));
        QVERIFY2(window.findChild<QLabel*>("Lane0State")->text().size() > 0, "a lane shown");
        // A record call on this thread would have held it for the call's deadline (seconds).
        QVERIFY2(worstMs < 1000,
                 qPrintable(QStringLiteral("the window stalled %1 ms").arg(worstMs)));
    }
#endif

    void aClosedWindowStopsEveryLane() {
        TStationFrm window(MakeRecipe(3), Deps());  // no device on any lane
        window.show();
        int waiting = 0;
        connect(&window, &TStationFrm::LaneChanged, &window, [&](int, LaneState state) {
            if (state == LaneState::Waiting && ++waiting == 3)
                window.close();
        });
        QSignalSpy ended(&window, &TStationFrm::StationEnded);
        window.Start();
        QCOMPARE(ended.size(), 1);
        QVERIFY(!window.Running());
        QVERIFY(!window.isVisible());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(window.StateOf(i), LaneState::Idle);
    }

    void closingDuringAnUpdateAsksFirst() {
        TStationFrm window(MakeRecipe(1), Deps());
        lines_[0]->Device();
        window.show();
        prompter_->answers = {false, true};
        bool stillRunningAfterNo = false;
        connect(&window, &TStationFrm::LaneChanged, &window, [&](int, LaneState state) {
            if (state != LaneState::Updating)
                return;
            window.close();  // No: the lane goes on
            stillRunningAfterNo = window.Running() && window.isVisible();
            window.close();  // Yes: stops after the exchange under way
        });
        window.Start();
        QVERIFY(stillRunningAfterNo);
        QCOMPARE(prompter_->Count(PromptRecord::Question), 2);
        QVERIFY(!window.isVisible());
        QVERIFY(lines_[0]->Report().updatesCompleted == 0);  // stopped before the end
    }

    void refusedRecipes_data() {
        QTest::addColumn<QString>("lines");
        QTest::addColumn<QString>("error");
        const QString ok = QStringLiteral("Package=kvr17.bsk\nPackageSHA256=%1\nPorts=COM5;COM6\n");
        QTest::newRow("no section") << "[Other]\nPackage=x"
                                    << "no [Station] section";
        QTest::newRow("no package") << "Ports=COM5\nPackageSHA256=00"
                                    << "no Package";
        QTest::newRow("no hash") << "Package=kvr17.bsk\nPorts=COM5"
                                 << "no PackageSHA256";
        QTest::newRow("no ports") << "Package=kvr17.bsk\nPackageSHA256=%1"
                                  << "no Ports";
        QTest::newRow("short hash") << "Package=kvr17.bsk\nPackageSHA256=abc\nPorts=COM5"
                                    << "PackageSHA256 takes 64";
        // One port under two names, by the same rule as flash.
        QTest::newRow("port twice") << "Package=kvr17.bsk\nPackageSHA256=%1\nPorts=COM5; COM5"
                                    << "are the same port";
        QTest::newRow("bare and full name")
            << "Package=kvr17.bsk\nPackageSHA256=%1\nPorts=ttyUSB0;/dev/ttyUSB0"
            << "are the same port";
        QTest::newRow("name case") << "Package=kvr17.bsk\nPackageSHA256=%1\nPorts=COM5;com5"
                                   << "are the same port";
        // A by-id link and its node; Windows has no such links for ports.
        if (QSysInfo::kernelType() != QLatin1String("winnt")) {
            QTest::newRow("link beside its node")
                << "Package=kvr17.bsk\nPackageSHA256=%1\nPorts=%3/tty-node;%3/by-id-link"
                << "are the same port";
        }
        QTest::newRow("nine ports")
            << "Package=kvr17.bsk\nPackageSHA256=%1\nPorts=A;B;C;D;E;F;G;H;I"
            << "1 to 8 ports";
        QTest::newRow("BootAll=yes") << ok + "BootAll=yes"
                                     << "BootAll takes 0 or 1";
        QTest::newRow("technology without HW") << ok + "Technology=1\nPool=p"
                                               << "HW takes";
        QTest::newRow("technology without pool") << ok + "Technology=1\nHW=3"
                                                 << "from a Pool";
        QTest::newRow("pool without technology") << ok + "Pool=p"
                                                 << "Pool goes with Technology=1";
        QTest::newRow("ask") << ok + "ProgramMismatch=ask"
                             << "ProgramMismatch takes";
        QTest::newRow("removal too short") << ok + "RemovalSeconds=0.1"
                                           << "RemovalSeconds takes";
        QTest::newRow("lease without pool") << ok + "LeaseSize=50"
                                            << "LeaseSize goes with a Pool";
        QTest::newRow("lease of no hours") << ok + "Technology=1\nHW=3\nPool=p\nLeaseHours=0"
                                           << "LeaseHours takes 1 to 72";
        QTest::newRow("another file")
            << QString(ok).replace("%1", QString(64, u'0')) << "is not the recipe's";
        QTest::newRow("missing package") << "Package=gone.bsk\nPackageSHA256=%1\nPorts=COM5"
                                         << "cannot be read";
        QTest::newRow("broken package") << "Package=broken.bsk\nPackageSHA256=%2\nPorts=COM5"
                                        << "Package: ";
    }
    void refusedRecipes() {
        QFETCH(QString, lines);
        QFETCH(QString, error);
        const QByteArray package = Package();
        WriteAll(dir_.filePath("kvr17.bsk"), package);
        QByteArray broken = package;
        broken[broken.size() - 1] = static_cast<char>(broken.back() ^ 0x5A);  // checksum byte
        WriteAll(dir_.filePath("broken.bsk"), broken);
        auto sha = [](const QByteArray& b) {
            return QString::fromLatin1(
                QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
        };
        WriteAll(dir_.filePath("tty-node"), QByteArray());
        QFile::link(dir_.filePath("tty-node"), dir_.filePath("by-id-link"));
        QString text = lines;
        text.replace("%1", sha(package)).replace("%2", sha(broken)).replace("%3", dir_.path());
        if (!text.startsWith('['))
            text.prepend("[Station]\n");
        const QString path = dir_.filePath("recipe.ini");
        WriteAll(path, text.toUtf8());
        Recipe recipe;
        recipe.ports << "untouched";
        QString message;
        QVERIFY(!LoadRecipe(path, recipe, message));
        QVERIFY2(message.contains(error), qPrintable(message));
        QCOMPARE(recipe.ports, QStringList{"untouched"});
    }

    void theSampleRecipeLoadsWithItsPackage() {
        // The shipped sample, pointed at a package of its hash.
        QByteArray sample = ReadAll(QStringLiteral(KVR_SAMPLE_RECIPE));
        const QByteArray package = Package();
        WriteAll(dir_.filePath("kvr17-1.2.0.3.bsk"), package);
        const QByteArray sha =
            QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex();
        const qsizetype at = sample.indexOf("PackageSHA256=") + 14;
        sample.replace(at, 64, sha);
        const QString path = dir_.filePath("line2.ini");
        WriteAll(path, sample);
        Recipe recipe;
        QString error;
        QVERIFY2(LoadRecipe(path, recipe, error), qPrintable(error));
        QCOMPARE(recipe.ports, (QStringList{"COM5", "COM6", "COM7", "COM8"}));
        QVERIFY(recipe.technology);
        QCOMPARE(recipe.pool, QStringLiteral("line2"));
        // As given: the run finds a relative record beside the recipe.
        QCOMPARE(recipe.record, QStringLiteral("sqlite:records.sqlite"));
        QCOMPARE(recipe.removalMs, 5000u);
    }
};

KVR_QTEST_MAIN(StationWindowTest)
#include "StationWindowTest.moc"

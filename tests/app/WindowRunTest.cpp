// Whole update runs from the window against the in-process simulated device on a virtual
// clock: run control, the binding of the Start button, closing mid-run, the package reload
// before a run, and the serial number buttons.
#include <QAbstractEventDispatcher>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "GatedChannel.h"
#include "MemIniFile.h"
#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "PaintPool.h"
#include "QtTestMain.h"
#include "Record.h"
#include "RunMessages.h"
#include "SimulatedLine.h"
#include "TestPages.h"
#include "UpdateThread.h"
#include "WindowTestSupport.h"

using namespace kvr;
using namespace kvr::test;

namespace {

const QString kChanged = QStringLiteral("Неправильный формат файла. Указанный файл был изменен.");

// Only a guard against a hung test; nothing is measured.
constexpr qint64 kHangGuardMs = 60000;

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > kHangGuardMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Lets the event loop run until it would wait for new events: the moment the application
// becomes idle and refreshes its actions.
void RunUntilIdle() {
    QEventLoop loop;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &loop, [&loop] { loop.quit(); });
    loop.exec();
}

}  // namespace

class WindowRunTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString packagePath_;
    QByteArray packageBytes_;
    std::unique_ptr<SimulatedLine> line_;
    std::shared_ptr<GatedChannelFactory> channels_;
    std::shared_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<TFormProgFrm> window_;
    QByteArray extraSettings_;  // more sections for the settings file

    QString SettingsPath() const { return dir_->filePath(QStringLiteral("kvr-uplinker.ini")); }

    QByteArray MakePackage(uint32_t pageCount, uint32_t seed, uint16_t hardwareVersion = 1) {
        PackageOptions options;
        options.pageCount = pageCount;
        options.seed = seed;
        options.hardwareVersions = {hardwareVersion};
        return BuildPackage(options);
    }

    // A device that expects `expected` pages, and a window in the given mode whose settings
    // name the package file.
    void Build(bool technology, DeviceOptions deviceOptions = {}, const QByteArray& expected = {}) {
        SetModes(technology, false);
        packageBytes_ = MakePackage(6, 11);
        packagePath_ = dir_->filePath(QStringLiteral("update.bsk"));
        QVERIFY(WriteAll(packagePath_, packageBytes_));
        QVERIFY(
            WriteAll(SettingsPath(),
                     ("[Common]\r\nFileName=" + packagePath_ + "\r\n").toUtf8() + extraSettings_));
        line_ = std::make_unique<SimulatedLine>(
            PagesOfPackage(expected.isEmpty() ? packageBytes_ : expected));
        line_->options = deviceOptions;
        line_->Device();
        channels_ = std::make_shared<GatedChannelFactory>(line_->factory);
        prompter_ = std::make_shared<RecordingPrompter>();
        FormDependencies deps;
        deps.settingsPath = SettingsPath();
        deps.languagePath = dir_->filePath(QStringLiteral("ru.lng"));
        deps.logPath = dir_->filePath(QStringLiteral("log.txt"));
        deps.listPorts = [] { return MakePorts(2); };
        deps.prompter = prompter_;
        deps.channels = channels_;
        deps.clock = Clock();
        window_ = std::make_unique<TFormProgFrm>(deps);
    }

    // The line's clock for the window, which shares the clocks it is given.
    std::shared_ptr<IClock> Clock() {
        return std::shared_ptr<IClock>(&line_->clock, [](IClock*) {});
    }
    const devsim::DeviceReport& Report() { return line_->Report(); }

    QAction* Action(const char* name) { return Find<QAction>(window_.get(), name); }
    QPushButton* StartButton() { return Find<QPushButton>(window_.get(), "BitBtn1"); }
    QToolButton* OpenButton() { return Find<QToolButton>(window_.get(), "ToolButton1"); }
    QLineEdit* SerialEdit() { return Find<QLineEdit>(window_.get(), "SN"); }
    QProgressBar* Bar() { return Find<QProgressBar>(window_.get(), "ProgressBar1"); }

    bool WaitRunEnded() {
        return WaitFor([this] {
            return window_->UpdateThread() && window_->UpdateThread()->isFinished() &&
                   !window_->RunGoing();
        });
    }
    // Starts with a closed gate and waits until the run stands at it.
    void StartHeld(const std::function<void()>& start) {
        auto gate = std::make_shared<Gate>(false);
        channels_->gate = gate;
        start();
        QVERIFY(window_->RunGoing());
        gate->WaitArrived();
    }
    void Release() { channels_->gate->Open(); }

private slots:
    void initTestCase() { PaintOnOnePoolThread(); }
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        extraSettings_.clear();
    }
    void cleanup() {
        if (channels_)
            channels_->gate->Open();
        window_.reset();
        channels_.reset();
        line_.reset();
        SetModes(false, false);
    }

    void wholeRunFromStartToSuccess() {
        Build(false);
        window_->SetProgress(37);
        QSignalSpy progress(Bar(), &QProgressBar::valueChanged);
        StartButton()->click();
        // Disabled at once; the bar shows 0 from the start.
        QVERIFY(!Action("ActionStart")->isEnabled());
        QVERIFY(!StartButton()->isEnabled());
        QCOMPARE(Bar()->value(), 0);
        QVERIFY(WaitRunEnded());

        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(prompter_->records.back().caption, QStringLiteral("KVRUplinker v1.0.14"));
        QVERIFY(Action("ActionStart")->isEnabled());
        QVERIFY(StartButton()->isEnabled());
        QCOMPARE(Bar()->value(), 100);
        QVERIFY(progress.size() >= 2);
        QCOMPARE(progress.back().at(0).toInt(), 100);
        const devsim::DeviceReport& report = Report();
        QCOMPARE(report.pagesReceived, 6u);
        QCOMPARE(report.pageMismatches, 0u);
        QCOMPARE(report.updatesCompleted, 1u);
        QCOMPARE(report.bootAllPageFrames, 0u);
        QVERIFY(report.serialNumbers.empty());
        QVERIFY(ReadAll(dir_->filePath("log.txt")).startsWith(QByteArray("\xFF\xFE", 2)));

        // The open-file button follows at the next idle refresh, and a second run works.
        RunUntilIdle();
        QVERIFY(OpenButton()->isEnabled());
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), (QStringList{kSuccess, kSuccess}));
        QCOMPARE(channels_->created.load(), 2);
    }

    void openFileButtonFollowsStartAtTheNextIdleRefresh() {
        Build(false);
        RunUntilIdle();
        QVERIFY(OpenButton()->isEnabled());
        StartHeld([this] { StartButton()->click(); });
        // Not yet: the open-file action is refreshed only when the application becomes idle.
        QVERIFY(Action("ActionOpenFile")->isEnabled());
        QVERIFY(OpenButton()->isEnabled());
        RunUntilIdle();
        QVERIFY(!Action("ActionOpenFile")->isEnabled());
        QVERIFY(!OpenButton()->isEnabled());
        // A click on the disabled control does nothing.
        QTest::mouseClick(OpenButton(), Qt::LeftButton);
        QCOMPARE(prompter_->Count(PromptRecord::OpenDialog), 0);
        Release();
        QVERIFY(WaitRunEnded());
        RunUntilIdle();
        QVERIFY(OpenButton()->isEnabled());
    }

    void stopMakesStartUsableWhileTheRunGoesOn() {
        Build(false);
        StartHeld([this] { StartButton()->click(); });
        // Guarded: a pointer compare alone would be fooled by a new thread at the old address.
        QPointer<TUpdateThread> first = window_->UpdateThread();
        Action("ActionStop")->trigger();
        QVERIFY(Action("ActionStart")->isEnabled());
        QVERIFY(StartButton()->isEnabled());
        QVERIFY(window_->RunGoing());
        QVERIFY(!first->isInterruptionRequested());
        // A start now is refused: no second run, and the first one is not cut.
        StartButton()->click();
        QVERIFY(first);
        QCOMPARE(window_->UpdateThread(), first.data());
        QVERIFY(first->isRunning());
        QVERIFY(!first->isInterruptionRequested());
        QVERIFY(Action("ActionStart")->isEnabled());
        Release();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(Report().pagesReceived, 6u);
    }

    void serialButtonsDuringARunAreRefused() {
        Build(true, [] {
            DeviceOptions o;
            o.finalStatuses = {10};
            return o;
        }());
        SerialEdit()->setText(QStringLiteral("500"));
        StartHeld([this] { Find<QToolButton>(window_.get(), "SpeedButton1")->click(); });
        // Guarded: a pointer compare alone would be fooled by a new thread at the old address.
        QPointer<TUpdateThread> first = window_->UpdateThread();
        QCOMPARE(SerialEdit()->text(), QStringLiteral("501"));
        Find<QToolButton>(window_.get(), "SpeedButton1")->click();
        Find<QToolButton>(window_.get(), "SpeedButton2")->click();
        // Refused before the increment.
        QCOMPARE(SerialEdit()->text(), QStringLiteral("501"));
        QVERIFY(first);
        QCOMPARE(window_->UpdateThread(), first.data());
        QVERIFY(!first->isInterruptionRequested());
        QCOMPARE(channels_->created.load(), 1);
        Release();
        QVERIFY(WaitRunEnded());
        QCOMPARE(Report().serialNumbers.size(), size_t(1));
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
    }

    void technologyModeStartButtonBindsAfterTheFirstRun() {
        Build(true, [] {
            DeviceOptions o;
            o.finalStatuses = {10};
            return o;
        }());
        Find<QLineEdit>(window_.get(), "HWEdit")->setText(QStringLiteral("3"));
        QVERIFY(!StartButton()->isEnabled());
        QVERIFY(Action("ActionStart")->isEnabled());
        StartHeld([this] { Find<QToolButton>(window_.get(), "SpeedButton2")->click(); });
        QVERIFY(!Action("ActionStart")->isEnabled());
        QVERIFY(!StartButton()->isEnabled());
        Release();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        // Enabled with the action at the run's end, and from then on it follows.
        QVERIFY(StartButton()->isEnabled());
        Action("ActionStart")->setEnabled(false);
        QVERIFY(!StartButton()->isEnabled());
        Action("ActionStart")->setEnabled(true);
        QVERIFY(StartButton()->isEnabled());
        // The serial number and hardware version reached the device.
        const auto& written = Report().serialNumbers;
        QCOMPARE(written.size(), size_t(1));
        QCOMPARE(written[0].hardware, uint8_t(3));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(written[0].serial.data()), 1),
                 QByteArray("0"));
        // Now the Start button itself starts a run.
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(channels_->created.load(), 2);
    }

    void recordKeepsEveryRunAndAsksBeforeANumberGoesIntoASecondUnit() {
        const QString path = dir_->filePath(QStringLiteral("records.sqlite"));
        extraSettings_ = "[Record]\r\nURL=sqlite:" + path.toUtf8() + "\r\n";
        Build(true, [] {
            DeviceOptions o;
            o.finalStatuses = {10};
            return o;
        }());
        SerialEdit()->setText(QStringLiteral("000777"));
        Find<QLineEdit>(window_.get(), "HWEdit")->setText(QStringLiteral("3"));
        auto start = [this] { Find<QToolButton>(window_.get(), "SpeedButton2")->click(); };
        auto history = [&] {
            record::RecordUrl url;
            QString error;
            record::ParseRecordUrl(QStringLiteral("sqlite:") + path, url, error);
            return record::Record::Open(url)->History({});
        };
        // The row is completed as the window learns that the run's thread has ended.
        // The rows reach the record from the station's store, on its own thread.
        auto ended = [&](size_t count) {
            return WaitFor([&] {
                const auto rows = history();
                return rows.size() == count && rows.back().ending.has_value();
            });
        };
        QSignalSpy finished(window_.get(), &TFormProgFrm::RunFinished);
        start();
        QVERIFY(WaitFor([&] { return finished.size() == 1; }));
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QVERIFY(ended(1));
        auto rows = history();
        QCOMPARE(rows.size(), size_t(1));
        QVERIFY(rows[0].ending);
        QCOMPARE(rows[0].ending->outcome, QStringLiteral("success"));
        QCOMPARE(rows[0].serialNumber, QStringLiteral("000777"));
        QVERIFY(rows[0].ending->serialNumberConfirmed);
        QCOMPARE(rows[0].start.port, QStringLiteral("COM1"));
        QCOMPARE(rows[0].start.hardware, QStringLiteral("3"));
        QCOMPARE(rows[0].start.packageSha256.toLatin1(),
                 QCryptographicHash::hash(packageBytes_, QCryptographicHash::Sha256).toHex());

        // The same number again: asked first, and No starts nothing.
        prompter_->answers = {false};
        start();
        RunUntilIdle();
        const QStringList asked = prompter_->Texts(PromptRecord::Question);
        QCOMPARE(asked.size(), 1);
        QVERIFY2(asked[0].startsWith(QStringLiteral("Серийный номер 000777 уже записан в прибор ")),
                 qPrintable(asked[0]));
        QVERIFY(asked[0].endsWith(
            QStringLiteral(" на %1. Записать его ещё раз?").arg(QSysInfo::machineHostName())));
        QCOMPARE(channels_->created.load(), 1);
        QCOMPARE(history().size(), size_t(1));
        prompter_->answers = {true};
        start();
        QVERIFY(WaitFor([&] { return finished.size() == 2; }));
        QVERIFY(ended(2));
        rows = history();
        QCOMPARE(rows.size(), size_t(2));
        QVERIFY(rows[1].ending && rows[1].ending->serialNumberConfirmed);

        // The window's rewrite of its settings keeps the section.
        window_.reset();
        QVERIFY(ReadAll(SettingsPath()).contains("[Record]\r\nURL=sqlite:"));
    }

    void recordOutOfReachStartsNoRun() {
        extraSettings_ = "[Record]\r\nURL=postgresql://kvr@127.0.0.1:1/none\r\n";
        Build(false);
        StartButton()->click();
        RunUntilIdle();
        const QStringList shown = prompter_->Texts(PromptRecord::Message);
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].contains(QStringLiteral("недоступен")) &&
                     shown[0].endsWith(QStringLiteral("Обновление не начато.")),
                 qPrintable(shown[0]));
        QCOMPARE(channels_->created.load(), 0);
        QVERIFY(Action("ActionStart")->isEnabled());
    }

    void plusOneIncrementsAndStarts_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("12345678") << "12345678"
                                  << "12345679";
        QTest::newRow("leading zeros") << "00000099"
                                       << "100";
        QTest::newRow("start-up value") << "0"
                                        << "1";
        QTest::newRow("beyond eight digits") << "99999999"
                                             << "100000000";
        QTest::newRow("largest 32-bit number") << "2147483647"
                                               << "2147483648";
        QTest::newRow("negative") << "-1"
                                  << "0";
    }
    void plusOneIncrementsAndStarts() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        Build(true, [] {
            DeviceOptions o;
            o.finalStatuses = {10};
            return o;
        }());
        SerialEdit()->setText(before);
        Find<QToolButton>(window_.get(), "SpeedButton1")->click();
        QCOMPARE(SerialEdit()->text(), after);
        QCOMPARE(prompter_->Count(PromptRecord::Error), 0);
        QVERIFY(WaitRunEnded());
        QCOMPARE(channels_->created.load(), 1);
    }

    void plusOneTwiceAcrossTwoRuns() {
        Build(true, [] {
            DeviceOptions o;
            o.finalStatuses = {10};
            return o;
        }());
        SerialEdit()->setText(QStringLiteral("12345678"));
        auto* plusOne = Find<QToolButton>(window_.get(), "SpeedButton1");
        plusOne->click();
        QVERIFY(WaitRunEnded());
        plusOne->click();
        QCOMPARE(SerialEdit()->text(), QStringLiteral("12345680"));
        QVERIFY(WaitRunEnded());
        const auto& written = Report().serialNumbers;
        QCOMPARE(written.size(), size_t(2));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(written[1].serial.data()), 8),
                 QByteArray("12345680"));
    }

    void plusOneOnNoNumberShowsTheConversionError_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("letters") << "12ab";
        QTest::newRow("above 32 bits") << "2147483648";
    }
    void plusOneOnNoNumberShowsTheConversionError() {
        QFETCH(QString, text);
        Build(true);
        SerialEdit()->setText(text);
        Find<QToolButton>(window_.get(), "SpeedButton1")->click();
        QCOMPARE(prompter_->Texts(PromptRecord::Error),
                 QStringList{QStringLiteral("''%1'' is not a valid integer value.").arg(text)});
        QCOMPARE(prompter_->records.back().caption,
                 QStringLiteral("KVRUplinker v1.0.14 Technology mode"));
        QCOMPARE(SerialEdit()->text(), text);
        QVERIFY(!window_->UpdateThread());
        QCOMPARE(channels_->created.load(), 0);
        QVERIFY(Action("ActionStart")->isEnabled());
    }

    void typingLimitsDoNotCutProgramText() {
        Build(true);
        SerialEdit()->clear();
        SerialEdit()->setFocus();
        QTest::keyClicks(SerialEdit(), QStringLiteral("12a34567890"));
        QCOMPARE(SerialEdit()->text(), QStringLiteral("12345678"));
        auto* hw = Find<QLineEdit>(window_.get(), "HWEdit");
        hw->clear();
        QTest::keyClicks(hw, QStringLiteral("9x876"));
        QCOMPARE(hw->text(), QStringLiteral("987"));
        // Cyrillic letters are refused too (sent one by one: keyClicks cannot send them).
        QTest::keyClick(hw, Qt::Key_Backspace);
        QTest::sendKeyEvent(QTest::Press, hw, Qt::Key_unknown, QStringLiteral("ж"), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, hw, Qt::Key_unknown, QStringLiteral("ж"),
                            Qt::NoModifier);
        QCOMPARE(hw->text(), QStringLiteral("98"));
        SerialEdit()->setText(QStringLiteral("100000000"));
        QCOMPARE(SerialEdit()->text(), QStringLiteral("100000000"));
    }

    void missingPackageFileBringsUpTheDialog() {
        Build(false);
        QVERIFY(QFile::remove(packagePath_));
        const QString other = dir_->filePath(QStringLiteral("other.bsk"));
        QVERIFY(WriteAll(other, packageBytes_));
        prompter_->fileAnswers.push_back(other);
        StartButton()->click();
        QCOMPARE(prompter_->Count(PromptRecord::OpenDialog), 1);
        QCOMPARE(prompter_->lastDialog->fileName, packagePath_);
        QCOMPARE(Find<QLineEdit>(window_.get(), "FileNameEdit")->text(),
                 QDir::toNativeSeparators(other));
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(Report().pagesReceived, 6u);
    }

    void cancelledDialogWithoutPackageStartsNothing() {
        Build(false);
        QVERIFY(QFile::remove(packagePath_));
        StartButton()->click();  // the dialog is cancelled
        QCOMPARE(prompter_->Count(PromptRecord::OpenDialog), 1);
        QVERIFY(!window_->UpdateThread());
        QCOMPARE(channels_->created.load(), 0);
        QVERIFY(Action("ActionStart")->isEnabled());
        QVERIFY(StartButton()->isEnabled());
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
    }

    void cancelledDialogRunsTheHeldPackage() {
        Build(false);
        StartButton()->click();  // loads the package and runs it
        QVERIFY(WaitRunEnded());
        QVERIFY(QFile::remove(packagePath_));
        StartButton()->click();  // the dialog is cancelled; the held package runs again
        QCOMPARE(prompter_->Count(PromptRecord::OpenDialog), 1);
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), (QStringList{kSuccess, kSuccess}));
        QCOMPARE(channels_->created.load(), 2);
    }

    void changedPackageIsReloadedBeforeTheRun() {
        const QByteArray second = MakePackage(3, 99, 7);
        Build(false, {}, second);
        StartHeld([this] { StartButton()->click(); });
        Release();
        QVERIFY(WaitRunEnded());
        // The device expected the second package, so the first run did not match it.
        QVERIFY(Report().pageMismatches > 0);
        QVERIFY(WriteAll(packagePath_, second));
        const uint32_t mismatchesBefore = Report().pageMismatches;
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(Report().pageMismatches, mismatchesBefore);
        QCOMPARE(window_->Package().pages.size(), size_t(3));
        QCOMPARE(Find<QListWidget>(window_.get(), "CLMemo")->item(0)->text(),
                 QStringLiteral("17.2.7"));
    }

    void brokenPackageKeepsThePreviousOne() {
        Build(false);
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QByteArray broken = packageBytes_;
        broken[40] = char(broken[40] ^ 0x01);  // the checksum no longer matches
        QVERIFY(WriteAll(packagePath_, broken));
        prompter_->records.clear();
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), (QStringList{kChanged, kSuccess}));
        QCOMPARE(Report().pageMismatches, 0u);
        QCOMPARE(Report().updatesCompleted, 2u);
        QCOMPARE(window_->windowTitle(), QStringLiteral("KVRUplinker v1.0.14 - 'update.bsk'"));
    }

    void programVersionQuestionAnswered_data() {
        QTest::addColumn<bool>("answer");
        QTest::newRow("Yes") << true;
        QTest::newRow("No") << false;
    }
    void programVersionQuestionAnswered() {
        QFETCH(bool, answer);
        DeviceOptions options;
        options.pageFlags[1] = devsim::kPageFlagProgramIncompatible;
        Build(false, options);
        prompter_->answers.push_back(answer);
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Question), QStringList{kProgramQuestion});
        QCOMPARE(prompter_->records.front().caption, QStringLiteral("KVRUplinker v1.0.14"));
        if (answer) {
            QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
            QCOMPARE(Report().pagesReceived, 6u);
        } else {
            QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
            QCOMPARE(Report().pagesReceived, 2u);
        }
        QVERIFY(Action("ActionStart")->isEnabled());
    }

    void hardwareVersionMessageEndsTheRun() {
        DeviceOptions options;
        options.pageFlags[0] = devsim::kPageFlagHardwareIncompatible;
        Build(false, options);
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kHardwareIncompatible});
        QCOMPARE(Report().pagesReceived, 1u);
        QVERIFY(StartButton()->isEnabled());
    }

    void closingMidRunStopsAndWaitsBeforeSaving() {
        Build(false);
        channels_->events.watchedFile = SettingsPath();
        QVERIFY(QFile::remove(SettingsPath()));
        window_->show();
        StartHeld([this] { StartButton()->click(); });
        QVERIFY(!window_->close());
        QVERIFY(window_->isVisible());
        QVERIFY(window_->UpdateThread()->isInterruptionRequested());
        // A second close while waiting changes nothing.
        QVERIFY(!window_->close());
        QVERIFY(WaitFor([this] { return !window_->isVisible(); }));
        QVERIFY(!window_->RunGoing());
        QCOMPARE(channels_->events.disconnects.load(), 1);
        window_.reset();
        QVERIFY(!channels_->events.watchedFileExistedAtDisconnect);
        QVERIFY(QFile::exists(SettingsPath()));
        // The run was stopped, not finished.
        QCOMPARE(Report().pagesReceived, 0u);
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
    }

    // Qt's quit() first asks the windows to close: the window refuses while the run goes on, so
    // the quit takes effect when the run has ended and the window has closed itself.
    void applicationQuitDuringTheCloseWait() {
        Build(false);
        channels_->events.watchedFile = SettingsPath();
        QVERIFY(QFile::remove(SettingsPath()));
        window_->show();
        StartHeld([this] { StartButton()->click(); });
        QTimer::singleShot(0, window_.get(), [this] {
            window_->close();
            QCoreApplication::quit();
        });
        QTimer hangGuard;
        hangGuard.setSingleShot(true);
        connect(&hangGuard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        hangGuard.start(kHangGuardMs);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!window_->isVisible());
        QVERIFY(!window_->RunGoing());
        QCOMPARE(channels_->events.disconnects.load(), 1);
        window_.reset();
        QVERIFY(!channels_->events.watchedFileExistedAtDisconnect);
        QVERIFY(QFile::exists(SettingsPath()));
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
    }

    // exit() ends the event loop whatever the windows say: the window is then destroyed while
    // its run still goes on, and the run's last report can no longer be served by the loop.
    void applicationExitDuringTheCloseWait() {
        Build(false);
        channels_->events.watchedFile = SettingsPath();
        QVERIFY(QFile::remove(SettingsPath()));
        window_->show();
        auto gate = std::make_shared<Gate>(false, false);
        channels_->gate = gate;
        StartButton()->click();
        gate->WaitArrived();
        QTimer::singleShot(0, window_.get(), [this] {
            window_->close();
            QCoreApplication::exit(0);
        });
        QCoreApplication::exec();
        QVERIFY(window_->RunGoing());
        QVERIFY(window_->UpdateThread()->isInterruptionRequested());
        gate->Open();
        window_.reset();
        QVERIFY(!channels_->events.watchedFileExistedAtDisconnect);
        QCOMPARE(channels_->events.disconnects.load(), 1);
        QVERIFY(QFile::exists(SettingsPath()));
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
        QCOMPARE(Report().pagesReceived, 0u);
    }

    void closeDuringAQuestionWaitsForTheAnswer() {
        DeviceOptions options;
        options.pageFlags[2] = devsim::kPageFlagProgramIncompatible;
        Build(false, options);
        window_->show();
        // The run is blocked in its question when the close arrives; the answer lets it go on,
        // it sees the stop request at its next turn, and the window then closes itself.
        prompter_->defaultAnswer = true;
        prompter_->onQuestion = [this](const QString&) { QVERIFY(!window_->close()); };
        StartButton()->click();
        QVERIFY(WaitFor([this] { return !window_->isVisible(); }));
        QVERIFY(!window_->RunGoing());
        QCOMPARE(prompter_->Count(PromptRecord::Question), 1);
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
        QCOMPARE(Report().pagesReceived, 3u);
    }

    // The run's accessors take no lock that the run holds while it waits for the window.
    void runAccessorsAnswerWhileAQuestionIsOpen() {
        DeviceOptions options;
        options.pageFlags[1] = devsim::kPageFlagProgramIncompatible;
        Build(false, options);
        bool answered = false;
        prompter_->onQuestion = [&](const QString&) {
            // Asked on a helper thread, so that a deadlock fails the test instead of hanging it.
            auto reply = std::make_shared<std::promise<std::pair<bool, uint16_t>>>();
            auto future = reply->get_future();
            TUpdateThread* run = window_->UpdateThread();
            std::thread([run, reply] {
                reply->set_value({run->LogOpen(), run->AddressFieldLength()});
            }).detach();
            if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
                return;
            const auto [logOpen, addressLength] = future.get();
            answered = logOpen && addressLength == 0;  // the bootloader's framing
        };
        prompter_->answers.push_back(true);
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        QVERIFY(answered);
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
    }

    // An error box enables Start before the run's tail closes the port. A port whose closing
    // hangs (a stuck adapter driver) must not freeze the window meanwhile.
    void windowStaysResponsiveWhileTheEndingRunClosesItsPort() {
        DeviceOptions options;
        options.pageFlags[2] = devsim::kPageFlagNotWritten;
        Build(false, options);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        auto stuck = std::make_shared<Gate>(false, false);
        channels_->disconnectGate = stuck;
        // Lets a frozen window go again, so that the test fails instead of hanging.
        std::atomic<bool> rescued{false};
        std::thread rescue([&] {
            for (int i = 0; i < 2000 && !rescued; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            rescued = true;
            stuck->Open();
        });
        StartButton()->click();
        QVERIFY(WaitFor([&] { return stuck->Arrived() > 0; }));

        // The event loop runs (what paints the window), and the close box is answered.
        bool served = false;
        QTimer::singleShot(0, window_.get(), [&] { served = true; });
        const bool responsive = WaitFor([&] { return served || rescued; }) && !rescued;
        const bool closeRefused = !window_->close() && window_->isVisible() && !rescued;
        QVERIFY(window_->RunGoing());
        rescued = true;
        stuck->Open();
        rescue.join();
        QVERIFY(responsive);
        QVERIFY(closeRefused);
        // The close asked for meanwhile takes effect once the port is closed.
        QVERIFY(WaitFor([this] { return !window_->isVisible(); }));
        QVERIFY(!window_->RunGoing());
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kUpdateError});
        QCOMPARE(channels_->events.disconnects.load(), 1);
    }

    void destroyingTheWindowMidRunEndsTheRun() {
        Build(false);
        StartHeld([this] { StartButton()->click(); });
        window_.reset();
        QCOMPARE(channels_->events.disconnects.load(), 1);
        QVERIFY(QFile::exists(SettingsPath()));
    }

    void portThatCannotOpenIsReported() {
        Build(false);
        Find<QComboBox>(window_.get(), "ComboBox1")->setCurrentIndex(-1);
        // The empty port name reaches the run; the simulated port refuses it like a real one.
        line_->channel.FailConnect("SerialComm open port error, 2");
        window_.reset();  // one window at a time: the language file is process-wide
        FormDependencies deps;
        deps.settingsPath = SettingsPath();
        deps.languagePath = dir_->filePath(QStringLiteral("ru.lng"));
        deps.logPath = dir_->filePath(QStringLiteral("log.txt"));
        deps.listPorts = [] { return MakePorts(0); };
        deps.prompter = prompter_;
        deps.channels = std::shared_ptr<IChannelFactory>(&line_->factory, [](IChannelFactory*) {});
        deps.clock = Clock();
        window_ = std::make_unique<TFormProgFrm>(deps);
        StartButton()->click();
        QVERIFY(WaitRunEnded());
        const QStringList texts = prompter_->Texts(PromptRecord::Message);
        QVERIFY2(texts.contains(kConnectionError), qPrintable(texts.join('|')));
        QVERIFY(Action("ActionStart")->isEnabled());
        window_.reset();
    }
};

KVR_QTEST_MAIN(WindowRunTest)
#include "WindowRunTest.moc"

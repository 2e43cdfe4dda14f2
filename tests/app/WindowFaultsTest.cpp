// The window when its package file changes under it: replaced while the window holds it,
// before a start and during a run. Runs go against the in-process simulated device on a
// virtual clock.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <mutex>

#include "AppGlobals.h"
#include "FormProgFrm.h"
#include "PackageBuilder.h"
#include "PaintPool.h"
#include "RecordingPrompter.h"
#include "RunMessages.h"
#include "SimulatedLine.h"
#include "TestFiles.h"
#include "TestPages.h"
#include "UpdateThread.h"

using namespace kvr;
using namespace kvr::test;

namespace {

const QString kCaption = QStringLiteral("KVRUplinker v1.0.14");
const QString kSettingsName = QStringLiteral("kvr-uplinker.ini");

// Only guards against a hung test; nothing is measured.
constexpr int kHangGuardMs = 60'000;
constexpr int kServeSliceMs = 5;

// Hands the run whichever simulated device the test points it at.
class DeviceSwitch final : public IChannelFactory {
public:
    std::unique_ptr<IByteChannel> Create() override { return current->Create(); }
    IChannelFactory* current = nullptr;
};

// Holds the next run at its port opening until released, so that files can change under a run
// that is certainly going.
class HoldAtOpening final : public IChannelFactory {
public:
    explicit HoldAtOpening(IChannelFactory& inner) : inner_(inner) {}
    std::unique_ptr<IByteChannel> Create() override {
        std::unique_lock lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        return inner_.Create();
    }
    void Hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
        arrived_ = false;
    }
    void WaitArrived() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return arrived_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }

private:
    IChannelFactory& inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool arrived_ = false;
};

// Puts new bytes in the file's place the way a copy or an editor's save does: a new file
// renamed over the old one.
bool ReplaceFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray MakePackage(uint32_t pageCount, uint32_t seed, uint16_t hardwareVersion) {
    PackageOptions options;
    options.pageCount = pageCount;
    options.seed = seed;
    options.hardwareVersions = {hardwareVersion};
    return BuildPackage(options);
}

}  // namespace

class WindowFaultsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString packagePath_;
    QByteArray original_;
    QByteArray replacement_;
    // Both lines move one clock, the window's.
    std::shared_ptr<VirtualClock> clock_;
    // A device that expects the original package, one that expects the replacement.
    std::unique_ptr<SimulatedLine> originalLine_;
    std::unique_ptr<SimulatedLine> replacementLine_;
    DeviceSwitch switch_;
    std::shared_ptr<HoldAtOpening> hold_;
    std::shared_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<TFormProgFrm> window_;

    QString SettingsPath() const { return dir_->filePath(kSettingsName); }

    // A window whose settings name the original package, on a device that expects it.
    void Build() {
        original_ = MakePackage(6, 11, 1);
        replacement_ = MakePackage(3, 99, 7);
        packagePath_ = dir_->filePath(QStringLiteral("update.bsk"));
        QVERIFY(WriteAll(packagePath_, original_));
        QVERIFY(
            WriteAll(SettingsPath(), ("[Common]\r\nFileName=" + packagePath_ + "\r\n").toUtf8()));
        clock_ = std::make_shared<VirtualClock>();
        originalLine_ = std::make_unique<SimulatedLine>(PagesOfPackage(original_),
                                                        devsim::ChannelOptions{}, clock_.get());
        replacementLine_ = std::make_unique<SimulatedLine>(PagesOfPackage(replacement_),
                                                           devsim::ChannelOptions{}, clock_.get());
        originalLine_->Device();
        replacementLine_->Device();
        switch_.current = &originalLine_->factory;
        hold_ = std::make_shared<HoldAtOpening>(switch_);
        prompter_ = std::make_shared<RecordingPrompter>();
        FormDependencies deps;
        deps.settingsPath = SettingsPath();
        deps.languagePath = dir_->filePath(QStringLiteral("ru.lng"));
        deps.logPath = dir_->filePath(QStringLiteral("log.txt"));
        deps.listPorts = [] { return std::vector<SerialPortEntry>{{"\\Device\\Serial0", "COM1"}}; };
        deps.prompter = prompter_;
        deps.channels = hold_;
        deps.clock = clock_;
        window_ = std::make_unique<TFormProgFrm>(deps);
    }

    QPushButton* StartButton() {
        return window_->findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    }
    QString FirstHardwareLine() {
        auto* list = window_->findChild<QListWidget*>(QStringLiteral("CLMemo"));
        return list->count() > 0 ? list->item(0)->text() : QString();
    }

    // Serves the window until the run has ended; false when the guard passed first.
    bool WaitRunEnded() {
        QDeadlineTimer guard(kHangGuardMs);
        while (!(window_->UpdateThread() && window_->UpdateThread()->isFinished() &&
                 !window_->RunGoing())) {
            if (guard.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, kServeSliceMs);
            QThread::msleep(1);
        }
        return true;
    }

    void StartAndWait() {
        StartButton()->click();
        QVERIFY(WaitRunEnded());
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        TechnologyMode = false;
        BootAllMode = false;
    }
    void cleanup() {
        if (hold_)
            hold_->Release();
        window_.reset();
        hold_.reset();
        originalLine_.reset();
        replacementLine_.reset();
        clock_.reset();
    }

    void replacementIsValidatedAtStart_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QString>("message");  // empty: the replacement loads and runs

        QTest::newRow("another package") << QByteArray() << false << QString();

        QByteArray changed = MakePackage(6, 11, 1);
        changed[40] = static_cast<char>(changed[40] ^ 0x01);
        QTest::newRow("changed byte")
            << changed << false
            << QStringLiteral("Неправильный формат файла. Указанный файл был изменен.");

        QTest::newRow("empty") << QByteArray("") << false
                               << QStringLiteral("Неправильный формат файла. Ошибка заголовка.");

        QByteArray cut = MakePackage(6, 11, 1).left(600);
        StampChecksum(cut);
        QTest::newRow("cut short, checksum right")
            << cut << false
            << QStringLiteral("Неправильный формат файла. Ошибка размера заголовка!");

        QByteArray foreign(700, 'x');
        StampChecksum(foreign);
        QTest::newRow("another program's file")
            << foreign << false
            << QStringLiteral(
                   "Неправильный формат файла. Файл не предназначен для этой программы.");

        QTest::newRow("a folder in its place")
            << QByteArray() << true << QStringLiteral("Cannot open file \"%1\". ");
    }

    void replacementIsValidatedAtStart() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, folder);
        QFETCH(QString, message);
        Build();
        StartAndWait();
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(FirstHardwareLine(), QStringLiteral("17.2.1"));

        const bool loads = message.isEmpty();
        if (folder) {
            QVERIFY(QFile::remove(packagePath_));
            QVERIFY(QDir().mkdir(packagePath_));
            message = message.arg(packagePath_);
        } else {
            QVERIFY(ReplaceFile(packagePath_, loads ? replacement_ : bytes));
        }
        if (loads)
            switch_.current = &replacementLine_->factory;
        prompter_->records.clear();
        StartAndWait();

        const QStringList shown = prompter_->Texts(PromptRecord::Message);
        if (loads) {
            QCOMPARE(shown, QStringList{kSuccess});
            QCOMPARE(window_->Package().pages.size(), size_t(3));
            QCOMPARE(FirstHardwareLine(), QStringLiteral("17.2.7"));
            QCOMPARE(replacementLine_->Report().updatesCompleted, 1u);
            QCOMPARE(replacementLine_->Report().pageMismatches, 0u);
        } else {
            // The message first, then the run goes on with the package held before.
            QCOMPARE(shown.size(), 2);
            if (folder) {
                QVERIFY2(shown[0].startsWith(message), qPrintable(shown[0]));
                QVERIFY(shown[0].size() > message.size());  // the system's reason follows
            } else {
                QCOMPARE(shown[0], message);
            }
            QCOMPARE(shown[1], kSuccess);
            QCOMPARE(window_->Package().pages.size(), size_t(6));
            QCOMPARE(FirstHardwareLine(), QStringLiteral("17.2.1"));
            QCOMPARE(originalLine_->Report().updatesCompleted, 2u);
            QCOMPARE(originalLine_->Report().pageMismatches, 0u);
            QCOMPARE(replacementLine_->Report().framesHandled, 0u);
        }
        // The caption names the file that was read, whatever came of it.
        QCOMPARE(window_->windowTitle(), kCaption + QStringLiteral(" - 'update.bsk'"));
        QCOMPARE(window_->findChild<QLineEdit*>(QStringLiteral("FileNameEdit"))->text(),
                 packagePath_);
        QVERIFY(prompter_->Texts(PromptRecord::Error).isEmpty());
    }

    void replacementDuringARunReachesOnlyTheNextRun() {
        Build();
        hold_->Hold();
        StartButton()->click();
        QVERIFY(window_->RunGoing());
        hold_->WaitArrived();
        QVERIFY(ReplaceFile(packagePath_, replacement_));
        hold_->Release();
        QVERIFY(WaitRunEnded());
        // The run went on with the pages it was given at its start.
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(originalLine_->Report().pagesReceived, 6u);
        QCOMPARE(originalLine_->Report().pageMismatches, 0u);

        switch_.current = &replacementLine_->factory;
        prompter_->records.clear();
        StartAndWait();
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{kSuccess});
        QCOMPARE(replacementLine_->Report().pagesReceived, 3u);
        QCOMPARE(replacementLine_->Report().pageMismatches, 0u);
        QCOMPARE(window_->Package().pages.size(), size_t(3));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kvr::test::PaintOnOnePoolThread();
    WindowFaultsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowFaultsTest.moc"

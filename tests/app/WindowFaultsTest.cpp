// The window when files change or fail under it: the package file replaced while the window
// holds it (before a start, and during a run), and a settings file that cannot be saved when
// the window closes. Runs go against the in-process simulated device on a virtual clock.
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "AppGlobals.h"
#include "DeviceChannel.h"
#include "DeviceModel.h"
#include "FormProgFrm.h"
#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "PaintPool.h"
#include "Prompter.h"
#include "RunMessages.h"
#include "UpdateThread.h"
#include "VirtualClock.h"

using namespace kvr;
using namespace kvr::test;
using kvr::devsim::DeviceChannelFactory;
using kvr::devsim::DeviceModel;
using kvr::devsim::VirtualClock;

namespace {

const QString kCaption = QStringLiteral("KVRUplinker v1.0.14");
const QString kSettingsName = QStringLiteral("kvr-uplinker.ini");
// Set in the environment of the child that closes a window whose settings cannot be saved; its
// value is the folder to work in.
const char* const kSaveChildVariable = "KVR_FAULTS_SAVE_CHILD";

// Only guards against a hung test; nothing is measured.
constexpr int kHangGuardMs = 60'000;
constexpr int kServeSliceMs = 5;
// What the child's files may grow to: less than any settings text the window writes.
constexpr rlim_t kChildFileSizeLimitBytes = 16;

struct Prompt {
    enum Kind { Message, Question, Error, OpenDialog } kind;
    QString caption;
    QString text;
};

class RecordingPrompter final : public IPrompter {
public:
    void ShowMessage(QWidget*, const QString& caption, const QString& text) override {
        prompts.push_back({Prompt::Message, caption, text});
    }
    bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
        prompts.push_back({Prompt::Question, caption, text});
        return false;
    }
    void ShowError(QWidget*, const QString& caption, const QString& text) override {
        prompts.push_back({Prompt::Error, caption, text});
    }
    std::optional<QString> ChooseFile(QWidget*, const OpenDialogSetup& setup) override {
        prompts.push_back({Prompt::OpenDialog, setup.title, setup.fileName});
        return std::nullopt;
    }

    QStringList Texts(Prompt::Kind kind) const {
        QStringList out;
        for (const Prompt& p : prompts) {
            if (p.kind == kind)
                out << p.text;
        }
        return out;
    }

    std::vector<Prompt> prompts;
};

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

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Puts new bytes in the file's place the way a copy or an editor's save does: a new file
// renamed over the old one.
bool ReplaceFile(const QString& path, const QByteArray& bytes) {
    const QString fresh = path + QStringLiteral(".new");
    return WriteAll(fresh, bytes) &&
           ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()) == 0;
}

PageMap PagesOf(const QByteArray& file) {
    UpdatePackage package;
    QString error;
    return ParseUpdatePackage(file, package, error) ? package.pages : PageMap{};
}

QByteArray MakePackage(uint32_t pageCount, uint32_t seed, uint16_t hardwareVersion) {
    PackageOptions options;
    options.pageCount = pageCount;
    options.seed = seed;
    options.hardwareVersions = {hardwareVersion};
    return BuildPackage(options);
}

// --- the child: a window closed while its settings file cannot be written -------------------

// Builds the window over `folder`, changes the serial number, lowers the size its files may
// grow to below any settings text and closes the window as the entry point does: the event
// loop ends with the window, then the window is destroyed and saves. Prints every box shown as
// "kind<TAB>caption<TAB>text" lines and returns 0, as the program does.
int CloseWithUnwritableSettings(int argc, char** argv) {
    const QString folder = qEnvironmentVariable(kSaveChildVariable);
    QApplication app(argc, argv);
    PaintOnOnePoolThread();
    SetApplicationTitle(QString::fromLatin1(kInitialApplicationTitle));
    auto prompter = std::make_shared<RecordingPrompter>();
    FormDependencies deps;
    deps.settingsPath = QDir(folder).filePath(kSettingsName);
    deps.languagePath = QDir(folder).filePath(QStringLiteral("ru.lng"));
    deps.logPath = QDir(folder).filePath(QStringLiteral("log.txt"));
    deps.listPorts = [] {
        return std::vector<SerialPortEntry>{{"\\Device\\Serial0", "COM1"},
                                            {"\\Device\\Serial1", "COM2"}};
    };
    deps.prompter = prompter;
    {
        auto window = std::make_unique<TFormProgFrm>(deps);
        FormProgFrm = window.get();
        window->show();
        window->findChild<QLineEdit*>(QStringLiteral("SN"))->setText(QStringLiteral("777"));

        // As root, a folder's permission bits do not stop writes; a file size limit does.
        // Without SIGXFSZ the write that would pass it fails (EFBIG) instead of killing us.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, nullptr);
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        rlimit limited = unlimited;
        limited.rlim_cur = kChildFileSizeLimitBytes;
        if (::setrlimit(RLIMIT_FSIZE, &limited) != 0)
            return 3;

        QTimer::singleShot(0, window.get(), [&window] { window->close(); });
        app.exec();
        window.reset();
        FormProgFrm = nullptr;
        // Standard output may be a file.
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
    }
    for (const Prompt& p : prompter->prompts) {
        const QString line = QStringLiteral("%1\t%2\t%3\n").arg(p.kind).arg(p.caption, p.text);
        std::fputs(line.toUtf8().constData(), stdout);
    }
    return 0;
}

}  // namespace

class WindowFaultsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString packagePath_;
    QByteArray original_;
    QByteArray replacement_;
    std::shared_ptr<VirtualClock> clock_;
    // A device that expects the original package, one that expects the replacement.
    std::unique_ptr<DeviceModel> originalDevice_;
    std::unique_ptr<DeviceModel> replacementDevice_;
    std::unique_ptr<DeviceChannelFactory> originalChannels_;
    std::unique_ptr<DeviceChannelFactory> replacementChannels_;
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
        originalDevice_ =
            std::make_unique<DeviceModel>(devsim::DeviceOptions{}, PagesOf(original_), *clock_);
        replacementDevice_ =
            std::make_unique<DeviceModel>(devsim::DeviceOptions{}, PagesOf(replacement_), *clock_);
        originalChannels_ = std::make_unique<DeviceChannelFactory>(*originalDevice_, *clock_);
        replacementChannels_ = std::make_unique<DeviceChannelFactory>(*replacementDevice_, *clock_);
        switch_.current = originalChannels_.get();
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
        originalChannels_.reset();
        replacementChannels_.reset();
        originalDevice_.reset();
        replacementDevice_.reset();
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
        QCOMPARE(prompter_->Texts(Prompt::Message), QStringList{kSuccess});
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
            switch_.current = replacementChannels_.get();
        prompter_->prompts.clear();
        StartAndWait();

        const QStringList shown = prompter_->Texts(Prompt::Message);
        if (loads) {
            QCOMPARE(shown, QStringList{kSuccess});
            QCOMPARE(window_->Package().pages.size(), size_t(3));
            QCOMPARE(FirstHardwareLine(), QStringLiteral("17.2.7"));
            QCOMPARE(replacementDevice_->Report().updatesCompleted, 1u);
            QCOMPARE(replacementDevice_->Report().pageMismatches, 0u);
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
            QCOMPARE(originalDevice_->Report().updatesCompleted, 2u);
            QCOMPARE(originalDevice_->Report().pageMismatches, 0u);
            QCOMPARE(replacementDevice_->Report().framesHandled, 0u);
        }
        // The caption names the file that was read, whatever came of it.
        QCOMPARE(window_->windowTitle(), kCaption + QStringLiteral(" - 'update.bsk'"));
        QCOMPARE(window_->findChild<QLineEdit*>(QStringLiteral("FileNameEdit"))->text(),
                 packagePath_);
        QVERIFY(prompter_->Texts(Prompt::Error).isEmpty());
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
        QCOMPARE(prompter_->Texts(Prompt::Message), QStringList{kSuccess});
        QCOMPARE(originalDevice_->Report().pagesReceived, 6u);
        QCOMPARE(originalDevice_->Report().pageMismatches, 0u);

        switch_.current = replacementChannels_.get();
        prompter_->prompts.clear();
        StartAndWait();
        QCOMPARE(prompter_->Texts(Prompt::Message), QStringList{kSuccess});
        QCOMPARE(replacementDevice_->Report().pagesReceived, 3u);
        QCOMPARE(replacementDevice_->Report().pageMismatches, 0u);
        QCOMPARE(window_->Package().pages.size(), size_t(3));
    }

    void unsavableSettingsAreReportedAndThePreviousFileKept() {
        const QByteArray previous("[Common]\r\nPortIndex=1\r\nFileName=\r\nSN=5\r\nHW=2\r\n\r\n");
        QVERIFY(WriteAll(SettingsPath(), previous));

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kSaveChildVariable), dir_->path());
        child.setProcessEnvironment(environment);
        // Its diagnostics (a sanitizer's report among them) belong in this test's output.
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{});
        QVERIFY(child.waitForStarted(kHangGuardMs));
        if (!child.waitForFinished(kHangGuardMs)) {
            child.kill();
            child.waitForFinished(kHangGuardMs);
            QFAIL("the program did not end after its window closed");
        }
        // The program ended normally, as always with 0.
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);

        // One box, the standard exception display with the save error.
        const QStringList shown =
            QString::fromUtf8(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(shown.size(), 1);
        const QStringList parts = shown[0].split(u'\t');
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts[0].toInt(), int(Prompt::Error));
        QCOMPARE(parts[1], kCaption);
        // The reason is the system's: the file may not grow that large.
        QCOMPARE(parts[2], QStringLiteral("Cannot create file \"%1\". %2.")
                               .arg(SettingsPath(), QString::fromLocal8Bit(std::strerror(EFBIG))));

        // The previous file is whole and nothing half-written is left beside it.
        QCOMPARE(ReadAll(SettingsPath()), previous);
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{kSettingsName});
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet(kSaveChildVariable))
        return CloseWithUnwritableSettings(argc, argv);
    QApplication app(argc, argv);
    kvr::test::PaintOnOnePoolThread();
    WindowFaultsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowFaultsTest.moc"

// A window closed while its settings file cannot be written (POSIX: a child process with a
// file size limit below any settings text): the save error is shown once, the program still
// ends normally, and the previous file stays whole.
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "AppGlobals.h"
#include "FormProgFrm.h"
#include "PaintPool.h"
#include "RecordingPrompter.h"
#include "TestFiles.h"

using namespace kvr;
using namespace kvr::test;

namespace {

const QString kCaption = QStringLiteral("KVRUplinker v1.0.14");
const QString kSettingsName = QStringLiteral("kvr-uplinker.ini");
// Set in the environment of the child that closes a window whose settings cannot be saved; its
// value is the folder to work in.
const char* const kSaveChildVariable = "KVR_FAULTS_SAVE_CHILD";

// Only guards against a hung test; nothing is measured.
constexpr int kHangGuardMs = 60'000;
// What the child's files may grow to: less than any settings text the window writes.
constexpr rlim_t kChildFileSizeLimitBytes = 16;

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
    for (const PromptRecord& p : prompter->records) {
        const QString line = QStringLiteral("%1\t%2\t%3\n").arg(p.kind).arg(p.caption, p.text);
        std::fputs(line.toUtf8().constData(), stdout);
    }
    return 0;
}

}  // namespace

class WindowSaveFaultTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;

    QString SettingsPath() const { return dir_->filePath(kSettingsName); }

private slots:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }

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
        QCOMPARE(parts[0].toInt(), int(PromptRecord::Error));
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
    WindowSaveFaultTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowSaveFaultTest.moc"

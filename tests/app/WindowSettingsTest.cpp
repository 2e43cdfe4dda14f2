// Restoring and saving the settings file, the port list, and the language file's life.
#include <QDir>
#include <QSysInfo>
#include <QTest>

#include "Exception.h"
#include "MemIniFile.h"
#include "QtTestMain.h"
#include "Translate.h"
#include "WindowTestSupport.h"

using namespace kvr;
using namespace kvr::test;

class WindowSettingsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::shared_ptr<RecordingPrompter> prompter_;
    int ports_ = 2;

    QString SettingsPath() const { return dir_->filePath(QStringLiteral("kvr-uplinker.ini")); }
    QString LanguagePath() const { return dir_->filePath(QStringLiteral("ru.lng")); }

    FormDependencies Deps() {
        FormDependencies deps;
        deps.settingsPath = SettingsPath();
        deps.languagePath = LanguagePath();
        deps.listPorts = [this] { return MakePorts(ports_); };
        deps.prompter = prompter_;
        return deps;
    }
    std::unique_ptr<TFormProgFrm> MakeWindow() { return std::make_unique<TFormProgFrm>(Deps()); }
    QComboBox* Ports(TFormProgFrm* w) { return Find<QComboBox>(w, "ComboBox1"); }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        prompter_ = std::make_shared<RecordingPrompter>();
        ports_ = 2;
        SetModes(false, false);
    }

    void firstStartUsesDefaultsAndWritesKeysInOrder() {
        ports_ = 3;
        {
            auto window = MakeWindow();
            QCOMPARE(Ports(window.get())->count(), 3);
            QCOMPARE(Ports(window.get())->currentIndex(), 0);
            QCOMPARE(Ports(window.get())->currentText(), QStringLiteral("COM1"));
            QCOMPARE(Find<QLineEdit>(window.get(), "SN")->text(), QStringLiteral("0"));
            QCOMPARE(Find<QLineEdit>(window.get(), "HWEdit")->text(), QStringLiteral("0"));
            QVERIFY(Find<QLineEdit>(window.get(), "FileNameEdit")->text().isEmpty());
            QVERIFY(Find<QListWidget>(window.get(), "CLMemo")->count() == 0);
            QVERIFY(!QFile::exists(SettingsPath()));
        }
        QCOMPARE(QString::fromLatin1(ReadAll(SettingsPath())),
                 QStringLiteral("[Common]\r\nPortIndex=0\r\nFileName=\r\nSN=0\r\nHW=0\r\n\r\n"));
        QVERIFY(prompter_->records.empty());
    }

    void storedValuesComeBackAndGoOutAgain() {
        QVERIFY(WriteAll(SettingsPath(),
                         "[Common]\r\nPortIndex=1\r\nSN=00012345\r\nHW=7\r\n"
                         "FileName=/no/such/dir/pkg.bsk\r\n"));
        {
            auto window = MakeWindow();
            QCOMPARE(Ports(window.get())->currentIndex(), 1);
            QCOMPARE(Find<QLineEdit>(window.get(), "SN")->text(), QStringLiteral("00012345"));
            QCOMPARE(Find<QLineEdit>(window.get(), "HWEdit")->text(), QStringLiteral("7"));
            QCOMPARE(Find<QLineEdit>(window.get(), "FileNameEdit")->text(),
                     QStringLiteral("/no/such/dir/pkg.bsk"));
            QCOMPARE(window->OpenDialogFileName(), QStringLiteral("/no/such/dir/pkg.bsk"));
            // The constructor does not read the package.
            QVERIFY(window->Package().pages.empty());
            QVERIFY(prompter_->records.empty());
            Find<QLineEdit>(window.get(), "SN")->setText(QStringLiteral("42"));
            Ports(window.get())->setCurrentIndex(0);
        }
        TMemIniFile saved(SettingsPath());
        QCOMPARE(saved.ReadInteger("Common", "PortIndex", -9), 0);
        QCOMPARE(saved.ReadString("Common", "SN", ""), QStringLiteral("42"));
        QCOMPARE(saved.ReadString("Common", "HW", ""), QStringLiteral("7"));
        QCOMPARE(saved.ReadString("Common", "FileName", ""),
                 QStringLiteral("/no/such/dir/pkg.bsk"));
        // Existing keys are rewritten in place.
        QCOMPARE(saved.ReadSection("Common"), (QStringList{"PortIndex", "SN", "HW", "FileName"}));
    }

    void portIndexRestoresOnlyTheFirstFour_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("ports");
        QTest::addColumn<int>("selected");
        QTest::newRow("3 of 4") << QByteArray("3") << 4 << 3;
        QTest::newRow("3 of 2") << QByteArray("3") << 2 << -1;
        QTest::newRow("2 of 2") << QByteArray("2") << 2 << -1;
        QTest::newRow("4 of 6") << QByteArray("4") << 6 << -1;
        QTest::newRow("5 of 6") << QByteArray("5") << 6 << -1;
        QTest::newRow("-1") << QByteArray("-1") << 3 << -1;
        QTest::newRow("no number") << QByteArray("first") << 3 << 0;
        QTest::newRow("empty") << QByteArray("") << 3 << 0;
        QTest::newRow("hex") << QByteArray("$2") << 3 << 2;
        QTest::newRow("0x") << QByteArray("0x1") << 3 << 1;
        QTest::newRow("0 without ports") << QByteArray("0") << 0 << -1;
    }
    void portIndexRestoresOnlyTheFirstFour() {
        QFETCH(QByteArray, stored);
        QFETCH(int, ports);
        QFETCH(int, selected);
        ports_ = ports;
        QVERIFY(WriteAll(SettingsPath(), "[Common]\r\nPortIndex=" + stored + "\r\n"));
        auto window = MakeWindow();
        QCOMPARE(Ports(window.get())->currentIndex(), selected);
    }

    void noSelectionIsSavedAsMinusOneAndStaysUnselected() {
        {
            auto window = MakeWindow();
            Ports(window.get())->setCurrentIndex(-1);
        }
        TMemIniFile saved(SettingsPath());
        QCOMPARE(saved.ReadInteger("Common", "PortIndex", 0), -1);
        auto window = MakeWindow();
        QCOMPARE(Ports(window.get())->currentIndex(), -1);
        QVERIFY(Ports(window.get())->currentText().isEmpty());
    }

    void commentsGoAndOtherSectionsStay() {
        QVERIFY(WriteAll(SettingsPath(),
                         "; made by hand\r\n[Other]\r\nKey=Value\r\n\r\n"
                         "[common]\r\n; the port\r\nportindex=1\r\nExtra=1\r\n"));
        { auto window = MakeWindow(); }
        const QString text = QString::fromLatin1(ReadAll(SettingsPath()));
        QVERIFY2(!text.contains(u';'), qPrintable(text));
        QVERIFY2(text.startsWith(QStringLiteral("[Other]\r\nKey=Value\r\n\r\n[common]\r\n")),
                 qPrintable(text));
        TMemIniFile saved(SettingsPath());
        QCOMPARE(saved.ReadSections(), (QStringList{"Other", "common"}));
        QCOMPARE(saved.ReadString("Other", "Key", ""), QStringLiteral("Value"));
        QCOMPARE(saved.ReadString("Common", "Extra", ""), QStringLiteral("1"));
        QCOMPARE(saved.ReadInteger("Common", "PortIndex", -9), 1);
        QCOMPARE(saved.ReadSection("Common").size(), 5);
    }

    void cyrillicFileNameSurvivesTheRoundTrip() {
        const QString name = QStringLiteral("/тмп/прошивка №1.bsk");
        {
            auto window = MakeWindow();
            Find<QLineEdit>(window.get(), "FileNameEdit")->setText(name);
        }
        auto window = MakeWindow();
        QCOMPARE(Find<QLineEdit>(window.get(), "FileNameEdit")->text(), name);
    }

    void unreadableSettingsFileFailsConstruction() {
        QVERIFY(QDir().mkpath(SettingsPath()));  // a folder where the file should be
        QVERIFY_THROWS_EXCEPTION(kvr::Exception, MakeWindow());
    }

    void unreadableLanguageFileFailsConstruction() {
        QVERIFY(QDir().mkpath(LanguagePath()));
        QVERIFY_THROWS_EXCEPTION(kvr::Exception, MakeWindow());
    }

    void saveErrorIsShownAndTheOldFileKept() {
        QVERIFY(WriteAll(SettingsPath(), "[Common]\r\nSN=5\r\n"));
        {
            auto window = MakeWindow();
            Find<QLineEdit>(window.get(), "SN")->setText(QStringLiteral("6"));
            QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::ExeOwner);
        }
        QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (prompter_->Count(PromptRecord::Error) == 0) {
            QSKIP("the folder stayed writable (running as root)");
        }
        QCOMPARE(prompter_->Count(PromptRecord::Error), 1);
        QCOMPARE(prompter_->records.front().caption, QStringLiteral("KVRUplinker v1.0.14"));
        QVERIFY(!prompter_->records.front().text.isEmpty());
        QCOMPARE(ReadAll(SettingsPath()), QByteArray("[Common]\r\nSN=5\r\n"));
    }

    void saveErrorOfAFolderInTheWayIsShown() {
        // Works as root too: the settings path names a file inside a plain file.
        QVERIFY(WriteAll(dir_->filePath("blocker"), "x"));
        FormDependencies deps = Deps();
        deps.settingsPath = dir_->filePath(QStringLiteral("blocker/kvr-uplinker.ini"));
        { TFormProgFrm window(deps); }
        QCOMPARE(prompter_->Count(PromptRecord::Error), 1);
        QVERIFY(prompter_->Texts(PromptRecord::Error).front().endsWith(u'.'));
        QCOMPARE(ReadAll(dir_->filePath("blocker")), QByteArray("x"));
    }

    void languageFileLivesAsLongAsTheWindow() {
        QVERIFY(
            WriteAll(LanguagePath(), QStringLiteral("[ru]\r\nОшибка CRC!=CRC error\r\n").toUtf8()));
        {
            auto window = MakeWindow();
            QCOMPARE(Translate(QStringLiteral("Ошибка CRC! ")), QStringLiteral("CRC error"));
        }
        QCOMPARE(Translate(QStringLiteral("Ошибка CRC! ")), QStringLiteral("Ошибка CRC!"));
    }

    void portListShowsPortNamesAndHidesDeviceNames() {
        auto window = MakeWindow();
        auto* hidden = Find<QComboBox>(window.get(), "PortNameCombo");
        QCOMPARE(hidden->count(), 2);
        QCOMPARE(hidden->itemText(1), QStringLiteral("\\Device\\Serial1"));
        QCOMPARE(Ports(window.get())->itemText(0), QStringLiteral("COM1"));
        QCOMPARE(Ports(window.get())->itemText(1), QStringLiteral("COM2"));
    }

    void portListFailureFailsConstruction() {
        FormDependencies deps = Deps();
        deps.listPorts = []() -> std::vector<SerialPortEntry> {
            throw kvr::Exception("Invalid data type for 'Serial0'");
        };
        QVERIFY_THROWS_EXCEPTION(kvr::Exception, TFormProgFrm{deps});
    }

    void extraPortsFromTheEnvironmentComeLastInOrder() {
        if (QSysInfo::kernelType() == QLatin1String("winnt"))
            QSKIP("Windows lists the registry's ports only");
        const QByteArray old = qgetenv("KVR_UPLINKER_PORTS");
        qputenv("KVR_UPLINKER_PORTS", "/tmp/kvr-pty-b:/tmp/kvr-pty-a");
        FormDependencies deps = Deps();
        deps.listPorts = nullptr;  // the system's list
        auto window = std::make_unique<TFormProgFrm>(deps);
        qputenv("KVR_UPLINKER_PORTS", old);
        auto* combo = Ports(window.get());
        QVERIFY(combo->count() >= 2);
        QCOMPARE(combo->itemText(combo->count() - 2), QStringLiteral("/tmp/kvr-pty-b"));
        QCOMPARE(combo->itemText(combo->count() - 1), QStringLiteral("/tmp/kvr-pty-a"));
        QCOMPARE(Find<QComboBox>(window.get(), "PortNameCombo")->count(), combo->count());
    }
};

KVR_QTEST_MAIN(WindowSettingsTest)
#include "WindowSettingsTest.moc"

// Opening a package from the window: the dialog, the lists, the caption, the indicators and a
// failed load that keeps the previous package.
#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include "PackageBuilder.h"
#include "QtTestMain.h"
#include "WindowTestSupport.h"

using namespace kvr;
using namespace kvr::test;

namespace {
const QString kChanged = QStringLiteral("Неправильный формат файла. Указанный файл был изменен.");
}

class WindowPackageTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::shared_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<TFormProgFrm> window_;

    QString Path(const QString& name) const { return dir_->filePath(name); }
    QString WritePackage(const QString& name, const PackageOptions& options) {
        const QString path = Path(name);
        if (!WriteAll(path, BuildPackage(options)))
            return {};
        return path;
    }
    QStringList Lines(const char* listName) {
        QStringList out;
        auto* list = Find<QListWidget>(window_.get(), listName);
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
    void Open(const std::optional<QString>& answer) {
        prompter_->fileAnswers.push_back(answer);
        QTest::mouseClick(Find<QToolButton>(window_.get(), "ToolButton1"), Qt::LeftButton);
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        prompter_ = std::make_shared<RecordingPrompter>();
        SetModes(false, false);
        QVERIFY(WriteAll(Path("ru.lng"), (QStringLiteral("[ru]\r\n") + kChanged +
                                          QStringLiteral("=Changed file\r\n"))
                                             .toUtf8()));
        FormDependencies deps;
        deps.settingsPath = Path("kvr-uplinker.ini");
        deps.languagePath = Path("ru.lng");
        deps.listPorts = [] { return MakePorts(1); };
        deps.prompter = prompter_;
        window_ = std::make_unique<TFormProgFrm>(deps);
    }
    void cleanup() { window_.reset(); }

    void openedPackageFillsTheWindow() {
        PackageOptions options;
        options.pageCount = 4;
        options.hwPrefixMajor = 17;
        options.hwPrefixMinor = 2;
        options.hardwareVersions = {9, 10, 1};
        options.programVersions = {0x1203, 0x10A5, 0xFFFF, 0x0000};
        const QString path = WritePackage("first.bsk", options);
        QSignalSpy progress(Find<QProgressBar>(window_.get(), "ProgressBar1"),
                            &QProgressBar::valueChanged);
        Open(path);

        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
        QCOMPARE(Lines("CLMemo"), (QStringList{"17.2.1", "17.2.10", "17.2.9"}));
        QCOMPARE(Lines("SCLMemo"), (QStringList{"0.0.0.0", "1.0.10.5", "1.2.0.3", "15.15.15.15"}));
        QCOMPARE(Find<QLineEdit>(window_.get(), "FileNameEdit")->text(),
                 QDir::toNativeSeparators(path));
        QCOMPARE(window_->windowTitle(), QStringLiteral("KVRUplinker v1.0.14 - 'first.bsk'"));
        QCOMPARE(window_->Package().pages.size(), size_t(4));
        QCOMPARE(window_->Package().pageSize, 256u);
        // The bar shows the share of pages read and returns to 0.
        QList<int> seen;
        for (const auto& args : progress)
            seen << args.at(0).toInt();
        QCOMPARE(seen, (QList<int>{25, 50, 75, 0}));

        const OpenDialogSetup& dialog = *prompter_->lastDialog;
        QCOMPARE(dialog.title, QStringLiteral("Select the file"));
        QCOMPARE(dialog.nameFilter, QStringLiteral("Uplinker files (*.bsk)"));
        QCOMPARE(dialog.defaultSuffix, QStringLiteral("BSK"));
        QVERIFY(dialog.fileName.isEmpty());

        // The next dialog offers the file picked last.
        Open(std::nullopt);
        QCOMPARE(prompter_->lastDialog->fileName, QDir::toNativeSeparators(path));
    }

    // The dialog answers with '/' everywhere; the window and the settings keep the system's
    // own separators (C:\… on Windows).
    void pickedFileIsShownWithTheSystemsSeparators() {
        const QString path = WritePackage("picked.bsk", PackageOptions{});
        Open(QDir::fromNativeSeparators(path));
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
        const QString shown = Find<QLineEdit>(window_.get(), "FileNameEdit")->text();
        QCOMPARE(shown, QDir::toNativeSeparators(path));
        QVERIFY(QDir::separator() == u'/' || !shown.contains(u'/'));
    }

    void failedLoadKeepsThePreviousPackage() {
        PackageOptions options;
        options.hardwareVersions = {3};
        const QString good = WritePackage("good.bsk", options);
        Open(good);
        QByteArray broken = BuildPackage(options);
        broken[broken.size() - 1] = char(broken.back() ^ 0x5A);
        QVERIFY(WriteAll(Path("broken.bsk"), broken));
        window_->SetHardwareCheckDisabled(true);
        window_->SetProgramCheckDisabled(true);

        Open(Path("broken.bsk"));
        // The loader's text goes through the language file.
        QCOMPARE(prompter_->Texts(PromptRecord::Message), QStringList{"Changed file"});
        QCOMPARE(prompter_->records.back().caption, QStringLiteral("KVRUplinker v1.0.14"));
        QCOMPARE(Lines("CLMemo"), QStringList{"17.2.3"});
        QCOMPARE(Find<QLineEdit>(window_.get(), "FileNameEdit")->text(),
                 QDir::toNativeSeparators(good));
        QCOMPARE(window_->Package().pages.size(), size_t(4));
        QCOMPARE(window_->windowTitle(), QStringLiteral("KVRUplinker v1.0.14 - 'broken.bsk'"));
        // Both indicators are cleared whether or not the load succeeded.
        QVERIFY(!window_->HardwareCheckDisabled());
        QVERIFY(!window_->ProgramCheckDisabled());
        QVERIFY(Find<QLabel>(window_.get(), "Label4")->isHidden());
        QVERIFY(Find<QLabel>(window_.get(), "Label8")->isHidden());
    }

    void missingFileShowsTheUntranslatedOpenError() {
        Open(Path("gone.bsk"));
        const QStringList texts = prompter_->Texts(PromptRecord::Message);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts.front().startsWith(QStringLiteral("Cannot open file \"") +
                                          QDir::toNativeSeparators(Path("gone.bsk"))),
                 qPrintable(texts.front()));
        QVERIFY(window_->Package().pages.empty());
    }

    void cancelledDialogChangesNothing() {
        window_->SetHardwareCheckDisabled(true);
        window_->SetProgramCheckDisabled(false);
        const QString title = window_->windowTitle();
        Open(std::nullopt);
        QCOMPARE(prompter_->Count(PromptRecord::OpenDialog), 1);
        QVERIFY(window_->HardwareCheckDisabled());
        QVERIFY(!Find<QLabel>(window_.get(), "Label4")->isHidden());
        QVERIFY(Find<QLabel>(window_.get(), "Label8")->isHidden());
        QCOMPARE(window_->windowTitle(), title);
        QCOMPARE(prompter_->Count(PromptRecord::Message), 0);
    }

    void reloadingTheSameFileGivesTheSameState() {
        PackageOptions options;
        options.hardwareVersions = {4, 5};
        const QString path = WritePackage("same.bsk", options);
        Open(path);
        const QStringList first = Lines("CLMemo");
        Open(path);
        QCOMPARE(Lines("CLMemo"), first);
        QCOMPARE(window_->Package().hardwareVersions, (std::vector<uint16_t>{4, 5}));
    }
};

KVR_QTEST_MAIN(WindowPackageTest)
#include "WindowPackageTest.moc"

#include "FormProgFrm.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include "ActionBinding.h"
#include "AppGlobals.h"
#include "AppPaths.h"
#include "DevicePicture.h"
#include "DigitsValidator.h"
#include "ExceptionDisplay.h"
#include "Fonts.h"
#include "HandOver.h"
#include "MemIniFile.h"
#include "OffThread.h"
#include "PackageLoader.h"
#include "PackageRun.h"
#include "ProductionRun.h"
#include "Record.h"
#include "RecordUrl.h"
#include "RecordedStation.h"
#include "SerialChannel.h"
#include "StationLedger.h"
#include "StrToInt.h"
#include "Translate.h"
#include "UpdateThread.h"
#include "ui_FormProgFrm.h"

namespace kvr {

namespace {

QString Key(const char* name) {
    return QString::fromLatin1(name);
}

}  // namespace

TFormProgFrm::TFormProgFrm(FormDependencies dependencies, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::TFormProgFrm>()),
      deps_(std::move(dependencies)) {
    if (deps_.settingsPath.isEmpty())
        deps_.settingsPath = SettingsFilePath();
    if (deps_.languagePath.isEmpty())
        deps_.languagePath = LanguageFilePath(QStringLiteral("ru"));
    if (deps_.logPath.isEmpty())
        deps_.logPath = UpdateLogPath();
    if (!deps_.listPorts)
        deps_.listPorts = EnumerateSerialPorts;
    if (!deps_.prompter)
        deps_.prompter = std::make_shared<QtPrompter>();
    if (!deps_.channels)
        deps_.channels = std::make_shared<SerialChannelFactory>();
    if (!deps_.clock)
        deps_.clock = std::make_shared<SystemClock>();

    // The form from its layout; the package starts empty.
    ui_->setupUi(this);
    ApplyLayoutFonts(this);
    setWindowIcon(DeviceIcon());
    ui_->Image1->setPixmap(QPixmap::fromImage(PaintDevicePicture()));
    ui_->ActionOpenFile->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    ui_->ToolButton1->setIcon(ui_->ActionOpenFile->icon());
    ui_->SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
    ui_->SpeedButton2->setIcon(style()->standardIcon(QStyle::SP_DialogApplyButton));
    // Five blanks: uic drops a caption made of white space only.
    ui_->SpeedButton2->setText(QStringLiteral("     "));
    ui_->SN->setValidator(new DigitsValidator(kSerialNumberMaxTypedChars, ui_->SN));
    ui_->HWEdit->setValidator(new DigitsValidator(kHardwareMaxTypedChars, ui_->HWEdit));
    handOver_ = std::make_unique<TRunHandOver>(*this);

    connect(ui_->ActionStart, &QAction::triggered, this, [this] { ActionProgramExecute(); });
    connect(ui_->ActionStop, &QAction::triggered, this, [this] { ActionProgramStop(); });
    connect(ui_->ActionOpenFile, &QAction::triggered, this, [this] { ActionOpenFileExecute(); });
    connect(ui_->SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(ui_->SpeedButton2, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    startBinding_ = new ActionBinding(
        ui_->ActionStart, ui_->BitBtn1, [this] { ExecuteAction(ui_->ActionStart); }, this);
    openFileBinding_ = new ActionBinding(
        ui_->ActionOpenFile, ui_->ToolButton1, [this] { ExecuteAction(ui_->ActionOpenFile); },
        this);
    // The actions' update handlers run whenever the application becomes idle.
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { ActionOpenFileUpdate(); });
    }

    // The S/N panel and the Start button's own state follow the mode; ActionStart itself
    // stays enabled, and the button takes it over only once the two agree.
    ui_->Panel2->setVisible(TechnologyMode);
    // The S/N panel's margins would keep their space with the panel hidden.
    if (!TechnologyMode)
        ui_->Panel2Margins->setContentsMargins(0, 0, 0, 0);
    ui_->BitBtn1->setEnabled(!TechnologyMode);

    // Language file, ports, then the remembered choices.
    OpenLanguageFile(deps_.languagePath);
    FillPortList(ui_->ComboBox1);
    settingsFile_ = std::make_unique<TMemIniFile>(deps_.settingsPath);
    RestoreSettings();
    recordUrl_ =
        settingsFile_->ReadString(Key(kRecordSection), Key(kKeyRecordUrl), QString()).trimmed();

    FormCaption();

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

TFormProgFrm::~TFormProgFrm() {
    package_ = UpdatePackage();
    FormDestroy();
}

// ---- Settings and start-up -------------------------------------------------------------

void TFormProgFrm::FillPortList(QComboBox* target) {
    target->clear();
    const std::vector<SerialPortEntry> ports = deps_.listPorts();
    ui_->PortNameCombo->clear();
    for (const SerialPortEntry& port : ports) {
        ui_->PortNameCombo->addItem(QString::fromStdString(port.deviceName));
    }
    for (const SerialPortEntry& port : ports) {
        target->addItem(QString::fromStdString(port.portName));
    }
    // Qt selects the first item added; the window starts with none until the settings say.
    target->setCurrentIndex(-1);
}

void TFormProgFrm::RestoreSettings() {
    const QString section = Key(kSettingsSection);
    const int portIndex = settingsFile_->ReadInteger(section, Key(kKeyPortIndex), 0);
    if (portIndex >= 0 && portIndex < kRestorablePortIndices &&
        portIndex < ui_->ComboBox1->count()) {
        ui_->ComboBox1->setCurrentIndex(portIndex);
    }
    ui_->SN->setText(
        settingsFile_->ReadString(section, Key(kKeySerialNumber), QStringLiteral("0")));
    ui_->HWEdit->setText(
        settingsFile_->ReadString(section, Key(kKeyHardware), QStringLiteral("0")));
    ui_->FileNameEdit->setText(settingsFile_->ReadString(section, Key(kKeyFileName), QString()));
    openDialogFileName_ = ui_->FileNameEdit->text();
}

void TFormProgFrm::FormCaption() {
    QString caption = QStringLiteral("KVRUplinker v") + QString::fromLatin1(kAppVersion);
    if (BootAllMode)
        caption += QStringLiteral(" BootAll");
    if (TechnologyMode)
        caption += QStringLiteral(" Technology mode");
    setWindowTitle(caption);
    SetApplicationTitle(caption);
}

void TFormProgFrm::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    if (updateThread_) {
        // Last resort (the application quit while a run went on): nobody is left to answer
        // the run's boxes, so the hand-over answers on its own from now on.
        if (updateThread_->isRunning())
            handOver_->Shutdown();
        ReleaseUpdateThread();
    }
    ReleaseLanguageFile();
    try {
        SaveSettings();
    } catch (...) {
        ShowException(std::current_exception());
    }
    settingsFile_.reset();
}

void TFormProgFrm::SaveSettings() {
    const QString section = Key(kSettingsSection);
    settingsFile_->WriteInteger(section, Key(kKeyPortIndex), ui_->ComboBox1->currentIndex());
    settingsFile_->WriteString(section, Key(kKeyFileName), ui_->FileNameEdit->text());
    settingsFile_->WriteString(section, Key(kKeySerialNumber), ui_->SN->text());
    settingsFile_->WriteString(section, Key(kKeyHardware), ui_->HWEdit->text());
    settingsFile_->UpdateFile();
}

// ---- Package -----------------------------------------------------------------------------

bool TFormProgFrm::LoadUpdatePackage() {
    const QString fileName = openDialogFileName_;
    setWindowTitle(ApplicationTitle() + QStringLiteral(" - '") + QFileInfo(fileName).fileName() +
                   QStringLiteral("'"));

    UpdatePackage loaded;
    QString error;
    const bool ok = LoadUpdatePackageFile(fileName, loaded, error, [this](int percent) {
        ui_->ProgressBar1->setMaximum(kProgressMaximum);
        ui_->ProgressBar1->setValue(percent);
    });
    if (!ok) {
        deps_.prompter->ShowMessage(this, ApplicationTitle(), error);
        return false;
    }
    package_ = std::move(loaded);
    ui_->FileNameEdit->setText(fileName);
    ui_->CLMemo->clear();
    for (uint16_t version : package_.hardwareVersions) {
        ui_->CLMemo->addItem(
            FormatHardwareVersionText(package_.hwPrefixMajor, package_.hwPrefixMinor, version));
    }
    ui_->SCLMemo->clear();
    for (uint16_t version : package_.programVersions) {
        ui_->SCLMemo->addItem(FormatProgramVersionText(version));
    }
    ui_->ProgressBar1->setMaximum(kProgressMaximum);
    ui_->ProgressBar1->setValue(0);
    return true;
}

void TFormProgFrm::SetHardwareCheckDisabled(bool disabled) {
    hardwareCheckDisabled_ = disabled;
    ui_->Label4->setVisible(disabled);
}

void TFormProgFrm::SetProgramCheckDisabled(bool disabled) {
    programCheckDisabled_ = disabled;
    ui_->Label8->setVisible(disabled);
}

// ---- Actions and buttons -----------------------------------------------------------------

void TFormProgFrm::ExecuteAction(QAction* action) {
    if (action == ui_->ActionOpenFile)
        ActionOpenFileUpdate();
    if (action->isEnabled())
        action->trigger();
}

void TFormProgFrm::ActionProgramExecute() {
    Guarded([this] { StartUpdateRun(); });
}

void TFormProgFrm::ActionProgramStop() {
    Guarded([this] { ui_->ActionStart->setEnabled(true); });
}

void TFormProgFrm::ActionOpenFileExecute() {
    Guarded([this] {
        OpenDialogSetup setup;
        setup.title = QString::fromLatin1(kOpenDialogTitle);
        setup.nameFilter = QString::fromLatin1(kOpenDialogFilter);
        setup.defaultSuffix = QString::fromLatin1(kOpenDialogDefaultSuffix);
        setup.fileName = openDialogFileName_;
        const std::optional<QString> chosen = deps_.prompter->ChooseFile(this, setup);
        if (!chosen)
            return;
        // The dialog answers with '/' on every system; the operator reads and the settings
        // keep the system's own form (C:\\…).
        openDialogFileName_ = QDir::toNativeSeparators(*chosen);
        LoadUpdatePackage();
        SetProgramCheckDisabled(false);
        SetHardwareCheckDisabled(false);
    });
}

void TFormProgFrm::ActionOpenFileUpdate() {
    ui_->ActionOpenFile->setEnabled(ui_->ActionStart->isEnabled());
}

void TFormProgFrm::SpeedButton2Click() {
    Guarded([this] { StartUpdateRun(); });
}

void TFormProgFrm::SpeedButton1Click() {
    Guarded([this] {
        // Refused before the increment: the number only grows with a start that is accepted.
        if (RunGoing()) {
            QApplication::beep();
            return;
        }
        const int current = StrToInt(ui_->SN->text());
        // Widened so that the largest 32-bit number never wraps to a negative one; the next
        // press then reports the text as no valid integer.
        ui_->SN->setText(QString::number(int64_t(current) + 1));
        StartUpdateRun();
    });
}

// ---- Runs -------------------------------------------------------------------------------

bool TFormProgFrm::RunGoing() const {
    return updateThread_ && updateThread_->isRunning();
}

void TFormProgFrm::StartUpdateRun() {
    // One run at a time: a second would fight over the port and the progress bar, and ending
    // the first could cut a firmware write.
    if (RunGoing()) {
        QApplication::beep();
        return;
    }
    if (!QFileInfo::exists(ui_->FileNameEdit->text())) {
        ExecuteAction(ui_->ActionOpenFile);
    } else {
        LoadUpdatePackage();
    }
    // A run without pages could never end: every page the device asks for would count as
    // taken without being sent.
    if (package_.pages.empty())
        return;
    const QString portName = ui_->ComboBox1->currentText();
    // The previous run's row is completed before the next one opens.
    ReleaseUpdateThread();
    if (!recordUrl_.isEmpty() && !OpenRecordRun(portName))
        return;

    ui_->ActionStart->setEnabled(false);
    PageMap pages = package_.pages;

    RunOptions options;
    options.bootAllMode = BootAllMode;
    options.technologyMode = TechnologyMode;
    options.logPath = deps_.logPath;
    options.serialNumberRequired = !recordRunId_.isEmpty();
    try {
        updateThread_ = std::make_unique<TUpdateThread>(portName, std::move(pages), options,
                                                        *deps_.channels, *deps_.clock, *handOver_);
    } catch (...) {
        // No run will ever enable Start again; leaving it disabled would lock the window.
        ui_->ActionStart->setEnabled(true);
        if (!recordRunId_.isEmpty()) {
            // The row says the run never began rather than staying open like a crash.
            const station::RunResult never;  // not started
            QString ignored;                 // the error that stopped the run is the one to show
            ledger_->CloseRun(0, never, ignored);
            recordRunId_.clear();
        }
        throw;
    }
    ui_->ProgressBar1->setValue(0);
    updateThread_->start();
}

void TFormProgFrm::ReleaseUpdateThread() {
    if (!updateThread_)
        return;
    updateThread_->requestInterruption();
    handOver_->WaitServing(*updateThread_);
    CloseRecordRun(destroyed_);
    updateThread_.reset();
}

bool TFormProgFrm::OpenRecord() {
    if (record_)
        return true;
    QString error;
    bool usage = false;
    // "sqlite:records.sqlite" lies beside the settings file, wherever the window was started from.
    // Opened off this thread: a server that does not answer must not freeze the window.
    const QString folder = QFileInfo(deps_.settingsPath).absolutePath();
    station::RunOffThisThread([&] {
        record_ = station::OpenNamedRecord(recordUrl_, folder, deps_.logPath, error, usage);
    });
    if (record_) {
        try {
            ledger_ = std::make_unique<station::StationLedger>(
                *record_, station::StationStorePath(deps_.logPath),
                std::vector<record::RunStart>(1), QString(), station::LeasePolicy(), ledgerClock_);
            ledger_->Start();
            return true;
        } catch (const record::RecordError& e) {
            record_.reset();
            error = e.Text();
        }
    }
    if (usage) {
        ShowMessage(QStringLiteral("Журнал производства указан неверно ([%1] %2): %3. "
                                   "Обновление не начато.")
                        .arg(Key(kRecordSection), Key(kKeyRecordUrl), error));
    } else {
        ShowMessage(QStringLiteral("Журнал производства %1 недоступен: %2. Обновление не начато.")
                        .arg(record::RedactedRecordText(recordUrl_), error));
    }
    return false;
}

bool TFormProgFrm::OpenRecordRun(const QString& portName) {
    if (!OpenRecord())
        return false;
    renumber_ = false;
    const QString serialNumber = ui_->SN->text();
    std::optional<record::GivenNumber> given;
    QString failure;
    if (TechnologyMode && !serialNumber.isEmpty()) {
        station::RunOffThisThread([&] {
            try {
                given = record_->Given(serialNumber);
            } catch (const record::RecordError& e) {
                failure = e.Text();
            }
        });
    }
    if (failure.isEmpty()) {
        if (given) {
            const QString question =
                given->state == QLatin1String("confirmed")
                    ? QStringLiteral(
                          "Серийный номер %1 уже записан в прибор %2 на %3. "
                          "Записать его ещё раз?")
                          .arg(serialNumber,
                               given->at.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm")),
                               given->station)
                    : QStringLiteral("Серийный номер %1 уже выдан (%2). Записать его ещё раз?")
                          .arg(serialNumber, station::GivenNumberText(*given));
            if (!AskYesNo(question))
                return false;
            renumber_ = true;
        }
        // The row goes to the station's store; the record gets it from there.
        const record::RunStart start = station::DescribeRun(
            record::DescribePackage(ui_->FileNameEdit->text(), package_), portName, deps_.logPath,
            TechnologyMode, BootAllMode, ui_->HWEdit->text(), QString());
        if (ledger_->OpenRun(0, start, failure))
            recordRunId_ = ledger_->RunId(0);
    }
    if (!failure.isEmpty()) {
        ShowMessage(QStringLiteral("Журнал производства %1 недоступен: %2. Обновление не начато.")
                        .arg(record::RedactedRecordText(recordUrl_), failure));
        return false;
    }
    recordRunStartedMs_ = deps_.clock->TickMs();
    numberGiven_ = false;
    return true;
}

void TFormProgFrm::CloseRecordRun(bool quiet) {
    if (recordRunId_.isEmpty() || !updateThread_ || !updateThread_->isFinished())
        return;
    const RunOutcome outcome = updateThread_->Outcome();
    const station::RunResult result = station::ResultOf(
        outcome, deps_.clock->TickMs() - recordRunStartedMs_, updateThread_->PagesSent());
    const QString runId = recordRunId_;
    recordRunId_.clear();
    // Into the station's store, whatever the record does meanwhile.
    QString note;
    if (numberGiven_)
        ledger_->SettleRun(0, outcome.serialNumberConfirmed, note);
    ledger_->CloseRun(0, result, note);
    if (!note.isEmpty() && !quiet)
        ShowMessage(QStringLiteral("Итог обновления не записан: %1").arg(note));
}

void TFormProgFrm::OnThreadFinished(TUpdateThread* thread) {
    // The run's tail has been handed over, or an error report came first and the tail is still
    // to run. Either way the thread may still be closing its port, which a stuck adapter driver
    // can drag out: look again a little later instead of waiting here, so that the window
    // keeps painting and its close box keeps working meanwhile.
    if (!thread || thread != updateThread_.get() || watchingRunEnd_)
        return;
    watchingRunEnd_ = true;
    WatchRunEnd(thread);
}

void TFormProgFrm::WatchRunEnd(QPointer<TUpdateThread> thread) {
    if (thread && thread == updateThread_.get() && !thread->isFinished()) {
        QTimer::singleShot(kRunEndLookAgainMs, this, [this, thread] { WatchRunEnd(thread); });
        return;
    }
    watchingRunEnd_ = false;
    if (thread && thread == updateThread_.get())
        CloseRecordRun(false);
    emit RunFinished();
    if (closeWhenRunEnds_ && !RunGoing()) {
        closeWhenRunEnds_ = false;
        close();
    }
}

void TFormProgFrm::closeEvent(QCloseEvent* event) {
    if (RunGoing()) {
        // The event loop keeps serving the run's hand-overs meanwhile; the window closes
        // itself once the run has ended.
        updateThread_->requestInterruption();
        closeWhenRunEnds_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

// ---- IRunHost -----------------------------------------------------------------------------

void TFormProgFrm::ShowMessage(const QString& text) {
    deps_.prompter->ShowMessage(this, ApplicationTitle(), text);
}

bool TFormProgFrm::AskYesNo(const QString& text) {
    return deps_.prompter->AskYesNo(this, ApplicationTitle(), text);
}

void TFormProgFrm::SetProgress(int position) {
    // Page numbers above 256 give values above the range; the bar then shows full rather than
    // ignoring the value as QProgressBar would.
    ui_->ProgressBar1->setValue(
        qBound(ui_->ProgressBar1->minimum(), position, ui_->ProgressBar1->maximum()));
}

void TFormProgFrm::EnableStart() {
    ui_->ActionStart->setEnabled(true);
    // Every run ends with this call, so it also tells the window the run is ending. Learning it
    // here, on our own thread, keeps Qt's cross-thread signal machinery out of the run's end.
    // Queued: the run is still blocked in this hand-over. A guarded pointer: the thread object
    // may be released before the call arrives.
    QMetaObject::invokeMethod(
        this,
        [this, thread = QPointer<TUpdateThread>(updateThread_.get())] { OnThreadFinished(thread); },
        Qt::QueuedConnection);
}

QString TFormProgFrm::SerialNumberText() {
    const QString number = ui_->SN->text();
    if (recordRunId_.isEmpty())
        return number;
    // With a record no number reaches the device unless the record holds it as this run's.
    // The record decides, off this thread, with the run's row written there first.
    numberGiven_ = false;
    station::RunOffThisThread([&] {
        try {
            ledger_->ForwardBegin(0);
            numberGiven_ = record_->GiveNumber(number, recordRunId_, renumber_);
        } catch (const record::RecordError&) {
            numberGiven_ = false;
        }
    });
    return numberGiven_ ? number : QString();
}

QString TFormProgFrm::HardwareText() {
    return ui_->HWEdit->text();
}

// ---- Errors -------------------------------------------------------------------------------

void TFormProgFrm::Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TFormProgFrm::ShowException(std::exception_ptr error) {
    deps_.prompter->ShowError(this, ApplicationTitle(), ExceptionDisplayText(error));
}

}  // namespace kvr

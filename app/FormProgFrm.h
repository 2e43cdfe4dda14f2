// The main window: port and package choice, the compatible version lists, run progress and
// Start, and in technology mode the S/N panel.
//
// Threads: everything here runs on the GUI thread. A run's thread reaches the window only
// through the IRunHost calls, which the run's hand-over carries out on the GUI thread while the
// run waits. Every wait of the GUI thread for a run keeps serving those calls.
//
// Runs: one at a time. A start while a run is still going (from the S/N buttons, or after
// ActionStop or an error box re-enabled Start) is refused with a beep, so a firmware write
// under way is never cut. A start with no package at all creates no run and leaves Start usable.
//
// Closing: a close while a run is going asks the run to stop and is refused; the window closes
// by itself when the run has ended. Destroying the window with a run still going (the
// application quit meanwhile) stops the run and waits for it, the hand-over then answering on
// its own instead of showing boxes.
//
// Errors: each handler catches what escapes it and shows it with the standard exception
// display (through the prompter); the constructor lets errors escape to the entry point.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "ByteChannel.h"
#include "Clock.h"
#include "LinkTypes.h"
#include "Prompter.h"
#include "RunHost.h"
#include "SerialPorts.h"
#include "UpdatePackage.h"

class QAction;
class QCloseEvent;
class QComboBox;

namespace Ui {
class TFormProgFrm;
}

namespace kvr {
namespace station {
class StationLedger;
}

namespace record {
class Record;
}

class ActionBinding;
class TMemIniFile;
class TRunHandOver;
class TUpdateThread;

// What the window takes from outside. Empty members get the production choice.
struct FormDependencies {
    QString settingsPath;                                     // SettingsFilePath()
    QString languagePath;                                     // LanguageFilePath("ru")
    QString logPath;                                          // UpdateLogPath()
    std::function<std::vector<SerialPortEntry>()> listPorts;  // EnumerateSerialPorts
    std::shared_ptr<IPrompter> prompter;                      // QtPrompter
    std::shared_ptr<IChannelFactory> channels;                // the serial port
    std::shared_ptr<IClock> clock;                            // SystemClock
};

inline constexpr const char* kSettingsSection = "Common";
inline constexpr const char* kKeyPortIndex = "PortIndex";
inline constexpr const char* kKeySerialNumber = "SN";
inline constexpr const char* kKeyHardware = "HW";
inline constexpr const char* kKeyFileName = "FileName";
// The production record: without this section the window records nothing.
inline constexpr const char* kRecordSection = "Record";
inline constexpr const char* kKeyRecordUrl = "URL";
// Only these remembered port indices are restored, whatever the number of ports.
inline constexpr int kRestorablePortIndices = 4;
inline constexpr int kSerialNumberMaxTypedChars = 8;
inline constexpr int kHardwareMaxTypedChars = kHardwareMaxDigits;
inline constexpr int kProgressMaximum = 100;
// How often the window looks whether an ending run's thread has finished.
inline constexpr int kRunEndLookAgainMs = 10;

inline constexpr const char* kOpenDialogTitle = "Select the file";
inline constexpr const char* kOpenDialogFilter = "Uplinker files (*.bsk)";
inline constexpr const char* kOpenDialogDefaultSuffix = "BSK";

class TFormProgFrm : public QWidget, public IRunHost {
    Q_OBJECT
public:
    // Builds the window, opens the language file, fills the port list and restores the
    // settings. Throws kvr::Exception when a settings or language file cannot be read or the
    // port list fails.
    explicit TFormProgFrm(FormDependencies dependencies = {}, QWidget* parent = nullptr);
    // Releases the package, then FormDestroy (if it has not run yet).
    ~TFormProgFrm() override;

    // Event handlers, as the layout names them.
    void ActionProgramExecute();
    void ActionProgramStop();
    // Stops and waits for a run, releases the language file and writes the settings. Runs
    // once; a save error is shown and the choices are lost.
    void FormDestroy();
    void ActionOpenFileExecute();
    void ActionOpenFileUpdate();
    void SpeedButton2Click();
    void SpeedButton1Click();

    // The one procedure that starts a run.
    void StartUpdateRun();
    // Reads the package named by the open dialog's file name, validates it and installs it;
    // shows its message and keeps the previous package on failure.
    bool LoadUpdatePackage();

    void SetHardwareCheckDisabled(bool disabled);
    void SetProgramCheckDisabled(bool disabled);
    bool HardwareCheckDisabled() const { return hardwareCheckDisabled_; }
    bool ProgramCheckDisabled() const { return programCheckDisabled_; }

    // Runs the action as its control would: the open-file action's update handler first, then
    // the execute handler if the action is enabled.
    void ExecuteAction(QAction* action);

    const UpdatePackage& Package() const { return package_; }
    QString OpenDialogFileName() const { return openDialogFileName_; }
    // True from the start of a run until its thread has finished.
    bool RunGoing() const;
    // The thread of the current or last run, or null.
    TUpdateThread* UpdateThread() const { return updateThread_.get(); }

    // IRunHost: called on the GUI thread by a run's hand-over.
    void ShowMessage(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    void SetProgress(int position) override;
    void EnableStart() override;
    QString SerialNumberText() override;
    QString HardwareText() override;

signals:
    // A run's thread has ended (emitted once the window has noticed it).
    void RunFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FillPortList(QComboBox* target);
    void RestoreSettings();
    void FormCaption();
    void SaveSettings();
    void ReleaseUpdateThread();
    void OnThreadFinished(TUpdateThread* thread);
    void WatchRunEnd(QPointer<TUpdateThread> thread);
    // The run's row in the record, written before the device sees anything: false when the
    // run may not start (no record, or the operator does not want the number written again).
    bool OpenRecordRun(const QString& portName);
    // Opens the [Record] once; false after saying why.
    bool OpenRecord();
    // Completes it once the run's thread has ended; quiet: no box (the window is going).
    void CloseRecordRun(bool quiet);
    // Runs a handler body; whatever escapes it goes to the standard exception display.
    void Guarded(const std::function<void()>& body);
    void ShowException(std::exception_ptr error);

    std::unique_ptr<Ui::TFormProgFrm> ui_;
    FormDependencies deps_;
    std::unique_ptr<TMemIniFile> settingsFile_;
    UpdatePackage package_;
    QString openDialogFileName_;
    bool hardwareCheckDisabled_ = false;
    bool programCheckDisabled_ = false;
    bool destroyed_ = false;
    bool closeWhenRunEnds_ = false;
    bool watchingRunEnd_ = false;
    ActionBinding* startBinding_ = nullptr;
    ActionBinding* openFileBinding_ = nullptr;
    // Declared before the thread: the hand-over must outlive every run.
    std::unique_ptr<TRunHandOver> handOver_;
    std::unique_ptr<TUpdateThread> updateThread_;
    // [Record] URL; empty: nothing is recorded.
    QString recordUrl_;
    std::unique_ptr<record::Record> record_;
    // The runs' rows go to the station's store first; its threads forward them. Declared
    // after the record, which it outlives not.
    SystemClock ledgerClock_;
    std::unique_ptr<station::StationLedger> ledger_;
    QString recordRunId_;  // the run under way's row
    uint64_t recordRunStartedMs_ = 0;
    bool renumber_ = false;     // the operator chose to give a number the record holds already
    bool numberGiven_ = false;  // the record gave the run its number
};

}  // namespace kvr

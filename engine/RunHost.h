// What a run reports, and to whom. The window and the command line each implement it.
// Every call arrives on the host's own thread (the update thread hands it over and waits),
// so an implementation may touch its widgets freely.
#pragma once

#include <QString>

namespace kvr {

class IRunHost {
public:
    virtual ~IRunHost() = default;
    // A message box with one OK button; returns when the operator has closed it.
    virtual void ShowMessage(const QString& text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The progress bar's position (0 … 100, larger values passed as they are).
    virtual void SetProgress(int position) = 0;
    // Makes Start usable again.
    virtual void EnableStart() = 0;
    // The texts of the S/N and HW fields (technology mode).
    virtual QString SerialNumberText() = 0;
    virtual QString HardwareText() = 0;
};

}  // namespace kvr

// TRunReporter: everything a run tells the operator, with its log entries and its effect on
// the run's state. Each call goes to the host (in production the run's TRunHandOver, which
// blocks until the host's thread has run it) and returns when the host is done: a message box
// keeps the run waiting until the operator has closed it.
//
// Message operations log the translated text, show it, then set stopFlag (where the table of
// each operation says so). ShowUpdateError and ShowSerialNumberError also enable Start
// themselves; the others leave that to the run's tail.
#pragma once

#include <QString>

#include "RunHost.h"
#include "RunOutcome.h"
#include "RunState.h"

namespace kvr {

class TUpdateLog;

// The texts the run shows or logs, before translation.
inline constexpr const char* kTextCrcError = "Ошибка CRC!";
inline constexpr const char* kTextExchangeError = "Ошибка обмена!";
inline constexpr const char* kTextConnectionError = "Ошибка подключения!";
inline constexpr const char* kTextUpdateError = "Ошибка обновления!";
inline constexpr const char* kTextSerialNumberError =
    "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте перемычку!";
inline constexpr const char* kTextSuccess = "Обновление успешно завершено!";
inline constexpr const char* kTextHardwareIncompatible = "Несовместима аппаратная версия!";
inline constexpr const char* kTextProgramIncompatible = "Несовместима программная версия!";
inline constexpr const char* kTextProgramIncompatibleQuestion =
    "Несовместима программная версия! Продолжить обновление?";

class TRunReporter {
public:
    TRunReporter(IRunHost& host, TUpdateLog& log, RunState& state);

    void ShowCrcError();           // sets stopFlag
    void ShowExchangeError();      // sets stopFlag
    void ShowConnectionError();    // sets stopFlag
    void ShowUpdateError();        // sets stopFlag, enables Start
    void ShowSerialNumberError();  // sets stopFlag, enables Start
    void ShowSuccess();
    void UpdateProgressBar();  // shows state.progress
    void EnableStart();

    // OK box; sets stopFlag.
    void ShowHardwareIncompatible();
    // Yes/No question; stopFlag becomes false on Yes, true otherwise. Returns the answer.
    bool AskProgramIncompatible();

    // The texts of the S/N and HW fields, read on the host's thread.
    QString SerialNumberText();
    QString HardwareText();

    // The last closing report: what set stopFlag (or the success message), with its text.
    // Stopped with no text until one came; the answer Yes takes the program question back.
    RunEnd LastEnd() const { return lastEnd_; }
    const QString& LastText() const { return lastText_; }

private:
    // Logs and shows the translation of text, and keeps it as the run's end.
    void ShowAndLog(const char* text, RunEnd end);

    RunEnd lastEnd_ = RunEnd::Stopped;
    QString lastText_;

    IRunHost& host_;
    TUpdateLog& log_;
    RunState& state_;
};

}  // namespace kvr

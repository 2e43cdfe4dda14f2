#include "RunReporter.h"

#include "Translate.h"
#include "UpdateLog.h"

namespace kvr {

TRunReporter::TRunReporter(IRunHost& host, TUpdateLog& log, RunState& state)
    : host_(host), log_(log), state_(state) {}

void TRunReporter::ShowAndLog(const char* text, RunEnd end) {
    const QString original = QString::fromUtf8(text);
    log_.WriteLog(Translate(original));
    const QString shown = Translate(original);
    lastEnd_ = end;
    lastText_ = shown;
    host_.ShowMessage(shown);
}

void TRunReporter::ShowCrcError() {
    ShowAndLog(kTextCrcError, RunEnd::ExchangeError);
    state_.stopFlag = true;
}

void TRunReporter::ShowExchangeError() {
    ShowAndLog(kTextExchangeError, RunEnd::ExchangeError);
    state_.stopFlag = true;
}

void TRunReporter::ShowConnectionError() {
    ShowAndLog(kTextConnectionError, RunEnd::NoConnection);
    state_.stopFlag = true;
}

void TRunReporter::ShowUpdateError() {
    ShowAndLog(kTextUpdateError, RunEnd::UpdateError);
    state_.stopFlag = true;
    host_.EnableStart();
}

void TRunReporter::ShowSerialNumberError() {
    ShowAndLog(kTextSerialNumberError, RunEnd::SerialNumberError);
    state_.stopFlag = true;
    host_.EnableStart();
}

void TRunReporter::ShowSuccess() {
    ShowAndLog(kTextSuccess, RunEnd::Success);
}

void TRunReporter::UpdateProgressBar() {
    host_.SetProgress(state_.progress);
}

void TRunReporter::EnableStart() {
    host_.EnableStart();
}

void TRunReporter::ShowHardwareIncompatible() {
    ShowAndLog(kTextHardwareIncompatible, RunEnd::HardwareIncompatible);
    state_.stopFlag = true;
}

bool TRunReporter::AskProgramIncompatible() {
    log_.WriteLog(Translate(QString::fromUtf8(kTextProgramIncompatible)));
    const QString question = Translate(QString::fromUtf8(kTextProgramIncompatibleQuestion));
    const bool yes = host_.AskYesNo(question);
    state_.stopFlag = !yes;
    lastEnd_ = yes ? RunEnd::Stopped : RunEnd::ProgramRefused;
    lastText_ = yes ? QString() : question;
    return yes;
}

QString TRunReporter::SerialNumberText() {
    return host_.SerialNumberText();
}

QString TRunReporter::HardwareText() {
    return host_.HardwareText();
}

}  // namespace kvr

#include "RunReporter.h"

#include "Translate.h"
#include "UpdateLog.h"

namespace kvr {

TRunReporter::TRunReporter(IRunHost& host, TUpdateLog& log, RunState& state)
    : host_(host), log_(log), state_(state) {}

void TRunReporter::ShowAndLog(const char* text) {
    const QString original = QString::fromUtf8(text);
    log_.WriteLog(Translate(original));
    host_.ShowMessage(Translate(original));
}

void TRunReporter::ShowCrcError() {
    ShowAndLog(kTextCrcError);
    state_.stopFlag = true;
}

void TRunReporter::ShowExchangeError() {
    ShowAndLog(kTextExchangeError);
    state_.stopFlag = true;
}

void TRunReporter::ShowConnectionError() {
    ShowAndLog(kTextConnectionError);
    state_.stopFlag = true;
}

void TRunReporter::ShowUpdateError() {
    ShowAndLog(kTextUpdateError);
    state_.stopFlag = true;
    host_.EnableStart();
}

void TRunReporter::ShowSerialNumberError() {
    ShowAndLog(kTextSerialNumberError);
    state_.stopFlag = true;
    host_.EnableStart();
}

void TRunReporter::ShowSuccess() {
    ShowAndLog(kTextSuccess);
}

void TRunReporter::UpdateProgressBar() {
    host_.SetProgress(state_.progress);
}

void TRunReporter::EnableStart() {
    host_.EnableStart();
}

void TRunReporter::ShowHardwareIncompatible() {
    ShowAndLog(kTextHardwareIncompatible);
    state_.stopFlag = true;
}

bool TRunReporter::AskProgramIncompatible() {
    log_.WriteLog(Translate(QString::fromUtf8(kTextProgramIncompatible)));
    const bool yes = host_.AskYesNo(Translate(QString::fromUtf8(kTextProgramIncompatibleQuestion)));
    state_.stopFlag = !yes;
    return yes;
}

QString TRunReporter::SerialNumberText() {
    return host_.SerialNumberText();
}

QString TRunReporter::HardwareText() {
    return host_.HardwareText();
}

}  // namespace kvr

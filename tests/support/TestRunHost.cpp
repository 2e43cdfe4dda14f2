#include "TestRunHost.h"

namespace kvr::test {

void TestRunHost::Record(Event event) {
    std::function<void(const Event&)> callback;
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        callback = onEvent_;
        const bool box = event.kind == Event::Kind::Message || event.kind == Event::Kind::Question;
        if (box && clock_ != nullptr)
            clock_->Advance(msPerBox_);
    }
    if (callback)
        callback(event);
}

void TestRunHost::ShowMessage(const QString& text) {
    Record({Event::Kind::Message, text, 0});
}

bool TestRunHost::AskYesNo(const QString& text) {
    bool answer = false;
    {
        std::lock_guard lock(mutex_);
        answer = defaultAnswer_;
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
        }
    }
    Record({Event::Kind::Question, text, answer ? 1 : 0});
    return answer;
}

void TestRunHost::SetProgress(int position) {
    Record({Event::Kind::Progress, {}, position});
}

void TestRunHost::EnableStart() {
    Record({Event::Kind::EnableStart, {}, 0});
}

QString TestRunHost::SerialNumberText() {
    QString text;
    {
        std::lock_guard lock(mutex_);
        text = serialNumber_;
    }
    Record({Event::Kind::SerialNumberRead, text, 0});
    return text;
}

QString TestRunHost::HardwareText() {
    QString text;
    {
        std::lock_guard lock(mutex_);
        text = hardware_;
    }
    Record({Event::Kind::HardwareRead, text, 0});
    return text;
}

void TestRunHost::QueueAnswer(bool yes) {
    std::lock_guard lock(mutex_);
    answers_.push_back(yes);
}

void TestRunHost::SetDefaultAnswer(bool yes) {
    std::lock_guard lock(mutex_);
    defaultAnswer_ = yes;
}

void TestRunHost::SetSerialNumber(const QString& text) {
    std::lock_guard lock(mutex_);
    serialNumber_ = text;
}

void TestRunHost::SetHardware(const QString& text) {
    std::lock_guard lock(mutex_);
    hardware_ = text;
}

void TestRunHost::ChargeBoxesTo(devsim::VirtualClock& clock, uint64_t msPerBox) {
    std::lock_guard lock(mutex_);
    clock_ = &clock;
    msPerBox_ = msPerBox;
}

void TestRunHost::OnEvent(std::function<void(const Event&)> callback) {
    std::lock_guard lock(mutex_);
    onEvent_ = std::move(callback);
}

void TestRunHost::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

std::vector<TestRunHost::Event> TestRunHost::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

QStringList TestRunHost::Shown() const {
    std::lock_guard lock(mutex_);
    QStringList shown;
    for (const auto& e : events_) {
        if (e.kind == Event::Kind::Message || e.kind == Event::Kind::Question)
            shown << e.text;
    }
    return shown;
}

std::vector<int> TestRunHost::Progress() const {
    std::lock_guard lock(mutex_);
    std::vector<int> values;
    for (const auto& e : events_) {
        if (e.kind == Event::Kind::Progress)
            values.push_back(e.value);
    }
    return values;
}

int TestRunHost::EnableStartCount() const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : events_)
        n += e.kind == Event::Kind::EnableStart ? 1 : 0;
    return n;
}

int TestRunHost::FirstEnableStart() const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < events_.size(); ++i) {
        if (events_[i].kind == Event::Kind::EnableStart)
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace kvr::test

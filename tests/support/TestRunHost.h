// A run host for tests: records every call in order and answers from a script. The time an
// operator would spend on a box can be charged to the virtual clock.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "RunHost.h"
#include "VirtualClock.h"

namespace kvr::test {

class TestRunHost : public IRunHost {
public:
    struct Event {
        enum class Kind {
            Message,
            Question,
            Progress,
            EnableStart,
            SerialNumberRead,
            HardwareRead
        };
        Kind kind = Kind::Message;
        QString text;
        int value = 0;
    };

    void ShowMessage(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    void SetProgress(int position) override;
    void EnableStart() override;
    QString SerialNumberText() override;
    QString HardwareText() override;

    // Script.
    void QueueAnswer(bool yes);
    void SetDefaultAnswer(bool yes);
    void SetSerialNumber(const QString& text);
    void SetHardware(const QString& text);
    // Each box (message or question) costs this much virtual time.
    void ChargeBoxesTo(devsim::VirtualClock& clock, uint64_t msPerBox);
    // Called after each event is recorded (on the host's thread).
    void OnEvent(std::function<void(const Event&)> callback);

    // Forgets what happened so far (the script stays).
    void Clear();

    // What happened.
    std::vector<Event> Events() const;
    // Texts of the messages and questions, in the order shown.
    QStringList Shown() const;
    std::vector<int> Progress() const;
    int EnableStartCount() const;
    // Index in Events() of the first EnableStart, or -1.
    int FirstEnableStart() const;

private:
    void Record(Event event);

    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::deque<bool> answers_;
    bool defaultAnswer_ = false;
    QString serialNumber_;
    QString hardware_;
    devsim::VirtualClock* clock_ = nullptr;
    uint64_t msPerBox_ = 0;
    std::function<void(const Event&)> onEvent_;
};

}  // namespace kvr::test

// TUpdateSequence: one update run, without a thread of its own (TUpdateThread runs it on one;
// tests run it directly with a fake channel and a fake clock).
//
// RunUpdate: clear stopFlag; OpenLink; probe the framing; then, while the port is connected,
// stopFlag is clear and no stop was requested, one polling turn: request the status (failures
// reported) and answer it:
//   0, 1, 8, 10  log "Получен статус <code>"; EnterBootloader
//   2, 7         log "Запуск обновления"; cmdStartUpdate (a refusal is only logged)
//   3            log "Отправка страницы <page>"; SendPage; progress = page * 100 / 256 and the
//                bar on success, else log "Ошибка записи страницы!" and the update error
//   4            log "Получен статус ожидания записи страницы"; wait 10 ms
//   5            completion (below)
//   6            log "Получен статус ошибки обновления"; the update error
//   others       nothing; the next poll follows at once
// An exception inside a turn is swallowed and the loop goes on. The tail always runs: close the
// port if it opened, else report the connection error; close the log; EnableStart.
//
// Completion: progress 100; wait 2000 ms; within a 5000 ms window from then (monotonic clock)
// probe until the device answers, then request the status until it is 0; judge the last status:
// 0/5/10 is success (technology mode: only 10, and only once the serial number is written),
// anything else the update error. Exactly one closing message; then stopFlag is set.
//
// Decisions beyond the device protocol:
// - A page request longer than the page's data is refused (nothing is sent, the run ends with
//   the update error): firmware is never padded with bytes that are not in the package. So is
//   one whose frame would not fit the 16-bit length field. The log says why.
// - A serial number longer than 12 characters, or with a character outside Windows-1251, is
//   not sent (WriteSerialNumber returns false).
// - A port that cannot be opened has its reason logged: the component's message and, when the
//   channel gives them (EPortOpenError), the system's words for its error code.
// - An exception while the port is set up for the first probe ends the run through the tail.
// - The time the host spends on a message box counts against the completion window.
// - In the completion window a garbled reply is asked again at once, but a probe or status
//   request that got no byte back is repeated no sooner than a silent device's probe would
//   end (kPortFailureRetryMs from its start): a port that fails at once, such as an adapter
//   pulled after the last page, would otherwise be asked thousands of times, each failure
//   reported and logged, until the log wrapped over earlier runs.
//
// Thread rules: everything runs on the calling thread; the host is called through IRunHost (the
// run's TRunHandOver in production). channels, clock and host must outlive the object.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "ByteChannel.h"
#include "Clock.h"
#include "LinkProtocol.h"
#include "RunHost.h"
#include "RunOptions.h"
#include "RunOutcome.h"
#include "RunReporter.h"
#include "RunState.h"
#include "UpdateLog.h"
#include "UpdatePackage.h"

namespace kvr {

// Waits of the sequence.
inline constexpr uint32_t kPageWriteBusyWaitMs = 10;
inline constexpr uint32_t kAfterEnterBootloaderReplyWaitMs = 1000;
inline constexpr uint32_t kBootloaderRestartWaitMs = 3000;
inline constexpr uint32_t kAfterUpdateDoneWaitMs = 2000;
inline constexpr uint64_t kCompletionWindowMs = 5000;

// Progress: requestedPage * 100 / 256, whatever the size of the package.
inline constexpr int32_t kProgressPageDivisor = 256;
inline constexpr int32_t kProgressComplete = 100;

class TUpdateSequence {
public:
    // Copies the pages and the port name, sets the address field length to 6 and opens the
    // update log at options.logPath, writing its first entry. The port is not touched.
    TUpdateSequence(const QString& portName, PageMap pages, const RunOptions& options,
                    IChannelFactory& channels, IClock& clock, IRunHost& host);
    ~TUpdateSequence();
    TUpdateSequence(const TUpdateSequence&) = delete;
    TUpdateSequence& operator=(const TUpdateSequence&) = delete;

    // The whole run. stopRequested (may be empty) is asked once per polling turn. Never throws.
    // Returns how the run ended (also Outcome() afterwards).
    RunOutcome RunUpdate(const std::function<bool()>& stopRequested = {});
    const RunOutcome& Outcome() const { return outcome_; }

    // The steps of the run; RunUpdate calls them in order. Each expects the link opened.
    void OpenLink();
    void CloseLink();
    bool EnterBootloader();
    bool SendPage(uint16_t page);
    bool WriteSerialNumber();

    const RunState& State() const { return state_; }
    bool Connected() const { return connected_; }
    // These two may be asked from any thread, while the run goes on.
    uint16_t AddressFieldLength() const { return state_.addressFieldLength; }
    // Page frames written to the device so far.
    int32_t PagesSent() const { return state_.pagesSent; }
    bool LogOpen() const { return log_.IsOpen(); }

private:
    void PollTurn();
    void StartUpdate();
    void Complete();
    void Tail();
    // After a failed attempt that began at startedMs with receivedBefore bytes received so
    // far: when nothing came back, waits until the retry interval from its start has passed
    // (no later than deadlineMs).
    void PaceFailedAttempt(uint64_t startedMs, uint64_t receivedBefore, uint64_t deadlineMs);

    QString portName_;
    PageMap pages_;
    RunOptions options_;
    IChannelFactory& channels_;
    IClock& clock_;
    RunState state_;
    TUpdateLog log_;
    TRunReporter reporter_;
    std::unique_ptr<IByteChannel> channel_;
    std::unique_ptr<TLinkProtocol> link_;
    bool connected_ = false;
    RunOutcome outcome_;
    std::vector<uint8_t> pagePayload_;  // reused from page to page
};

}  // namespace kvr

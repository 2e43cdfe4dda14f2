#include "UpdateSequence.h"

#include <QByteArray>
#include <algorithm>
#include <array>
#include <exception>

#include "AnsiText.h"
#include "Exception.h"
#include "PortOpenError.h"
#include "Translate.h"

namespace kvr {

namespace {

constexpr const char* kTextRunStart = "Запуск обновления";
constexpr const char* kTextConnecting = "Подключение интерфейса";
constexpr const char* kTextStartUpdate = "Запуск обновления";
constexpr const char* kTextEnterBootloader = "Переход в загрузчик, перезагрузка прибора";
constexpr const char* kTextSendingPage = "Отправка страницы ";
constexpr const char* kTextStatusReceived = "Получен статус ";
constexpr const char* kTextStatusBusy = "Получен статус ожидания записи страницы";
constexpr const char* kTextStatusDone = "Получен статус успешного завершения";
constexpr const char* kTextStatusFailed = "Получен статус ошибки обновления";
constexpr const char* kTextPageWriteError = "Ошибка записи страницы!";
constexpr const char* kTextNoAnswer = "Нет ответа!";
constexpr const char* kTextPageNotWritten = "Страница не записана!";
constexpr const char* kTextPageRefused = "Страница %1 не отправлена: ";
constexpr const char* kTextLongerThanPage = "запрошено %1 байт, в пакете %2";
constexpr const char* kTextFrameTooLong = "поле длины кадра %1 больше %2";

// Page number, length, then the page's header.
constexpr uint32_t kPagePayloadPrefixBytes = 4 + kPageHeaderBytes;

// How often an exchange that failed before the device could have answered (the port itself
// failing, such as a pulled adapter) is tried again in the completion window: as often as a
// probe against a silent device, so a lost port is never reported more often than a silent
// device, and a port that comes back within the window is still asked.
constexpr uint64_t kPortFailureRetryMs =
    2 * (kFrameHeaderBytes * kReadTotalMultiplierMs + kProbeReadTotalConstantMs);

// Reply data that carry at least one payload byte: echo, answer, checksum.
constexpr uint16_t kReplyWithAnswerBytes = 3;

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Stands in for a channel the factory could not make: nothing opens, nothing goes through.
class ClosedChannel final : public IByteChannel {
public:
    void Connect(const LinkSettings&) override { throw EFOpenError("port not available"); }
    bool Connected() const override { return false; }
    void Disconnect() override {}
    uint32_t Read(uint8_t* buffer, uint32_t) override {
        std::fill_n(buffer, 4, uint8_t{0});
        return 0;
    }
    uint32_t Write(const uint8_t*, uint32_t) override { return 0; }
    void PurgeReceive() override { throw EInOutError("port not open"); }
    void SetReadTotalConstant(int32_t) override {}
};

}  // namespace

TUpdateSequence::TUpdateSequence(const QString& portName, PageMap pages, const RunOptions& options,
                                 IChannelFactory& channels, IClock& clock, IRunHost& host)
    : portName_(portName),
      pages_(std::move(pages)),
      options_(options),
      channels_(channels),
      clock_(clock),
      log_(clock),
      reporter_(host, log_, state_) {
    state_.addressFieldLength = kAddressFieldLengthApplication;
    state_.bootAllFrame = false;
    if (log_.Open(options_.logPath))
        log_.WriteLog(Text(kTextRunStart));
}

TUpdateSequence::~TUpdateSequence() = default;

RunOutcome TUpdateSequence::RunUpdate(const std::function<bool()>& stopRequested) {
    outcome_ = RunOutcome{};
    try {
        state_.stopFlag = false;
        OpenLink();
        state_.progress = 0;
        try {
            link_->ProbeLink();
        } catch (const std::exception& e) {
            // The port refused the probe's settings and closed; the tail reports it.
            log_.WriteLog(QString::fromUtf8(e.what()));
            state_.stopFlag = true;
            connected_ = channel_->Connected();
        }
        while (connected_ && !state_.stopFlag && !(stopRequested && stopRequested())) {
            try {
                PollTurn();
            } catch (...) {
                // A failed turn ends nothing by itself: the next status request decides.
            }
        }
    } catch (...) {
        // Only resource exhaustion gets here; the tail still has to run.
    }
    // A report ended the loop when it set stopFlag; a stop request alone leaves it clear.
    const bool endedByReport = state_.stopFlag;
    Tail();
    if (!connected_ || endedByReport) {
        outcome_.end = reporter_.LastEnd();
        outcome_.text = reporter_.LastText();
        // stopFlag set without a closing message: the port failed under the probe.
        if (outcome_.end == RunEnd::Stopped)
            outcome_.end = RunEnd::ExchangeError;
    } else {
        outcome_.end = RunEnd::Stopped;
        outcome_.text.clear();
    }
    return outcome_;
}

void TUpdateSequence::Tail() {
    try {
        if (connected_) {
            CloseLink();
        } else {
            reporter_.ShowConnectionError();
        }
    } catch (...) {
    }
    link_.reset();
    channel_.reset();
    log_.Close();
    reporter_.EnableStart();
}

void TUpdateSequence::OpenLink() {
    log_.WriteLog(Text(kTextConnecting));
    link_.reset();
    channel_.reset();
    try {
        channel_ = channels_.Create();
    } catch (const std::exception& e) {
        log_.WriteLog(QString::fromUtf8(e.what()));
    }
    if (!channel_)
        channel_ = std::make_unique<ClosedChannel>();

    try {
        channel_->Connect(DeviceLinkSettings(portName_.toStdString()));
        connected_ = channel_->Connected();
    } catch (const EPortOpenError& e) {
        connected_ = false;
        // The code alone would send the operator to look the number up.
        QString line = QString::fromStdString(e.Message());
        if (!e.SystemReason().empty())
            line += QStringLiteral(" (%1)").arg(QString::fromStdString(e.SystemReason()));
        log_.WriteLog(line);
    } catch (const std::exception& e) {
        connected_ = false;
        // The reason tells "no such port" from "permission denied" or "busy".
        log_.WriteLog(QString::fromUtf8(e.what()));
    }
    link_ = std::make_unique<TLinkProtocol>(*channel_, reporter_, log_, state_);
}

void TUpdateSequence::CloseLink() {
    if (channel_ && channel_->Connected())
        channel_->Disconnect();
    link_.reset();
    channel_.reset();
}

void TUpdateSequence::PollTurn() {
    state_.status = link_->RequestStatus(true);
    if (state_.stopFlag)
        return;

    const uint8_t code = state_.status.statusCode;
    if (IsEnterBootloaderStatus(code)) {
        log_.WriteLog(Text(kTextStatusReceived) + QString::number(code));
        EnterBootloader();
        return;
    }
    if (IsStartUpdateStatus(code)) {
        StartUpdate();
        return;
    }
    switch (code) {
        case kStatusPageRequest: {
            const uint16_t page = state_.status.requestedPage;
            log_.WriteLog(Text(kTextSendingPage) + QString::number(page));
            if (SendPage(page)) {
                state_.progress = static_cast<int32_t>(page) * 100 / kProgressPageDivisor;
                reporter_.UpdateProgressBar();
            } else {
                log_.WriteLog(Translate(Text(kTextPageWriteError)));
                reporter_.ShowUpdateError();
            }
            break;
        }
        case kStatusPageWriteBusy:
            log_.WriteLog(Text(kTextStatusBusy));
            clock_.SleepMs(kPageWriteBusyWaitMs);
            break;
        case kStatusUpdateDone:
            Complete();
            break;
        case kStatusUpdateFailed:
            log_.WriteLog(Text(kTextStatusFailed));
            reporter_.ShowUpdateError();
            state_.stopFlag = true;
            break;
        default:
            break;
    }
}

void TUpdateSequence::StartUpdate() {
    log_.WriteLog(Text(kTextStartUpdate));
    link_->SendFrame(kCmdStartUpdate, nullptr, 0);
    ReplyBuffer reply{};
    const uint16_t m = link_->ReceiveReply(reply, kCmdStartUpdate);
    if (m < kReplyWithAnswerBytes || reply[kReplyAnswerIndex] == kStartUpdateRefused) {
        log_.WriteLog(Translate(Text(kTextPageWriteError)));
    }
}

bool TUpdateSequence::EnterBootloader() {
    log_.WriteLog(Text(kTextEnterBootloader));
    const std::array<uint8_t, kEnterBootloaderPayloadBytes> payload{};
    link_->SendFrame(kCmdEnterBootloader, payload.data(), payload.size());
    ReplyBuffer reply{};
    const uint16_t m = link_->ReceiveReply(reply, kCmdEnterBootloader);
    bool accepted = false;
    if (m != 0) {
        clock_.SleepMs(kAfterEnterBootloaderReplyWaitMs);
        accepted =
            m >= kReplyWithAnswerBytes && reply[kReplyAnswerIndex] == kEnterBootloaderAccepted;
    }
    clock_.SleepMs(kBootloaderRestartWaitMs);
    // The bootloader may speak the other framing.
    link_->ProbeLink();
    return accepted;
}

bool TUpdateSequence::SendPage(uint16_t page) {
    if (page >= pages_.size()) {
        // Beyond the package: nothing to send, and the device is left to move on.
        state_.bootAllFrame = false;
        return true;
    }
    const auto found = pages_.find(page);
    const uint16_t length = state_.status.requestedLength;
    if (found == pages_.end() || length > found->second.pageData.size()) {
        log_.WriteLog(Text(kTextPageRefused).arg(page) +
                      Text(kTextLongerThanPage)
                          .arg(length)
                          .arg(found == pages_.end() ? 0 : found->second.pageData.size()));
        state_.bootAllFrame = false;
        return false;
    }
    // The frame's length field counts address bytes, command, payload and checksum; a frame
    // it cannot describe would never be sent, and the device would look silent.
    const uint32_t lengthField =
        state_.addressFieldLength + kPagePayloadPrefixBytes + uint32_t{length} + 2;
    if (lengthField > kMaxFrameLengthField) {
        log_.WriteLog(Text(kTextPageRefused).arg(page) +
                      Text(kTextFrameTooLong).arg(lengthField).arg(kMaxFrameLengthField));
        state_.bootAllFrame = false;
        return false;
    }
    const PackagePage& source = found->second;

    state_.bootAllFrame = options_.bootAllMode;
    // The run's payload buffer keeps its capacity from page to page.
    std::vector<uint8_t>& payload = pagePayload_;
    payload.clear();
    payload.push_back(static_cast<uint8_t>(page & 0xFF));
    payload.push_back(static_cast<uint8_t>(page >> 8));
    payload.push_back(static_cast<uint8_t>(length & 0xFF));
    payload.push_back(static_cast<uint8_t>(length >> 8));
    payload.insert(payload.end(), source.pageHeader.begin(), source.pageHeader.end());
    const auto* data = reinterpret_cast<const uint8_t*>(source.pageData.constData());
    payload.insert(payload.end(), data, data + length);
    if (link_->SendFrame(kCmdWritePage, payload.data(), static_cast<uint32_t>(payload.size())))
        state_.pagesSent = state_.pagesSent + 1;
    ReplyBuffer reply{};
    const uint16_t m = link_->ReceiveReply(reply, kCmdWritePage);
    state_.bootAllFrame = false;

    if (m == 0) {
        log_.WriteLog(Translate(Text(kTextNoAnswer)));
        return false;
    }
    // A reply without result flags does not confirm the page either.
    const uint8_t flags =
        m >= kReplyWithAnswerBytes ? reply[kReplyAnswerIndex] : kPageFlagNotWritten;
    if (flags & kPageFlagNotWritten) {
        log_.WriteLog(Translate(Text(kTextPageNotWritten)));
        return false;
    }
    if (flags & kPageFlagHardwareIncompatible) {
        reporter_.ShowHardwareIncompatible();
    } else if (flags & kPageFlagProgramIncompatible) {
        reporter_.AskProgramIncompatible();
    }
    return true;
}

void TUpdateSequence::Complete() {
    log_.WriteLog(Text(kTextStatusDone));
    state_.progress = kProgressComplete;
    reporter_.UpdateProgressBar();
    state_.bootAllFrame = false;

    clock_.SleepMs(kAfterUpdateDoneWaitMs);
    state_.status.statusCode = kStatusNoAnswer;
    const uint64_t deadline = clock_.TickMs() + kCompletionWindowMs;
    try {
        // After its restart the device may speak the other framing. A reply that came but was
        // wrong is asked again at once; only attempts that got nothing back are paced.
        for (;;) {
            const uint64_t started = clock_.TickMs();
            const uint64_t received = link_->BytesReceived();
            if (link_->ProbeLink())
                break;
            PaceFailedAttempt(started, received, deadline);
            if (clock_.TickMs() >= deadline)
                break;
        }
        while (state_.status.statusCode != kStatusApplicationIdle && clock_.TickMs() < deadline) {
            const uint64_t started = clock_.TickMs();
            const uint64_t received = link_->BytesReceived();
            state_.status = link_->RequestStatus(true);
            if (state_.status.statusCode == kStatusNoAnswer)
                PaceFailedAttempt(started, received, deadline);
        }
    } catch (const std::exception&) {
        // Judged on what was read so far.
    }

    const uint8_t code = state_.status.statusCode;
    if (!IsFinalSuccessStatus(code)) {
        reporter_.ShowUpdateError();
    } else if (!options_.technologyMode) {
        reporter_.ShowSuccess();
    } else if (code == kStatusSerialNumberWanted && WriteSerialNumber()) {
        reporter_.ShowSuccess();
    } else {
        reporter_.ShowSerialNumberError();
    }
    state_.stopFlag = true;
}

void TUpdateSequence::PaceFailedAttempt(uint64_t startedMs, uint64_t receivedBefore,
                                        uint64_t deadlineMs) {
    if (link_->BytesReceived() != receivedBefore)
        return;  // the device answered, if wrongly: ask again at once
    const uint64_t due = std::min(startedMs + kPortFailureRetryMs, deadlineMs);
    const uint64_t now = clock_.TickMs();
    if (now < due)
        clock_.SleepMs(static_cast<uint32_t>(due - now));
}

bool TUpdateSequence::WriteSerialNumber() {
    try {
        bool isNumber = false;
        const int hardware = reporter_.HardwareText().trimmed().toInt(&isNumber, 10);
        if (!isNumber)
            return false;
        QByteArray serial;
        const QString text = reporter_.SerialNumberText();
        if (!EncodeWindows1251(text, serial))
            return false;
        if (serial.isEmpty() && options_.serialNumberRequired)
            return false;
        // A cut serial number written into a device would be wrong data.
        if (static_cast<size_t>(serial.size()) > kSerialNumberMaxChars)
            return false;

        std::array<uint8_t, kSerialNumberPayloadBytes> payload{};  // zero padded
        payload[0] = static_cast<uint8_t>(hardware & 0xFF);
        std::copy(serial.cbegin(), serial.cend(), payload.begin() + 1);
        outcome_.serialNumberSent = true;
        outcome_.serialNumber = text;
        link_->SendFrame(kCmdWriteSerialNumber, payload.data(), payload.size());
        ReplyBuffer reply{};
        const uint16_t m = link_->ReceiveReply(reply, kCmdWriteSerialNumber);
        outcome_.serialNumberConfirmed =
            m >= kReplyWithAnswerBytes && reply[kReplyAnswerIndex] == kSerialNumberWritten;
        return outcome_.serialNumberConfirmed;
    } catch (...) {
        return false;
    }
}

}  // namespace kvr

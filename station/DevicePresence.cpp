#include "DevicePresence.h"

#include <exception>

#include "LinkProtocol.h"
#include "PortOpenError.h"
#include "RunHost.h"
#include "RunReporter.h"
#include "RunState.h"
#include "UpdateLog.h"

namespace kvr {

namespace {

// Between updates nobody is told of a silent port: that is what an empty fixture looks like.
class QuietHost final : public IRunHost {
public:
    void ShowMessage(const QString&) override {}
    bool AskYesNo(const QString&) override { return false; }
    void SetProgress(int) override {}
    void EnableStart() override {}
    QString SerialNumberText() override { return {}; }
    QString HardwareText() override { return {}; }
};

}  // namespace

struct TDevicePresence::Link {
    explicit Link(IClock& clock) : log(clock), reporter(host, log, state) {}

    QuietHost host;
    TUpdateLog log;  // never opened: the probes are not part of any update
    RunState state;
    TRunReporter reporter;
    std::unique_ptr<IByteChannel> channel;
    std::unique_ptr<TLinkProtocol> protocol;
};

TDevicePresence::TDevicePresence(const QString& portName, IChannelFactory& channels, IClock& clock)
    : portName_(portName), channels_(channels), clock_(clock) {}

TDevicePresence::~TDevicePresence() {
    Close();
}

bool TDevicePresence::Check() {
    try {
        if (!link_ || !link_->channel || !link_->channel->Connected()) {
            Close();
            auto link = std::make_unique<Link>(clock_);
            try {
                link->channel = channels_.Create();
                if (link->channel)
                    link->channel->Connect(DeviceLinkSettings(portName_.toStdString()));
            } catch (const EPortOpenError& e) {
                openError_ = QString::fromStdString(e.Message());
                if (!e.SystemReason().empty())
                    openError_ +=
                        QStringLiteral(" (%1)").arg(QString::fromStdString(e.SystemReason()));
                return false;
            } catch (const std::exception& e) {
                openError_ = QString::fromUtf8(e.what());
                return false;
            }
            if (!link->channel || !link->channel->Connected()) {
                openError_ = QStringLiteral("port not available");
                return false;
            }
            openError_.clear();
            link->protocol = std::make_unique<TLinkProtocol>(*link->channel, link->reporter,
                                                             link->log, link->state);
            link_ = std::move(link);
        }
        link_->state.stopFlag = false;
        if (link_->protocol->ProbeLink())
            return true;
        // Opened afresh next time: an adapter unplugged and plugged in again is a new port to
        // the system, and a handle to the old one would never hear the next device.
        Close();
        return false;
    } catch (const std::exception&) {
        Close();
        return false;
    }
}

void TDevicePresence::Close() {
    if (!link_)
        return;
    if (link_->channel)
        link_->channel->Disconnect();
    link_.reset();
}

}  // namespace kvr

#include "DevicePresence.h"

#include <exception>

#include "LinkProtocol.h"
#include "PortOpenError.h"
#include "RunState.h"

namespace kvr::station {

struct TDevicePresence::Link {
    RunState state;
    std::unique_ptr<IByteChannel> channel;
    std::unique_ptr<TLinkProtocol> protocol;
};

TDevicePresence::TDevicePresence(const QString& portName, IChannelFactory& channels)
    : portName_(portName), channels_(channels) {}

TDevicePresence::~TDevicePresence() {
    Close();
}

Presence TDevicePresence::Check() {
    try {
        if (!link_ || !link_->channel || !link_->channel->Connected()) {
            Close();
            auto link = std::make_unique<Link>();
            try {
                link->channel = channels_.Create();
                if (link->channel)
                    link->channel->Connect(DeviceLinkSettings(portName_.toStdString()));
            } catch (const EPortOpenError& e) {
                openError_ = QString::fromStdString(e.Message());
                if (!e.SystemReason().empty())
                    openError_ +=
                        QStringLiteral(" (%1)").arg(QString::fromStdString(e.SystemReason()));
                return Presence::PortLost;
            } catch (const std::exception& e) {
                openError_ = QString::fromUtf8(e.what());
                return Presence::PortLost;
            }
            if (!link->channel || !link->channel->Connected()) {
                openError_ = QStringLiteral("port not available");
                return Presence::PortLost;
            }
            openError_.clear();
            link->protocol = std::make_unique<TLinkProtocol>(*link->channel, link->state);
            link_ = std::move(link);
        }
        if (link_->protocol->ProbeLink())
            return Presence::Answered;
        // Opened afresh next time: an adapter unplugged and plugged in again is a new port to
        // the system, and a handle to the old one would never hear the next device.
        Close();
        return Presence::Silent;
    } catch (const std::exception&) {
        // The port opened but failed under the probe's settings: nothing answered on it.
        Close();
        return Presence::Silent;
    }
}

void TDevicePresence::Close() {
    if (!link_)
        return;
    if (link_->channel)
        link_->channel->Disconnect();
    link_.reset();
}

}  // namespace kvr::station

#include "UpdateThread.h"

#include "UpdateSequence.h"

namespace kvr {

TUpdateThread::TUpdateThread(const QString& portName, PageMap pages, const RunOptions& options,
                             IChannelFactory& channels, IClock& clock, TRunHandOver& handOver,
                             QObject* parent)
    : QThread(parent),
      sequence_(std::make_unique<TUpdateSequence>(portName, std::move(pages), options, channels,
                                                  clock, handOver)) {}

TUpdateThread::~TUpdateThread() {
    std::lock_guard hold(sequenceMutex_);
    sequence_.reset();
}

uint16_t TUpdateThread::AddressFieldLength() const {
    std::lock_guard hold(sequenceMutex_);
    return sequence_->State().addressFieldLength;
}

bool TUpdateThread::LogOpen() const {
    std::lock_guard hold(sequenceMutex_);
    return sequence_->LogOpen();
}

void TUpdateThread::run() {
    std::lock_guard hold(sequenceMutex_);
    sequence_->RunUpdate([this] { return isInterruptionRequested(); });
}

}  // namespace kvr

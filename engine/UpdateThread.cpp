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
    std::lock_guard hold(finishedMutex_);
    sequence_.reset();
}

uint16_t TUpdateThread::AddressFieldLength() const {
    return sequence_->AddressFieldLength();
}

bool TUpdateThread::LogOpen() const {
    return sequence_->LogOpen();
}

RunOutcome TUpdateThread::Outcome() const {
    std::lock_guard hold(finishedMutex_);
    return sequence_->Outcome();
}

int TUpdateThread::PagesSent() const {
    std::lock_guard hold(finishedMutex_);
    return sequence_->PagesSent();
}

void TUpdateThread::run() {
    sequence_->RunUpdate([this] { return isInterruptionRequested(); });
    // Publishes everything the run wrote to whoever takes the lock next (the destructor).
    std::lock_guard hold(finishedMutex_);
}

}  // namespace kvr

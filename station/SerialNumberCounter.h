// The serial numbers of a production station's counter (flash --sn-first N).
//
// A number is taken when a device reaches its serial-number step, in the order the devices get
// there, and it is never given again: a device that fails after the number went out (no
// confirmation, a reply lost, the board pulled) keeps its number, because it may have stored it.
// Such a number is spent, and the summary shows it as not confirmed.
//
// Every run that may need a number reserves one before it starts, so that a run never reaches
// its serial-number step with the counter used up: the last numbers go to the runs that
// reserved them, and a run that cannot reserve one is not started. Numbers keep the width of
// the first one (000101, 000102, …): the counter is used up at the last number of that width
// (999999 after 000101), never later than 12 digits.
//
// Thread-safe.
#pragma once

#include <QString>
#include <cstdint>
#include <mutex>

#include "LinkTypes.h"
#include "StationRecord.h"

namespace kvr::station {

class SerialNumberCounter final : public ISerialNumberSource {
public:
    static constexpr int kMaxDigits = static_cast<int>(kSerialNumberMaxChars);

    // first: 1 to 12 digits (checked by the argument parser).
    explicit SerialNumberCounter(const QString& first);

    // Holds one number for a run about to start; false when none is left.
    bool Reserve();
    bool Reserve(QString&) override { return Reserve(); }
    // Gives back a reservation that a run did not use.
    void Release() override;
    // The next number, spent from now on; takes up a reservation when there is one. Empty when
    // the counter is used up (only possible without a reservation).
    QString Take();
    QString Take(int, QString&) override { return Take(); }
    // A number once taken stays spent, whatever the device said.
    void Settle(int, const QString&, bool, QString&) override {}

    // The number the next Take would give; empty once the counter is used up.
    QString Next() const;
    // Numbers taken so far.
    uint64_t Taken() const;

private:
    QString Format(uint64_t value) const;

    mutable std::mutex mutex_;
    int width_;
    uint64_t last_;  // the largest number of the first one's width
    uint64_t next_;
    uint64_t taken_ = 0;
    uint64_t reserved_ = 0;
};

}  // namespace kvr::station

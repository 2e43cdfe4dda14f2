#include "SerialNumberCounter.h"

#include <algorithm>

namespace kvr::station {

namespace {

uint64_t LargestOfWidth(int digits) {
    uint64_t largest = 0;
    for (int i = 0; i < digits; ++i)
        largest = largest * 10 + 9;
    return largest;
}

}  // namespace

SerialNumberCounter::SerialNumberCounter(const QString& first)
    : width_(std::clamp(static_cast<int>(first.size()), 1, kMaxDigits)),
      last_(LargestOfWidth(width_)),
      next_(first.toULongLong()) {}

QString SerialNumberCounter::Format(uint64_t value) const {
    return QStringLiteral("%1").arg(value, width_, 10, QLatin1Char('0'));
}

bool SerialNumberCounter::Reserve() {
    std::lock_guard hold(mutex_);
    // Numbers left: next_ … last_.
    if (next_ > last_ || last_ - next_ + 1 <= reserved_)
        return false;
    ++reserved_;
    return true;
}

void SerialNumberCounter::Release() {
    std::lock_guard hold(mutex_);
    if (reserved_ > 0)
        --reserved_;
}

QString SerialNumberCounter::Take() {
    std::lock_guard hold(mutex_);
    if (next_ > last_)
        return {};
    if (reserved_ > 0)
        --reserved_;
    ++taken_;
    return Format(next_++);
}

QString SerialNumberCounter::Next() const {
    std::lock_guard hold(mutex_);
    return next_ > last_ ? QString() : Format(next_);
}

uint64_t SerialNumberCounter::Taken() const {
    std::lock_guard hold(mutex_);
    return taken_;
}

}  // namespace kvr::station

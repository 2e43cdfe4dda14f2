#include "PackageLoader.h"

namespace kvr {

namespace {

constexpr int kProgramDigitBits = 4;
constexpr int kProgramDigitCount = 4;
constexpr unsigned kProgramDigitMask = 0xF;

}  // namespace

QString FormatHardwareVersionText(uint8_t hwPrefixMajor, uint16_t hwPrefixMinor, uint16_t value) {
    return QString::number(hwPrefixMajor) + u'.' + QString::number(hwPrefixMinor) + u'.' +
           QString::number(value);
}

QString FormatProgramVersionText(uint16_t value) {
    QString text;
    for (int digit = kProgramDigitCount - 1; digit >= 0; --digit) {
        if (!text.isEmpty())
            text += u'.';
        text += QString::number((value >> (digit * kProgramDigitBits)) & kProgramDigitMask);
    }
    return text;
}

}  // namespace kvr

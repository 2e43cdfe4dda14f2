#include "DigitsValidator.h"

namespace kvr {

DigitsValidator::DigitsValidator(int maxChars, QObject* parent)
    : QValidator(parent), maxChars_(maxChars) {}

QValidator::State DigitsValidator::validate(QString& input, int&) const {
    if (input.size() > maxChars_)
        return Invalid;
    for (QChar c : input) {
        if (c < u'0' || c > u'9')
            return Invalid;
    }
    return Acceptable;
}

}  // namespace kvr

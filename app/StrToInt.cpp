#include "StrToInt.h"

#include <cstdint>
#include <limits>

#include "Exception.h"

namespace kvr {

namespace {

[[noreturn]] void ThrowInvalid(const QString& text) {
    throw EConvertError(
        QStringLiteral("''%1'' is not a valid integer value").arg(text).toStdString());
}

}  // namespace

int StrToInt(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        ThrowInvalid(text);
    // Accumulated as a magnitude so that the most negative value still fits.
    const int64_t limit = negative ? -int64_t(std::numeric_limits<int32_t>::min())
                                   : int64_t(std::numeric_limits<int32_t>::max());
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            ThrowInvalid(text);
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit)
            ThrowInvalid(text);
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace kvr

#include "ExceptionDisplay.h"

#include "Exception.h"

namespace kvr {

namespace {

QString InnermostMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        try {
            std::rethrow_if_nested(e);
        } catch (...) {
            return InnermostMessage(std::current_exception());
        }
        // Our own texts are UTF-8; the libraries' and the system's come in the locale's code
        // page, which on Windows is the ANSI code page.
        if (dynamic_cast<const Exception*>(&e))
            return QString::fromUtf8(e.what());
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QString();
    }
}

}  // namespace

QString WithClosingFullStop(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}

QString ExceptionDisplayText(std::exception_ptr error) {
    if (!error)
        return QString();
    return WithClosingFullStop(InnermostMessage(error));
}

}  // namespace kvr

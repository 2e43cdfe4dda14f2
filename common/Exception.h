// The project's one exception family. Qt-free so that the serial component, the
// package loader and the window's exception display all share it.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kvr {

// Base of every error the tool raises itself. The message is UTF-8 text. An error that comes
// from the system also carries the system's code (errno, GetLastError) as a value, so that
// nobody has to read it back out of the text.
class Exception : public std::exception {
public:
    // Neither platform's error codes are negative.
    static constexpr long long kNoSystemCode = -1;

    explicit Exception(std::string message, long long systemCode = kNoSystemCode)
        : message_(std::move(message)), systemCode_(systemCode) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    // kNoSystemCode when the error did not come from the system.
    long long SystemCode() const noexcept { return systemCode_; }

private:
    std::string message_;
    long long systemCode_;
};

class EInOutError : public Exception {
public:
    using Exception::Exception;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EFileStreamError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFOpenError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};

// A text that is not a number where one was required ("''%s'' is not a valid integer value").
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

}  // namespace kvr

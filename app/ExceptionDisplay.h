// The text of the standard exception display (error icon, OK, application title as caption).
#pragma once

#include <QString>
#include <exception>

namespace kvr {

// Appends "." when the last character's code is above that of "." (so "!" or "." keep their
// end, letters and digits get a full stop). An empty text stays empty.
QString WithClosingFullStop(const QString& message);

// The innermost message of a chain of nested exceptions (std::throw_with_nested), with the
// full stop rule applied. std::exception's text is taken as UTF-8; anything that is not a
// std::exception counts as an error with an empty message.
QString ExceptionDisplayText(std::exception_ptr error);

}  // namespace kvr

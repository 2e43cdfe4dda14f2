// Typing limit of the S/N and HW edits: digits only, at most a number of characters. Unlike
// QLineEdit's maxLength, it never cuts text that the program sets (a serial number that has
// grown to nine digits stays whole).
#pragma once

#include <QValidator>

namespace kvr {

class DigitsValidator final : public QValidator {
    Q_OBJECT
public:
    DigitsValidator(int maxChars, QObject* parent);
    State validate(QString& input, int& pos) const override;

private:
    int maxChars_;
};

}  // namespace kvr

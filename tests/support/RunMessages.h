// The run's messages and questions as an operator reads them, stated once for every test that
// expects them (written out here, not taken from the product, so a changed text is caught).
#pragma once

#include <QString>

namespace kvr::test {

inline const QString kSuccess = QStringLiteral("Обновление успешно завершено!");
inline const QString kUpdateError = QStringLiteral("Ошибка обновления!");
inline const QString kExchangeError = QStringLiteral("Ошибка обмена!");
inline const QString kCrcError = QStringLiteral("Ошибка CRC!");
inline const QString kConnectionError = QStringLiteral("Ошибка подключения!");
inline const QString kSerialNumberError = QStringLiteral(
    "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте перемычку!");
inline const QString kHardwareIncompatible = QStringLiteral("Несовместима аппаратная версия!");
inline const QString kProgramQuestion =
    QStringLiteral("Несовместима программная версия! Продолжить обновление?");

}  // namespace kvr::test

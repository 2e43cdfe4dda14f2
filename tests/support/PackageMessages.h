// The loader's refusal texts as an operator reads them, stated once for every test that
// expects them (written out here, not taken from the product, so a changed text is caught).
#pragma once

#include <QString>

namespace kvr::test {

inline const QString kChangedText =
    QStringLiteral("Неправильный формат файла. Указанный файл был изменен.");
inline const QString kHeaderText = QStringLiteral("Неправильный формат файла. Ошибка заголовка.");
inline const QString kForeignText =
    QStringLiteral("Неправильный формат файла. Файл не предназначен для этой программы.");
inline const QString kHeaderSizeText =
    QStringLiteral("Неправильный формат файла. Ошибка размера заголовка.");
inline const QString kHeaderSizeBangText =
    QStringLiteral("Неправильный формат файла. Ошибка размера заголовка!");

}  // namespace kvr::test

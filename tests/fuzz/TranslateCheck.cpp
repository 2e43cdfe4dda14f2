#include "TranslateCheck.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include "IniModel.h"
#include "MemIniFile.h"
#include "Translate.h"

namespace kvr::fuzz {

namespace {

const QString kSection = QStringLiteral("ru");
const QString kNoTranslation = QStringLiteral("NULL");
// Keys taken from the file; enough to hit every kind of entry without slowing the fuzzer.
constexpr int kMaxFileKeys = 64;

// Every text the system passes through Translate.
const char* const kMessages[] = {
    "Неправильный формат файла. Указанный файл был изменен.",
    "Неправильный формат файла. Ошибка заголовка.",
    "Неправильный формат файла. Файл не предназначен для этой программы.",
    "Неправильный формат файла. Ошибка размера заголовка.",
    "Неправильный формат файла. Ошибка размера заголовка!",
    "Запрашиваем статус прибора",
    "Ошибка подключения!",
    "Ошибка обмена!",
    "Ошибка CRC!",
    "Ошибка записи страницы!",
    "Страница не записана!",
    "Нет ответа!",
    "Несовместима аппаратная версия!",
    "Несовместима программная версия!",
    "Несовместима программная версия! Продолжить обновление?",
    "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте перемычку!",
    "Обновление успешно завершено!",
    "Ошибка обновления!",
};

QString Expected(const IniModel* model, const QString& text) {
    const QString key = TrimBlanks(text);
    if (model == nullptr)
        return key;
    const std::optional<QString> value = model->Lookup(kSection, key);
    return !value || *value == kNoTranslation ? key : *value;
}

QStringList TextsToTranslate(const IniModel& model) {
    QStringList texts;
    for (const char* m : kMessages) {
        const QString message = QString::fromUtf8(m);
        texts << message << message + QStringLiteral(" \r\n") << message.toUpper();
    }
    int taken = 0;
    for (const IniModel::Section& s : model.Sections()) {
        for (const IniModel::Entry& e : s.entries) {
            if (++taken > kMaxFileKeys)
                return texts;
            const QString key = e.hasEquals ? e.key : e.value;
            texts << key << QStringLiteral("\t ") + key + QStringLiteral("\n") << key.toLower()
                  << key.toUpper() << e.value;
        }
    }
    return texts;
}

void CheckAll(const QStringList& texts, const IniModel* model, const char* stage, FindingLog& log) {
    for (const QString& text : texts) {
        QString got;
        try {
            got = Translate(text);
        } catch (...) {
            log.Add(stage, ": Translate threw for \"", text.toStdString(), "\"");
            return;
        }
        const QString expected = Expected(model, text);
        if (got != expected) {
            log.Add(stage, ": \"", text.toStdString(), "\" translated to \"", got.toStdString(),
                    "\", expected \"", expected.toStdString(), "\"");
            return;
        }
    }
}

}  // namespace

Finding CheckTranslateInput(const uint8_t* data, size_t size, const QString& languageFilePath) {
    FindingLog log;
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    {
        QFile file(languageFilePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size()) {
            log.Add("cannot write the language file ", languageFilePath.toStdString());
            return log.First();
        }
    }
    const IniModel model(DecodeIniText(bytes));
    const QStringList texts = TextsToTranslate(model);

    ReleaseLanguageFile();
    CheckAll(texts, nullptr, "no language file", log);
    try {
        OpenLanguageFile(languageFilePath);
    } catch (const std::exception& e) {
        log.Add("a readable language file was refused: ", e.what());
        return log.First();
    }
    if (LanguageCode() != kSection)
        log.Add("language code is \"", LanguageCode().toStdString(), "\"");
    CheckAll(texts, &model, "open", log);
    ReleaseLanguageFile();
    CheckAll(texts, nullptr, "released", log);
    return log.First();
}

}  // namespace kvr::fuzz

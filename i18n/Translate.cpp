#include "Translate.h"

#include <atomic>
#include <memory>

#include "AppPaths.h"
#include "MemIniFile.h"

namespace kvr {

namespace {

const QString kLanguageCode = QStringLiteral("ru");
const QString kNoTranslation = QStringLiteral("NULL");

QString& LanguageCodeStorage() {
    static QString code;
    return code;
}

// Atomic so that a translating thread started after the open sees the whole object.
std::atomic<const TMemIniFile*> g_languageFile{nullptr};

}  // namespace

const QString& LanguageCode() {
    return LanguageCodeStorage();
}

const TMemIniFile* LanguageFile() {
    return g_languageFile.load(std::memory_order_acquire);
}

void OpenLanguageFile() {
    LanguageCodeStorage() = kLanguageCode;
    OpenLanguageFile(LanguageFilePath(kLanguageCode));
}

void OpenLanguageFile(const QString& path) {
    LanguageCodeStorage() = kLanguageCode;
    // Read first: a file that cannot be read leaves the previous object in place.
    auto file = std::make_unique<const TMemIniFile>(path);
    delete g_languageFile.exchange(file.release(), std::memory_order_acq_rel);
}

void ReleaseLanguageFile() {
    delete g_languageFile.exchange(nullptr, std::memory_order_acq_rel);
}

QString Translate(const QString& text) {
    QString key;
    try {
        key = TrimControlChars(text);
        const TMemIniFile* file = LanguageFile();
        if (file == nullptr)
            return key;
        QString value = file->ReadString(LanguageCode(), key, kNoTranslation);
        if (value == kNoTranslation)
            return key;
        return value;
    } catch (...) {
        return key;
    }
}

}  // namespace kvr

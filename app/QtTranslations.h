// Qt's own Russian texts (standard buttons "Да"/"Нет", the file dialog), from Debian's
// qt6-translations-l10n.
#pragma once

class QCoreApplication;

namespace kvr {

// Installs qtbase_ru from Qt's translations folder. False when it is not installed; the
// window then shows Qt's English button texts.
bool InstallQtTranslations(QCoreApplication& app);

}  // namespace kvr

// Where the tool keeps its files: the settings file, the language file and the update log.
#pragma once

#include <QString>

namespace kvr {

// Folder of the running executable, with a trailing separator.
QString ExecutableFolder();

// Folder that receives the settings file and the update log: the executable's folder, or the
// per-user configuration folder when no file can be created in the executable's folder (an
// install under /usr or Program Files). Trailing separator included.
QString DataFolder();

// "<executable name>.ini" in DataFolder().
QString SettingsFilePath();

// "log.txt" in DataFolder().
QString UpdateLogPath();

// "<code>.lng": beside the executable when it exists there, else in DataFolder().
QString LanguageFilePath(const QString& languageCode);

}  // namespace kvr

#include "AppGlobals.h"

namespace kvr {

bool TechnologyMode = false;
bool BootAllMode = false;
TFormProgFrm* FormProgFrm = nullptr;

namespace {
QString& TitleStorage() {
    static QString title = QString::fromLatin1(kInitialApplicationTitle);
    return title;
}
}  // namespace

CommandLineModes ParseSwitches(const QStringList& arguments) {
    CommandLineModes modes;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("-all"))
            modes.bootAllMode = true;
    }
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("-t"))
            modes.technologyMode = true;
    }
    return modes;
}

QString ApplicationTitle() {
    return TitleStorage();
}

void SetApplicationTitle(const QString& title) {
    TitleStorage() = title;
}

}  // namespace kvr

// kvr-station RECIPE: a production line's station window. Exit status 0; 2 when the recipe
// does not load (after saying why).
#include <QApplication>
#include <QScreen>
#include <algorithm>

#include "AppPaths.h"
#include "ProcessEnd.h"
#include "Prompter.h"
#include "QtTranslations.h"
#include "Recipe.h"
#include "StationForm.h"
#include "Translate.h"
#include "Version.h"

namespace {

int Run(int argc, char** argv) {
    if (kvr::PrintVersionIfAsked(argc, argv, "kvr-station"))
        return 0;
    QApplication app(argc, argv);
    kvr::InstallQtTranslations(app);
    kvr::OpenLanguageFile(kvr::LanguageFilePath(QStringLiteral("ru")));
    const QStringList args = QApplication::arguments().mid(1);
    kvr::QtPrompter prompter;
    const QString title = QStringLiteral("KVRUplinker Station");
    if (args.size() != 1) {
        prompter.ShowMessage(nullptr, title, QStringLiteral("Usage: kvr-station RECIPE"));
        return 2;
    }
    kvr::stationwin::Recipe recipe;
    QString error;
    if (!kvr::stationwin::LoadRecipe(args.first(), recipe, error)) {
        prompter.ShowMessage(nullptr, title, error);
        return 2;
    }
    kvr::stationwin::TStationFrm window(std::move(recipe));
    // Opened in the middle of the screen's free area: left to itself, Wine puts a new window
    // with its right edge past a laptop's screen.
    const QRect free = window.screen()->availableGeometry();
    window.resize(window.sizeHint().boundedTo(free.size()));
    window.move(free.x() + std::max(0, (free.width() - window.width()) / 2),
                free.y() + std::max(0, (free.height() - window.height()) / 2));
    window.show();
    const int status = app.exec();
    kvr::ReleaseLanguageFile();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return kvr::EndProcess(Run(argc, argv));
}

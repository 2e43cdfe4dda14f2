// kvr-uplinker: the window. Always returns 0, as the tool has always done.
#include <QApplication>
#include <exception>
#include <memory>

#include "AppGlobals.h"
#include "ExceptionDisplay.h"
#include "FormProgFrm.h"
#include "ProcessEnd.h"
#include "Prompter.h"
#include "QtTranslations.h"
#include "Version.h"

namespace {

int Run(int argc, char** argv) {
    if (kvr::PrintVersionIfAsked(argc, argv, "kvr-uplinker"))
        return 0;
    // The switches are read before Qt sees the command line, so that none of Qt's own
    // options can swallow them.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const kvr::CommandLineModes modes = kvr::ParseSwitches(arguments);
    kvr::BootAllMode = modes.bootAllMode;
    kvr::TechnologyMode = modes.technologyMode;

    QApplication app(argc, argv);
    kvr::InstallQtTranslations(app);
    kvr::SetApplicationTitle(QString::fromLatin1(kvr::kInitialApplicationTitle));

    std::unique_ptr<kvr::TFormProgFrm> window;
    try {
        window = std::make_unique<kvr::TFormProgFrm>();
        kvr::FormProgFrm = window.get();
        window->show();
        app.exec();
    } catch (...) {
        kvr::QtPrompter().ShowError(nullptr, kvr::ApplicationTitle(),
                                    kvr::ExceptionDisplayText(std::current_exception()));
    }
    window.reset();
    kvr::FormProgFrm = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return kvr::EndProcess(Run(argc, argv));
}

#include "app/startup.h"

#include "app/commandline.h"
#include "common/productnames.h"
#include "ui/updaterwindow.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <memory>

namespace Updater {

int runUpdater(const QStringList &arguments)
{
    auto options = std::make_unique<UpdaterOptions>(parseOptions(arguments));

    int exitCode = 1;
    if (optionsAreComplete(*options)) {
        UpdaterWindow window(*options);
        window.show();
        exitCode = QCoreApplication::exec();
    } else {
        QMessageBox::critical(nullptr, updaterTitle(),
                              QStringLiteral("Missing required updater arguments."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        exitCode = 1;
    }
    options.reset();
    return exitCode;
}

} // namespace Updater
